#include "jobs/worker_thread.h"

#include <gtest/gtest.h>

#include <future>

#include "jobs/job_test_support.h"
#include "jobs/mcl_sync.h"

namespace tulix {
namespace {

// Polls `done` until it holds or a generous deadline passes.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

// Entry routines get only the worker, so what they report goes through these.
std::atomic<int> g_runs{0};
std::atomic<int> g_laps{0};
std::atomic<bool> g_stopLapping{false};
std::atomic<bool> g_afterWait{false};
test::Gate* g_gate = nullptr;

void CountRun(CWorkerThread&) {
  g_runs.fetch_add(1);
}

void WaitOnGate(CWorkerThread&) {
  g_runs.fetch_add(1);
  g_gate->Wait();
  ThrowIfCurrentWorkerTerminated();
  g_afterWait = true;
}

void LapThroughParkPoints(CWorkerThread& worker) {
  while (!g_stopLapping.load()) {
    worker.Park();
    g_laps.fetch_add(1);
    std::this_thread::yield();
  }
}

class KernelProbe : public CMclKernel {
 public:
  void Succeed() { CreateHandle(); }
  void Fail(uint32_t error) { CreationFailed(error); }
};

TEST(MclKernel, OnlyASuccessfulCreationHoldsAndClosesAHandle) {
  const int before = CMclKernel::OpenHandleCount();
  {
    KernelProbe failed;
    EXPECT_EQ(failed.Status(), kErrorInvalidHandle);
    failed.Fail(8);
    EXPECT_EQ(failed.Status(), 8u);
    EXPECT_EQ(failed.GetHandle(), CMclKernel::kNullHandle);
    EXPECT_FALSE(failed.IsValid());
  }
  EXPECT_EQ(CMclKernel::OpenHandleCount(), before);
  {
    KernelProbe made;
    made.Succeed();
    EXPECT_EQ(made.Status(), 0u);
    EXPECT_TRUE(made.IsValid());
    EXPECT_EQ(CMclKernel::OpenHandleCount(), before + 1);
  }
  EXPECT_EQ(CMclKernel::OpenHandleCount(), before);
}

TEST(MclAutoLock, LeavesItsLockOnEveryWayOut) {
  CMclCriticalSection section;
  auto throwInside = [&section] {
    CMclAutoLock lock(section);
    CMclAutoLock again(section);  // re-entrant
    throw uint32_t{5};
  };
  EXPECT_THROW(throwInside(), uint32_t);
  auto tryFromOtherThread = [&section] {
    return std::async(std::launch::async,
                      [&section] {
                        bool got = section.TryEnter();
                        if (got) {
                          section.Leave();
                        }
                        return got;
                      })
        .get();
  };
  EXPECT_TRUE(tryFromOtherThread());
  {
    CMclAutoLock lock(section);
    EXPECT_FALSE(tryFromOtherThread());
  }

  std::mutex raw;
  {
    CMclAutoLock lock(raw);
    EXPECT_FALSE(std::async(std::launch::async, [&raw] {
                   bool got = raw.try_lock();
                   if (got) {
                     raw.unlock();
                   }
                   return got;
                 }).get());
  }
  EXPECT_TRUE(raw.try_lock());
  raw.unlock();
  EXPECT_EQ(&JobQueueLock(), &JobQueueLock());
  EXPECT_NE(static_cast<void*>(&JobQueueLock()), static_cast<void*>(&ThreadListLock()));
}

TEST(WorkerThread, ForcedResumeOfAnOverSuspendedThreadLogsOnceAndRunsIt) {
  g_runs = 0;
  CWorkerThread worker;
  worker.SetEntryRoutine(&CountRun);
  worker.Create();  // suspended
  EXPECT_TRUE(worker.IsValid());
  ASSERT_TRUE(Eventually([&] { return worker.IsParked(); }));
  EXPECT_EQ(g_runs.load(), 0);
  EXPECT_EQ(worker.Suspend(), 1u);
  EXPECT_EQ(worker.Suspend(), 2u);

  testing::internal::CaptureStderr();
  EXPECT_EQ(worker.Resume(true), 1u);
  const std::string written = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(written, "Error: thread suespended 3\n"), 1);
  EXPECT_EQ(CountOf(written, "suespended"), 1);

  ASSERT_TRUE(Eventually([&] { return worker.HasEnded(); }));
  EXPECT_EQ(g_runs.load(), 1);
  EXPECT_EQ(worker.Suspend(), CWorkerThread::kFailed);
  EXPECT_EQ(worker.Resume(false), CWorkerThread::kFailed);
}

TEST(WorkerThread, ForcedResumeOfAThreadSuspendedOnceDoesNotLog) {
  g_runs = 0;
  CWorkerThread worker;
  worker.SetEntryRoutine(&CountRun);
  worker.Create();
  worker.SetPriority(kPriorityBelowNormal);
  EXPECT_EQ(worker.GetPriority(), kPriorityBelowNormal);
  testing::internal::CaptureStderr();
  EXPECT_EQ(worker.Resume(true), 1u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(Eventually([&] { return worker.HasEnded(); }));
  EXPECT_EQ(g_runs.load(), 1);
  uint32_t code = 99;
  worker.GetExitCode(code);
  EXPECT_EQ(code, 0u);
}

TEST(WorkerThread, ASuspendedThreadStopsAtItsNextParkPoint) {
  g_laps = 0;
  g_stopLapping = false;
  CWorkerThread worker;
  worker.SetEntryRoutine(&LapThroughParkPoints);
  worker.Create();
  EXPECT_EQ(worker.Resume(false), 1u);
  ASSERT_TRUE(Eventually([] { return g_laps.load() > 0; }));
  EXPECT_EQ(worker.Suspend(), 0u);
  ASSERT_TRUE(Eventually([&] { return worker.IsParked(); }));
  const int laps = g_laps.load();
  EXPECT_EQ(g_laps.load(), laps);
  EXPECT_EQ(worker.Resume(false), 1u);
  ASSERT_TRUE(Eventually([&] { return g_laps.load() > laps; }));
  g_stopLapping = true;
  worker.Join();
}

TEST(WorkerThread, TerminateAbortsTheBlockingWaitAndTheThreadUnwinds) {
  g_runs = 0;
  g_afterWait = false;
  test::Gate gate;
  g_gate = &gate;
  CWorkerThread worker;
  worker.SetEntryRoutine(&WaitOnGate);
  worker.Create(0);  // not suspended
  ASSERT_TRUE(Eventually([] { return g_runs.load() == 1; }));
  uint32_t code = 0;
  worker.GetExitCode(code);
  EXPECT_EQ(code, CWorkerThread::kStillActive);
  EXPECT_TRUE(worker.Terminate(7));
  worker.Join();
  EXPECT_TRUE(worker.HasEnded());
  EXPECT_FALSE(g_afterWait.load());
  worker.GetExitCode(code);
  EXPECT_EQ(code, 7u);
  g_gate = nullptr;

  bool aborted = false;
  {
    AbortableWait notAWorker([&aborted] { aborted = true; });
  }
  EXPECT_FALSE(aborted);  // on a thread that is no worker it does nothing
}

}  // namespace
}  // namespace tulix
