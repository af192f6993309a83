#include "platform/event_loop.h"

#include <algorithm>
#include <vector>

#include "platform/clock.h"

namespace tulix {

namespace {

// How long RunUntil sleeps at most before it looks at the clock and the predicate again. A
// ManualClock moved by another thread, or a predicate that turns true without a message, is
// noticed within this time.
constexpr int64_t kLongestSleepMs = 20;

}  // namespace

bool PostMessage(const WindowHandle& window, uint32_t message, intptr_t wParam, intptr_t lParam) {
  if (!window) {
    return false;
  }
  return window.loop->PostMessage(window.target, message, wParam, lParam);
}

TargetId StdEventLoop::Register(MessageTarget* target) {
  std::lock_guard<std::mutex> lock(m_mutex);
  TargetId id = m_nextId++;
  m_targets[id] = target;
  return id;
}

void StdEventLoop::Unregister(TargetId target) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_targets.erase(target);
  std::erase_if(m_queue, [target](const Message& m) { return m.target == target; });
  std::erase_if(m_timers, [target](const auto& entry) { return entry.first.first == target; });
}

bool StdEventLoop::PostMessage(TargetId target, uint32_t message, intptr_t wParam,
                               intptr_t lParam) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Find(target) == nullptr) {
      return false;
    }
    m_queue.push_back(Message{target, message, wParam, lParam});
  }
  m_wake.notify_all();
  return true;
}

bool StdEventLoop::SetTimer(TargetId target, uint32_t timerId, int64_t elapseMs) {
  const int64_t now = GetClock().TickCount();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Find(target) == nullptr) {
      return false;
    }
    elapseMs = std::max<int64_t>(elapseMs, 0);
    m_timers[{target, timerId}] = Timer{elapseMs, now + elapseMs};
  }
  m_wake.notify_all();
  return true;
}

void StdEventLoop::KillTimer(TargetId target, uint32_t timerId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_timers.erase({target, timerId});
}

MessageTarget* StdEventLoop::Find(TargetId target) const {
  auto it = m_targets.find(target);
  return it == m_targets.end() ? nullptr : it->second;
}

int StdEventLoop::ProcessPending() {
  std::deque<Message> batch;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    batch.swap(m_queue);
  }
  int delivered = 0;
  for (const Message& m : batch) {
    MessageTarget* target;
    {
      // Looked up per message: an earlier handler may have unregistered this target.
      std::lock_guard<std::mutex> lock(m_mutex);
      target = Find(m.target);
    }
    if (target != nullptr) {
      target->OnMessage(m.message, m.wParam, m.lParam);
      ++delivered;
    }
  }

  // Timers come after the messages, as window timers have the lowest priority. Each due timer
  // fires once per call, even when a handler restarts it with a period of 0.
  const int64_t now = GetClock().TickCount();
  std::vector<TimerKey> due;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [key, timer] : m_timers) {
      if (timer.dueTick <= now) {
        due.push_back(key);
      }
    }
  }
  for (const TimerKey& key : due) {
    MessageTarget* target = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      auto it = m_timers.find(key);
      if (it == m_timers.end() || it->second.dueTick > now) {
        continue;  // killed or restarted by an earlier handler
      }
      it->second.dueTick = now + it->second.elapseMs;
      target = Find(key.first);
    }
    if (target != nullptr) {
      target->OnTimer(key.second);
      ++delivered;
    }
  }
  return delivered;
}

std::optional<int64_t> StdEventLoop::UntilNextTimer(int64_t now) const {
  std::optional<int64_t> wait;
  for (const auto& [key, timer] : m_timers) {
    int64_t left = std::max<int64_t>(timer.dueTick - now, 0);
    wait = wait ? std::min(*wait, left) : left;
  }
  return wait;
}

bool StdEventLoop::RunUntil(const std::function<bool()>& done,
                            std::optional<std::chrono::milliseconds> timeout) {
  using Steady = std::chrono::steady_clock;
  const Steady::time_point deadline =
      timeout ? Steady::now() + *timeout : Steady::time_point::max();
  for (;;) {
    ProcessPending();
    if (done()) {
      return true;
    }
    const Steady::time_point now = Steady::now();
    if (now >= deadline) {
      return false;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_queue.empty()) {
      continue;
    }
    int64_t sleepMs = kLongestSleepMs;
    if (std::optional<int64_t> untilTimer = UntilNextTimer(GetClock().TickCount())) {
      sleepMs = std::min(sleepMs, *untilTimer);
    }
    if (timeout) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
      sleepMs = std::min<int64_t>(sleepMs, left + 1);
    }
    if (sleepMs > 0) {
      m_wake.wait_for(lock, std::chrono::milliseconds(sleepMs),
                      [this] { return !m_queue.empty(); });
    }
  }
}

size_t StdEventLoop::PendingMessages() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_queue.size();
}

}  // namespace tulix
