// The dial-up check the mail alerts make before they send: when the machine is not online, ask
// the system's dial-up support to connect.
//
// The check works on the two calls a dial-up library offers, either of which may be missing.
// This platform has no such library, so EnsureConnected() answers as it does when they are
// missing; the form that takes the calls lets the decision itself be exercised.
//
// Thread safety: pure functions over the calls given; call them from any thread. The last
// error they set is the calling thread's.
#pragma once

#include <cstdint>
#include <functional>

namespace tulix {

struct DialUpFunctions {
  // True when the machine is connected.
  std::function<bool()> getConnectedState;
  // Tries to connect; returns 0 on success, else the system error number.
  std::function<uint32_t()> attemptConnect;
};

// The calls this platform offers: none.
DialUpFunctions PlatformDialUpFunctions();

// True when connected, or when a connection attempt worked. False with the thread's last error
// set to the attempt's error, or to kErrorCallNotImplemented (120) when either call is missing.
bool EnsureConnected(const DialUpFunctions& functions);
bool EnsureConnected();

}  // namespace tulix
