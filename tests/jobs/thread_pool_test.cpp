#include "jobs/thread_pool.h"

#include <gtest/gtest.h>

#include "jobs/job_test_support.h"

namespace tulix {
namespace {

// What the lists log goes to the log file only; the test reads it from standard error.
class ThreadPoolTest : public ::testing::Test {
 protected:
  // Simulates a worker that finished its job and was filed by the main thread.
  void FileAsAvailable(CWorkerThread* thread) {
    m_pool.RemoveRunning(thread);
    m_pool.AddAvailable(thread);
  }

  std::atomic<bool> m_exiting{false};
  CThreadPool m_pool{m_exiting};
};

TEST_F(ThreadPoolTest, NewWorkersAreMadeSuspendedWhenNoneIsAvailable) {
  CWorkerThread* a = m_pool.GetThread();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(m_pool.all().Count(), 1);
  EXPECT_EQ(m_pool.running().Find(a), 0);
  EXPECT_EQ(a->SuspendCount(), 1u);
  EXPECT_EQ(a->Job(), nullptr);
  EXPECT_EQ(a->Pool(), &m_pool);
  EXPECT_EQ(m_pool.FindByHandle(a->GetHandle()), a);
  CWorkerThread* b = m_pool.GetThread();
  EXPECT_NE(a, b);
  EXPECT_EQ(m_pool.all().Count(), 2);
  EXPECT_EQ(m_pool.all().UpperBound(), 1);
  EXPECT_EQ(m_pool.FindByHandle(0), nullptr);
}

TEST_F(ThreadPoolTest, TheMostRecentlyFiledWorkerIsTakenFirst) {
  CWorkerThread* a = m_pool.GetThread();
  CWorkerThread* b = m_pool.GetThread();
  FileAsAvailable(a);
  FileAsAvailable(b);
  EXPECT_EQ(m_pool.GetThread(), b);
  EXPECT_EQ(m_pool.GetThread(), a);
  EXPECT_EQ(m_pool.available().Count(), 0);
  EXPECT_EQ(m_pool.running().Count(), 2);
  EXPECT_EQ(m_pool.all().Count(), 2);
}

TEST_F(ThreadPoolTest, InconsistentEntriesAreDroppedAndTheWalkGoesOn) {
  CWorkerThread* good = m_pool.GetThread();
  CWorkerThread* stillRunning = m_pool.GetThread();
  CWorkerThread* goSet = m_pool.GetThread();
  FileAsAvailable(good);
  m_pool.AddAvailable(stillRunning);  // filed while still in the running list
  FileAsAvailable(goSet);
  goSet->SetGo(true);

  testing::internal::CaptureStderr();
  EXPECT_EQ(m_pool.GetThread(), good);
  const std::string written = testing::internal::GetCapturedStderr();
  EXPECT_EQ(written,
            "Error: running thread registered as available\n"
            "Error: running thread found in available thread list\n");
  EXPECT_EQ(m_pool.available().Count(), 0);
  goSet->SetGo(false);
}

TEST_F(ThreadPoolTest, RemovingAMissingWorkerIsLoggedWithTheListName) {
  CWorkerThread* a = m_pool.GetThread();
  testing::internal::CaptureStderr();
  m_pool.available().Remove(a);
  m_pool.RemoveRunning(a);
  m_pool.RemoveRunning(a);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Thread not found in available\nError: Thread not found in running\n");
  EXPECT_EQ(m_pool.all().Find(a), 0);
  EXPECT_THROW(m_pool.available().GetAt(0), std::out_of_range);
}

TEST_F(ThreadPoolTest, ShutdownEndsEveryWorker) {
  CWorkerThread* a = m_pool.GetThread();
  CWorkerThread* b = m_pool.GetThread();
  m_pool.Shutdown();
  EXPECT_TRUE(a->HasEnded());
  EXPECT_TRUE(b->HasEnded());
  EXPECT_EQ(m_pool.all().Count(), 2);  // the pool never shrinks
}

}  // namespace
}  // namespace tulix
