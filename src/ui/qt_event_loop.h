// The event loop of the desktop program: the core's messages and timers (platform/event_loop.h)
// delivered by Qt's own loop on the main thread, so a worker's report reaches a window exactly as
// a click does, and widgets are only ever touched on the thread that owns them.
//
// PostMessage queues under a lock and asks Qt (through a queued call, safe from any thread) to
// deliver the queue on the main thread. Timers are QTimers living on the main thread; setting
// one from another thread is handed to the main thread the same way.
//
// Ownership: the loop never owns a target. Make it on the main thread after the QApplication
// and destroy it before the QApplication goes.
#pragma once

#include <QObject>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/event_loop.h"

namespace tulix {

class QtEventLoop : public QObject, public EventLoop {
  Q_OBJECT
 public:
  QtEventLoop();
  ~QtEventLoop() override;

  TargetId Register(MessageTarget* target) override;
  void Unregister(TargetId target) override;
  bool PostMessage(TargetId target, uint32_t message, intptr_t wParam, intptr_t lParam) override;
  bool SetTimer(TargetId target, uint32_t timerId, int64_t elapseMs) override;
  void KillTimer(TargetId target, uint32_t timerId) override;

  // Messages waiting now (for tests).
  size_t PendingMessages() const;

 private:
  struct Message {
    TargetId target;
    uint32_t message;
    intptr_t wParam;
    intptr_t lParam;
  };
  using TimerKey = std::pair<TargetId, uint32_t>;

  void DeliverQueued();
  void StartTimerHere(TargetId target, uint32_t timerId, int64_t elapseMs);
  void StopTimerHere(TargetId target, uint32_t timerId);
  void FireTimer(TargetId target, uint32_t timerId);
  static void Discard(QTimer* timer);
  MessageTarget* Find(TargetId target) const;  // with m_mutex held
  bool OnOwnThread() const;

  mutable std::mutex m_mutex;
  TargetId m_nextId = 1;                                   // guarded by m_mutex
  std::unordered_map<TargetId, MessageTarget*> m_targets;  // guarded by m_mutex
  std::deque<Message> m_queue;                             // guarded by m_mutex
  bool m_deliveryAsked = false;                            // guarded by m_mutex
  std::map<TimerKey, QTimer*> m_timers;  // children of the loop; main thread only
};

}  // namespace tulix
