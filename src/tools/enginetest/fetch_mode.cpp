// Placeholder until the mode is written; replaced by its real implementation.
#include <cstdio>

#include "tools/enginetest/modes.h"

namespace tulix::enginetest {

int RunFetchMode(const std::vector<std::string>& args) {
  (void)args;
  std::fprintf(stderr, "tulix-enginetest: mode not available yet\n");
  return 1;
}

}  // namespace tulix::enginetest
