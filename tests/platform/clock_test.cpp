#include "platform/clock.h"

#include <gtest/gtest.h>

namespace tulix {
namespace {

TEST(Clock, ManualClockReplacesTheSystemClockForItsScope) {
  int64_t before = GetClock().Now();
  EXPECT_GT(before, 1'600'000'000);  // the system clock reads real time
  {
    ManualClock manual(5000, 100);
    ScopedClock scope(manual);
    EXPECT_EQ(GetClock().Now(), 5000);
    manual.AdvanceSeconds(101 * 60);
    EXPECT_EQ(GetClock().Now(), 5000 + 6060);
    EXPECT_EQ(GetClock().TickCount(), 100 + 6060 * 1000);
    manual.AdvanceMs(999);
    EXPECT_EQ(GetClock().Now(), 5000 + 6060);  // not yet a whole second more
  }
  EXPECT_GE(GetClock().Now(), before);
  int64_t t1 = GetClock().TickCount();
  EXPECT_GE(GetClock().TickCount(), t1);
}

}  // namespace
}  // namespace tulix
