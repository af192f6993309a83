// Small helpers shared by the fuzz targets.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <string>

namespace tulix::fuzz {

// Stops the run with a crash report, so libFuzzer keeps the input that broke a rule.
inline void Check(bool ok) {
  if (!ok) {
    std::abort();
  }
}

// A fresh temporary folder, made once per process; the fuzzer runs millions of inputs in one
// process, so the folder is left for the system to clear.
inline const std::string& FuzzFolder() {
  static const std::string folder = [] {
    char name[] = "/tmp/tulix-fuzz-XXXXXX";
    Check(mkdtemp(name) != nullptr);
    return std::string(name);
  }();
  return folder;
}

// Points the program folder and the settings store at the temporary folder, so a target whose
// code reads settings or writes the log never touches the user's own files.
inline void UsePrivateProgramFolder() {
  setenv("TULIX_HOME", FuzzFolder().c_str(), 1);
  setenv("TULIX_REGISTRY", (FuzzFolder() + "/registry").c_str(), 1);
}

}  // namespace tulix::fuzz
