// The one source of "now" for the whole program: state times, wait ageing, the stall check,
// search time-outs and file names made from the time. Tests install a ManualClock and move time
// by hand instead of waiting.
//
// Thread safety: Now() and TickCount() may be called from any thread. Installing a clock is for
// test set-up, while no other thread reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

namespace tulix {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970 (UTC).
  virtual int64_t Now() const = 0;
  // Milliseconds from an arbitrary start, never going backwards.
  virtual int64_t TickCount() const = 0;
};

// The operating system's clocks.
class SystemClock : public Clock {
 public:
  int64_t Now() const override;
  int64_t TickCount() const override;
};

// A clock that stands still until a test moves it.
class ManualClock : public Clock {
 public:
  explicit ManualClock(int64_t now = 1'000'000'000, int64_t tick = 0)
      : m_ms(now * 1000), m_tick(tick) {}
  int64_t Now() const override { return m_ms.load() / 1000; }
  int64_t TickCount() const override { return m_tick.load(); }
  void AdvanceMs(int64_t ms) {
    m_ms += ms;
    m_tick += ms;
  }
  void AdvanceSeconds(int64_t s) { AdvanceMs(s * 1000); }

 private:
  std::atomic<int64_t> m_ms;
  std::atomic<int64_t> m_tick;
};

// The clock in use (the system clock unless a test installed another).
const Clock& GetClock();

// Installs `clock` for the life of the scope, then puts back the one before.
class ScopedClock {
 public:
  explicit ScopedClock(const Clock& clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  const Clock* m_previous;
};

}  // namespace tulix
