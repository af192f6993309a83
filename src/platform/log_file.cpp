#include "platform/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "platform/paths.h"

namespace tulix {

bool RedirectStandardErrorToFile(std::string_view path) {
  std::string fsPath = ToFileSystemPath(path);
  // Appending keeps every line at the end of the file whatever else writes to descriptor 2.
  // Close-on-exec is for this temporary descriptor only: dup2 gives descriptor 2 without it,
  // so child processes still share the log as their standard error.
  int fd = ::open(fsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  if (fd == STDERR_FILENO) {
    // Descriptor 2 was closed, so the file landed on it already; it must survive exec.
    return ::fcntl(fd, F_SETFD, 0) == 0;
  }
  int result;
  do {
    result = ::dup2(fd, STDERR_FILENO);
  } while (result < 0 && errno == EINTR);
  ::close(fd);
  return result == STDERR_FILENO;
}

bool WriteStandardError(std::string_view bytes) {
  const char* data = bytes.data();
  size_t remaining = bytes.size();
  while (remaining > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, remaining);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (written == 0) {
      return false;  // the descriptor takes nothing: retrying would spin forever
    }
    data += written;
    remaining -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace tulix
