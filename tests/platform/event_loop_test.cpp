#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace tulix {
namespace {

// Records what it receives; can unregister a target from inside a handler.
class Recorder : public MessageTarget {
 public:
  void OnMessage(uint32_t message, intptr_t wParam, intptr_t lParam) override {
    messages.push_back({message, wParam, lParam});
    if (onMessage) {
      onMessage();
    }
  }
  void OnTimer(uint32_t timerId) override { timers.push_back(timerId); }

  struct Entry {
    uint32_t message;
    intptr_t wParam;
    intptr_t lParam;
    bool operator==(const Entry&) const = default;
  };
  std::vector<Entry> messages;
  std::vector<uint32_t> timers;
  std::function<void()> onMessage;
};

TEST(EventLoop, MessagesArriveInOrderOnlyWhenTheLoopRuns) {
  StdEventLoop loop;
  Recorder target;
  const TargetId id = loop.Register(&target);
  WindowHandle window{&loop, id};
  EXPECT_TRUE(window);
  EXPECT_TRUE(PostMessage(window, kWmUser + 1, 10, 20));
  EXPECT_TRUE(loop.PostMessage(id, kWmUser + 2, 11, 21));
  EXPECT_TRUE(target.messages.empty());
  EXPECT_EQ(loop.PendingMessages(), 2u);

  // A message posted by a handler waits for the next round.
  target.onMessage = [&] {
    if (target.messages.size() == 1) {
      loop.PostMessage(id, kWmUser + 3, 0, 0);
    }
  };
  EXPECT_EQ(loop.ProcessPending(), 2);
  EXPECT_EQ(target.messages,
            (std::vector<Recorder::Entry>{{kWmUser + 1, 10, 20}, {kWmUser + 2, 11, 21}}));
  EXPECT_EQ(loop.ProcessPending(), 1);
  EXPECT_EQ(target.messages.back().message, kWmUser + 3);
  EXPECT_FALSE(PostMessage(WindowHandle{}, kWmUser, 0, 0));
  loop.Unregister(id);
}

TEST(EventLoop, MessagesToAGoneTargetAreDropped) {
  StdEventLoop loop;
  Recorder first;
  Recorder second;
  const TargetId a = loop.Register(&first);
  const TargetId b = loop.Register(&second);
  EXPECT_NE(a, b);
  loop.PostMessage(a, kWmUser, 1, 0);
  loop.PostMessage(b, kWmUser, 2, 0);
  loop.PostMessage(a, kWmUser, 3, 0);
  // The first message's handler unregisters the second target; its queued message is dropped.
  first.onMessage = [&] { loop.Unregister(b); };
  EXPECT_EQ(loop.ProcessPending(), 2);
  EXPECT_EQ(first.messages.size(), 2u);
  EXPECT_TRUE(second.messages.empty());
  EXPECT_FALSE(loop.PostMessage(b, kWmUser, 4, 0));
  EXPECT_FALSE(loop.SetTimer(b, 1, 10));

  loop.PostMessage(a, kWmUser, 5, 0);
  loop.Unregister(a);
  EXPECT_EQ(loop.ProcessPending(), 0);
  EXPECT_EQ(first.messages.size(), 2u);
}

TEST(EventLoop, TimersFollowTheReplaceableClock) {
  ManualClock clock;
  ScopedClock scope(clock);
  StdEventLoop loop;
  Recorder target;
  const TargetId id = loop.Register(&target);
  loop.SetTimer(id, 1, 4000);
  clock.AdvanceMs(3999);
  EXPECT_EQ(loop.ProcessPending(), 0);
  clock.AdvanceMs(1);
  loop.PostMessage(id, kWmUser, 0, 0);
  EXPECT_EQ(loop.ProcessPending(), 2);  // the message first, then the timer
  EXPECT_EQ(target.timers, std::vector<uint32_t>{1});
  EXPECT_EQ(target.messages.size(), 1u);

  // A timer that fell behind fires once; setting it again replaces its period.
  clock.AdvanceMs(20000);
  EXPECT_EQ(loop.ProcessPending(), 1);
  loop.SetTimer(id, 1, 500);
  loop.SetTimer(id, 2, 700);
  clock.AdvanceMs(500);
  loop.ProcessPending();
  EXPECT_EQ(target.timers, (std::vector<uint32_t>{1, 1, 1}));
  clock.AdvanceMs(200);
  loop.ProcessPending();
  EXPECT_EQ(target.timers, (std::vector<uint32_t>{1, 1, 1, 2}));
  loop.KillTimer(id, 1);
  loop.KillTimer(id, 2);
  clock.AdvanceMs(5000);
  EXPECT_EQ(loop.ProcessPending(), 0);
  loop.Unregister(id);
}

TEST(EventLoop, RunUntilDeliversMessagesFromOtherThreadsUntilDone) {
  StdEventLoop loop;
  Recorder target;
  const TargetId id = loop.Register(&target);
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&loop, id, t] {
      for (int i = 0; i < kEach; ++i) {
        loop.PostMessage(id, kWmUser, t, i);
      }
    });
  }
  EXPECT_TRUE(loop.RunUntil([&] { return target.messages.size() == kThreads * kEach; },
                            std::chrono::seconds(20)));
  for (auto& poster : posters) {
    poster.join();
  }
  // Each thread's messages keep their order.
  std::vector<intptr_t> next(kThreads, 0);
  for (const auto& m : target.messages) {
    EXPECT_EQ(m.lParam, next[static_cast<size_t>(m.wParam)]++);
  }
  EXPECT_FALSE(loop.RunUntil([] { return false; }, std::chrono::milliseconds(30)));
  loop.Unregister(id);
}

}  // namespace
}  // namespace tulix
