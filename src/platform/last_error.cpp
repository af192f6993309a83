#include "platform/last_error.h"

#include <cerrno>

namespace tulix {

namespace {
thread_local uint32_t t_lastError = kErrorSuccess;
}

uint32_t GetLastError() {
  return t_lastError;
}

void SetLastError(uint32_t error) {
  t_lastError = error;
}

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSYS:
      return kErrorCallNotImplemented;
    case ETIMEDOUT:
      return kErrorWsaTimedOut;
    default:
      return kErrorInvalidData;
  }
}

}  // namespace tulix
