#include "platform/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tulix {

namespace {

// The trace target is chosen once, from the environment at the first trace.
struct TraceTarget {
  int fd = -1;
  TraceTarget() {
    const char* value = std::getenv("TULIX_TRACE");
    if (value == nullptr || *value == '\0') {
      return;
    }
    if (value[0] == '/') {
      fd = ::open(value, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    } else {
      fd = STDERR_FILENO;
    }
  }
};

const TraceTarget& Target() {
  static const TraceTarget target;
  return target;
}

}  // namespace

bool TraceEnabled() {
  return Target().fd >= 0;
}

void Trace(const char* format, ...) {
  int fd = Target().fd;
  if (fd < 0) {
    return;
  }
  char buffer[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n <= 0) {
    return;
  }
  size_t length = std::min(static_cast<size_t>(n), sizeof buffer - 1);
  // One write per call keeps lines from several threads whole.
  [[maybe_unused]] ssize_t written = ::write(fd, buffer, length);
}

}  // namespace tulix
