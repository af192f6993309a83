// The calling thread's last error, as the Windows interfaces kept it. Platform calls that fail
// set it to the Windows error number the callers expect; callers read it right after the call.
#pragma once

#include <cstdint>

namespace tulix {

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorCallNotImplemented = 120;
inline constexpr uint32_t kErrorWsaInvalidArgument = 10022;
inline constexpr uint32_t kErrorWsaProtocolNotSupported = 10043;
inline constexpr uint32_t kErrorWsaTimedOut = 10060;

uint32_t GetLastError();
void SetLastError(uint32_t error);

// The Windows error number closest to a POSIX errno value.
uint32_t ErrorFromErrno(int err);

}  // namespace tulix
