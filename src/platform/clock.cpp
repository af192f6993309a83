#include "platform/clock.h"

#include <chrono>

namespace tulix {

namespace {

const SystemClock kSystemClock;
std::atomic<const Clock*> g_clock{&kSystemClock};

}  // namespace

int64_t SystemClock::Now() const {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t SystemClock::TickCount() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const Clock& GetClock() {
  return *g_clock.load(std::memory_order_acquire);
}

ScopedClock::ScopedClock(const Clock& clock)
    : m_previous(g_clock.exchange(&clock, std::memory_order_acq_rel)) {}

ScopedClock::~ScopedClock() {
  g_clock.store(m_previous, std::memory_order_release);
}

}  // namespace tulix
