#include "platform/dialup.h"

#include <gtest/gtest.h>

#include "platform/last_error.h"

namespace tulix {
namespace {

TEST(DialUp, ConnectsOnlyWhenNeededAndReportsWhyNot) {
  // Nothing to dial here: the answer of a system without the calls.
  SetLastError(kErrorSuccess);
  EXPECT_FALSE(EnsureConnected());
  EXPECT_EQ(GetLastError(), kErrorCallNotImplemented);

  bool online = true;
  int attempts = 0;
  uint32_t attemptError = kErrorSuccess;
  DialUpFunctions calls;
  calls.getConnectedState = [&] { return online; };
  calls.attemptConnect = [&] {
    ++attempts;
    return attemptError;
  };
  EXPECT_TRUE(EnsureConnected(calls));
  EXPECT_EQ(attempts, 0) << "a connected machine is not dialled";

  online = false;
  EXPECT_TRUE(EnsureConnected(calls));
  EXPECT_EQ(attempts, 1);

  attemptError = 1223;
  EXPECT_FALSE(EnsureConnected(calls));
  EXPECT_EQ(GetLastError(), 1223u);

  // Either call missing is as good as both.
  calls.attemptConnect = nullptr;
  SetLastError(kErrorSuccess);
  EXPECT_FALSE(EnsureConnected(calls));
  EXPECT_EQ(GetLastError(), kErrorCallNotImplemented);
}

}  // namespace
}  // namespace tulix
