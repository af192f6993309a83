// Messages and timers: what stands in for window messages and window timers.
//
// A "window" is a MessageTarget registered with an EventLoop. Registering gives it a TargetId;
// a WindowHandle (loop + id) is what other code keeps and posts to, the way the Windows program
// kept a window handle. Messages and timers run on the thread that runs the loop; PostMessage
// may be called from any thread and never blocks for long (it only queues). A message posted to
// a target that has been unregistered is dropped, so a handle that outlives its window is
// harmless. Message parameters are plain integers: code that must name an object passes its id
// and the receiver looks it up, never a pointer to memory that may be gone.
//
// Timers work like window timers: periodic, one per (target, timer id), setting a timer again
// replaces it, and a timer that fell behind fires once, not once per missed period. Their due
// times are read from the replaceable clock (GetClock().TickCount()), so a test moves a
// ManualClock and then runs ProcessPending instead of waiting.
//
// Two loops implement EventLoop: StdEventLoop below (the library, the command-line tools and
// the tests) and an adapter to the desktop toolkit's loop in the desktop program.
//
// Ownership: the loop never owns a target. A target must unregister before it goes; the
// EventLoop must outlive every handle that may still be posted to.
//
// Thread safety: PostMessage, SetTimer and KillTimer may be called from any thread. Register
// may be called from any thread; Unregister only on the loop's thread (or when the loop is not
// running), so that no callback of the target can still be in progress when it returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace tulix {

// The first message number free for the program's own messages.
inline constexpr uint32_t kWmUser = 0x0400;

using TargetId = uint64_t;

class MessageTarget {
 public:
  virtual ~MessageTarget() = default;
  virtual void OnMessage(uint32_t message, intptr_t wParam, intptr_t lParam) = 0;
  virtual void OnTimer(uint32_t timerId) { (void)timerId; }
};

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Returns the target's id; ids are never reused.
  virtual TargetId Register(MessageTarget* target) = 0;
  // Drops the target, its timers and every message still queued for it.
  virtual void Unregister(TargetId target) = 0;

  // Queues a message; false (and nothing queued) when the target is not registered.
  virtual bool PostMessage(TargetId target, uint32_t message, intptr_t wParam, intptr_t lParam) = 0;

  // Starts or restarts the periodic timer `timerId` of the target; the first call of OnTimer
  // comes `elapseMs` after now, then every `elapseMs`. Returns false for an unknown target.
  virtual bool SetTimer(TargetId target, uint32_t timerId, int64_t elapseMs) = 0;
  virtual void KillTimer(TargetId target, uint32_t timerId) = 0;
};

// What a job keeps to report to a window: the loop and the target's id.
struct WindowHandle {
  EventLoop* loop = nullptr;
  TargetId target = 0;

  explicit operator bool() const { return loop != nullptr && target != 0; }
  bool operator==(const WindowHandle&) const = default;
};

// Posts to the window; false when the handle is empty or the window has gone.
bool PostMessage(const WindowHandle& window, uint32_t message, intptr_t wParam, intptr_t lParam);

// The standard-library loop.
class StdEventLoop : public EventLoop {
 public:
  StdEventLoop() = default;
  ~StdEventLoop() override = default;
  StdEventLoop(const StdEventLoop&) = delete;
  StdEventLoop& operator=(const StdEventLoop&) = delete;

  TargetId Register(MessageTarget* target) override;
  void Unregister(TargetId target) override;
  bool PostMessage(TargetId target, uint32_t message, intptr_t wParam, intptr_t lParam) override;
  bool SetTimer(TargetId target, uint32_t timerId, int64_t elapseMs) override;
  void KillTimer(TargetId target, uint32_t timerId) override;

  // Delivers the messages queued at the moment of the call, in the order they were posted,
  // then fires every timer that is due by the clock. Messages posted meanwhile wait for the next
  // call. Returns the number of messages and timers delivered.
  int ProcessPending();

  // Runs the loop until `done` returns true (checked before waiting and after every round) or
  // `timeout` of real time has passed; returns what `done` last said. Without a timeout it runs
  // until `done` holds. Between rounds it sleeps until a message arrives or the next timer is
  // due; a clock that another thread moves by hand is looked at again at least every 20 ms.
  bool RunUntil(const std::function<bool()>& done,
                std::optional<std::chrono::milliseconds> timeout = std::nullopt);

  // Messages waiting now (for tests and diagnostics).
  size_t PendingMessages() const;

 private:
  struct Message {
    TargetId target;
    uint32_t message;
    intptr_t wParam;
    intptr_t lParam;
  };
  struct Timer {
    int64_t elapseMs;
    int64_t dueTick;
  };
  using TimerKey = std::pair<TargetId, uint32_t>;

  MessageTarget* Find(TargetId target) const;  // with m_mutex held
  // Fires one due timer, if any; true when one fired.
  bool FireOneDueTimer(int64_t now);
  // Milliseconds until the earliest timer is due (0 when one is due), or nullopt without timers.
  std::optional<int64_t> UntilNextTimer(int64_t now) const;

  mutable std::mutex m_mutex;
  std::condition_variable m_wake;  // signalled when a message is posted or a timer changes
  TargetId m_nextId = 1;           // guarded by m_mutex
  std::unordered_map<TargetId, MessageTarget*> m_targets;  // guarded by m_mutex
  std::deque<Message> m_queue;                             // guarded by m_mutex
  std::map<TimerKey, Timer> m_timers;                      // guarded by m_mutex
};

}  // namespace tulix
