#include "platform/dialup.h"

#include "platform/last_error.h"

namespace tulix {

DialUpFunctions PlatformDialUpFunctions() {
  // Connections here are the network's business, not the program's: nothing to dial.
  return {};
}

bool EnsureConnected(const DialUpFunctions& functions) {
  if (!functions.getConnectedState || !functions.attemptConnect) {
    SetLastError(kErrorCallNotImplemented);
    return false;
  }
  if (functions.getConnectedState()) {
    return true;
  }
  const uint32_t error = functions.attemptConnect();
  if (error != kErrorSuccess) {
    SetLastError(error);
    return false;
  }
  return true;
}

bool EnsureConnected() {
  return EnsureConnected(PlatformDialUpFunctions());
}

}  // namespace tulix
