#include "ui/qt_event_loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace tulix {

namespace {
// How long one turn of the loop may spend delivering the core's messages.
constexpr qint64 kDeliverySliceMs = 8;
}  // namespace

QtEventLoop::QtEventLoop() = default;

QtEventLoop::~QtEventLoop() = default;  // the timers are children of the loop

bool QtEventLoop::OnOwnThread() const {
  return QThread::currentThread() == thread();
}

TargetId QtEventLoop::Register(MessageTarget* target) {
  std::lock_guard lock(m_mutex);
  const TargetId id = m_nextId++;
  m_targets[id] = target;
  return id;
}

void QtEventLoop::Unregister(TargetId target) {
  {
    std::lock_guard lock(m_mutex);
    m_targets.erase(target);
    std::erase_if(m_queue, [target](const Message& m) { return m.target == target; });
  }
  for (auto it = m_timers.begin(); it != m_timers.end();) {
    if (it->first.first == target) {
      Discard(it->second);
      it = m_timers.erase(it);
    } else {
      ++it;
    }
  }
}

MessageTarget* QtEventLoop::Find(TargetId target) const {
  auto it = m_targets.find(target);
  return it == m_targets.end() ? nullptr : it->second;
}

bool QtEventLoop::PostMessage(TargetId target, uint32_t message, intptr_t wParam,
                              intptr_t lParam) {
  std::lock_guard lock(m_mutex);
  if (Find(target) == nullptr) {
    return false;
  }
  m_queue.push_back(Message{target, message, wParam, lParam});
  // One queued call drains everything posted before it runs, so a burst of reports costs one
  // wake-up of the main thread, not one per message.
  if (!m_deliveryAsked) {
    m_deliveryAsked = true;
    QMetaObject::invokeMethod(this, [this] { DeliverQueued(); }, Qt::QueuedConnection);
  }
  return true;
}

void QtEventLoop::DeliverQueued() {
  // Messages are delivered for a short slice of time at most; the rest wait for the next turn,
  // after the window has handled its own events (painting, input), so a burst of reports never
  // freezes the window.
  QElapsedTimer slice;
  slice.start();
  for (;;) {
    Message m;
    MessageTarget* target = nullptr;
    {
      std::lock_guard lock(m_mutex);
      if (m_queue.empty()) {
        m_deliveryAsked = false;
        return;
      }
      if (slice.elapsed() >= kDeliverySliceMs) {
        QMetaObject::invokeMethod(this, [this] { DeliverQueued(); }, Qt::QueuedConnection);
        return;
      }
      m = m_queue.front();
      m_queue.pop_front();
      target = Find(m.target);  // a target that unregistered meanwhile gets nothing
    }
    if (target != nullptr) {
      target->OnMessage(m.message, m.wParam, m.lParam);
    }
  }
}

bool QtEventLoop::SetTimer(TargetId target, uint32_t timerId, int64_t elapseMs) {
  {
    std::lock_guard lock(m_mutex);
    if (Find(target) == nullptr) {
      return false;
    }
  }
  if (OnOwnThread()) {
    StartTimerHere(target, timerId, elapseMs);
  } else {
    QMetaObject::invokeMethod(
        this, [this, target, timerId, elapseMs] { StartTimerHere(target, timerId, elapseMs); },
        Qt::QueuedConnection);
  }
  return true;
}

void QtEventLoop::KillTimer(TargetId target, uint32_t timerId) {
  if (OnOwnThread()) {
    StopTimerHere(target, timerId);
  } else {
    QMetaObject::invokeMethod(
        this, [this, target, timerId] { StopTimerHere(target, timerId); }, Qt::QueuedConnection);
  }
}

void QtEventLoop::StartTimerHere(TargetId target, uint32_t timerId, int64_t elapseMs) {
  {
    std::lock_guard lock(m_mutex);
    if (Find(target) == nullptr) {
      return;
    }
  }
  QTimer*& timer = m_timers[{target, timerId}];
  if (timer == nullptr) {
    timer = new QTimer(this);
    timer->setTimerType(Qt::CoarseTimer);
    QObject::connect(timer, &QTimer::timeout, this,
                     [this, target, timerId] { FireTimer(target, timerId); });
  }
  timer->start(static_cast<int>(std::max<int64_t>(elapseMs, 0)));
}

void QtEventLoop::StopTimerHere(TargetId target, uint32_t timerId) {
  auto it = m_timers.find({target, timerId});
  if (it != m_timers.end()) {
    Discard(it->second);
    m_timers.erase(it);
  }
}

void QtEventLoop::Discard(QTimer* timer) {
  // A target may kill its timer from inside that timer's own call: the object must outlive
  // the signal it is emitting, so it is stopped now and freed by the loop later.
  timer->stop();
  timer->disconnect();
  timer->deleteLater();
}

void QtEventLoop::FireTimer(TargetId target, uint32_t timerId) {
  MessageTarget* receiver = nullptr;
  {
    std::lock_guard lock(m_mutex);
    receiver = Find(target);
  }
  if (receiver != nullptr) {
    receiver->OnTimer(timerId);
  }
}

size_t QtEventLoop::PendingMessages() const {
  std::lock_guard lock(m_mutex);
  return m_queue.size();
}

}  // namespace tulix
