// The Qt loop must keep the core's message contract: messages from any thread arrive on the
// main thread in order, nothing reaches a target that has gone, and timers repeat until killed,
// even when a timer kills itself from its own call.
#include <QObject>
#include <QTest>

#include <atomic>
#include <thread>
#include <vector>

#include "ui/qt_event_loop.h"
#include "ui/ui_test_support.h"

namespace tulix {
namespace {

class Recorder : public MessageTarget {
 public:
  void OnMessage(uint32_t message, intptr_t wParam, intptr_t) override {
    onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
    received.push_back({message, wParam});
  }
  void OnTimer(uint32_t timerId) override {
    ++ticks;
    if (killSelfAfter > 0 && ticks == killSelfAfter) {
      loop->KillTimer(id, timerId);
    }
  }
  std::vector<std::pair<uint32_t, intptr_t>> received;
  bool onMainThread = true;
  int ticks = 0;
  int killSelfAfter = 0;
  EventLoop* loop = nullptr;
  TargetId id = 0;
};

}  // namespace

class EventLoopTest : public QObject {
  Q_OBJECT
 private slots:
  void messagesFromWorkersArriveInOrderOnTheMainThread() {
    QtEventLoop loop;
    Recorder recorder;
    const TargetId id = loop.Register(&recorder);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
      workers.emplace_back([&loop, id, t] {
        for (int i = 0; i < 500; ++i) {
          loop.PostMessage(id, kWmUser + t, i, 0);
        }
      });
    }
    for (std::thread& worker : workers) {
      worker.join();
    }
    QVERIFY(test::WaitUntil([&] { return recorder.received.size() == 2000; }));
    QVERIFY(recorder.onMainThread);
    std::vector<intptr_t> last(4, -1);
    for (const auto& [message, value] : recorder.received) {
      QCOMPARE(value, last[message - kWmUser] + 1);  // each sender's order kept
      last[message - kWmUser] = value;
    }
    loop.Unregister(id);
  }

  void nothingReachesATargetThatHasGone() {
    QtEventLoop loop;
    Recorder recorder;
    const TargetId id = loop.Register(&recorder);
    QVERIFY(loop.PostMessage(id, kWmUser, 1, 0));
    QVERIFY(loop.SetTimer(id, 7, 1));
    loop.Unregister(id);
    QVERIFY(!loop.PostMessage(id, kWmUser, 2, 0));
    QVERIFY(!loop.SetTimer(id, 8, 1));
    QTest::qWait(50);
    QVERIFY(recorder.received.empty());
    QCOMPARE(recorder.ticks, 0);
  }

  void aTimerRepeatsUntilItKillsItself() {
    QtEventLoop loop;
    Recorder recorder;
    recorder.loop = &loop;
    recorder.id = loop.Register(&recorder);
    recorder.killSelfAfter = 3;
    QVERIFY(loop.SetTimer(recorder.id, 1, 5));
    QVERIFY(test::WaitUntil([&] { return recorder.ticks >= 3; }));
    QTest::qWait(60);
    QCOMPARE(recorder.ticks, 3);
    loop.Unregister(recorder.id);
  }
};

}  // namespace tulix

QTEST_MAIN(tulix::EventLoopTest)
#include "event_loop_test.moc"
