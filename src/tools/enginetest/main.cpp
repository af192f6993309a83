// tulix-enginetest: the engine author's tool. The first argument names a mode; the rest belong
// to that mode.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/enginetest/modes.h"

namespace tulix::enginetest {
namespace {

struct Mode {
  const char* name;
  const char* arguments;
  const char* summary;
  int (*run)(const std::vector<std::string>& args);
};

const Mode kModes[] = {
    {"tokens", "FILE [--json]", "print every token of a saved page: position, tag id, depth, text",
     RunTokensMode},
    {"request",
     "ENGINE.ini --query WORDS [--type all|any|exact] [--per-engine N] [--category NAME] [--json]",
     "print the first request of a search as the engine builds it", RunRequestMode},
    {"run", "ENGINE.ini PAGE.html [--query WORDS] [--base URL] [--all] [--json]",
     "walk a saved page with the engine's script and print the hits and queued requests",
     RunRunMode},
    {"fetch", "ENGINE.ini --query WORDS [--type all|any|exact] [--output FILE]",
     "fetch the engine's first page as a search job would", RunFetchMode},
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: tulix-enginetest MODE [ARGUMENTS]\n\nmodes:\n");
  for (const Mode& mode : kModes) {
    std::fprintf(out, "  %s %s\n      %s\n", mode.name, mode.arguments, mode.summary);
  }
}

}  // namespace
}  // namespace tulix::enginetest

int main(int argc, char** argv) {
  using namespace tulix::enginetest;
  if (argc < 2) {
    PrintUsage(stderr);
    return kUsageError;
  }
  std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return 0;
  }
  for (const Mode& mode : kModes) {
    if (name == mode.name) {
      return mode.run(std::vector<std::string>(argv + 2, argv + argc));
    }
  }
  std::fprintf(stderr, "tulix-enginetest: unknown mode '%s'\n\n", argv[1]);
  PrintUsage(stderr);
  return kUsageError;
}
