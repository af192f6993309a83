// Small helpers shared by the fuzz targets.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/application.h"

// Stops the run with a crash report naming the broken rule, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition) \
  ::tulix::fuzz::CheckAt((condition), #condition, __FILE__, __LINE__)

namespace tulix::fuzz {

inline void CheckAt(bool ok, const char* condition, const char* file, int line) {
  if (!ok) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
  }
}

// A fresh temporary folder, made once per process; the fuzzer runs millions of inputs in one
// process, so the folder is left for the system to clear.
inline const std::string& FuzzFolder() {
  static const std::string folder = [] {
    // TMPDIR lets a long run keep its files on a memory file system: the file targets write
    // and replace a file on every input, and on a disk they spend most of their time waiting.
    const char* tmp = getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    name += "/tulix-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(name.data()) != nullptr);
    return name;
  }();
  return folder;
}

// Points the program folder and the settings store at the temporary folder, so a target whose
// code reads settings or writes the log never touches the user's own files.
inline void UsePrivateProgramFolder() {
  setenv("TULIX_HOME", FuzzFolder().c_str(), 1);
  setenv("TULIX_REGISTRY", (FuzzFolder() + "/registry").c_str(), 1);
}

// An application object on the private program folder, installed for the life of the process,
// so that code reading App() (the results lock, the categories folder, the settings) works as it
// does in the program.
inline TulixApplication& FuzzApplication() {
  static TulixApplication* const app = [] {
    UsePrivateProgramFolder();
    return new TulixApplication(FuzzFolder(), FuzzFolder() + "/registry");
  }();
  static const ScopedApplication* const scope = new ScopedApplication(*app);
  (void)scope;
  return *app;
}

}  // namespace tulix::fuzz
