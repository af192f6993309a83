#include "jobs/job.h"

#include <gtest/gtest.h>

#include "jobs/dispatcher.h"
#include "jobs/job_test_support.h"

namespace tulix {
namespace {

using test::TestJob;

// Collects the messages posted to it.
class MessageLog : public MessageTarget {
 public:
  struct Entry {
    uint32_t message;
    intptr_t wParam;
    intptr_t lParam;
    bool operator==(const Entry&) const = default;
  };
  void OnMessage(uint32_t message, intptr_t wParam, intptr_t lParam) override {
    entries.push_back({message, wParam, lParam});
  }
  std::vector<Entry> entries;
};

TEST(Job, TextsForTheTaskViews) {
  ManualClock clock(5000);
  ScopedClock scope(clock);
  TestJob job("engine");
  EXPECT_EQ(job.GetStateText(), "Unset (0)");
  job.SetState(kStateStarted, 3);
  EXPECT_EQ(job.GetStateText(), "Started (3)");
  EXPECT_EQ(job.StateTime(), 5000);
  EXPECT_EQ(job.GetDescription(), "engine (Started (3))");
  job.SetState(17, 1);
  EXPECT_EQ(job.GetStateText(), "17 (1)");
  job.SetState(kStateFinished);
  EXPECT_EQ(job.GetStateText(), "Finished (0)");
  EXPECT_EQ(std::string(JobStateName(kStateReadingXOverNews)), "Reading XOver News");
  EXPECT_EQ(JobStateName(15), nullptr);
  // The browser library's table: one state more, "Finished" moved to 15.
  UseBrowserLibraryJobStates(true);
  EXPECT_EQ(job.GetStateText(), "Format Result (0)");
  EXPECT_EQ(std::string(JobStateName(FinishedState())), "Finished");
  EXPECT_EQ(JobStateName(16), nullptr);
  UseBrowserLibraryJobStates(false);
  EXPECT_EQ(FinishedState(), kStateFinished);

  job.waitThreshold = 1200;
  EXPECT_EQ(job.GetWaitText(), "-200");

  EXPECT_EQ(job.GetTaskStatus(), "Pending");
  job.runnable = false;
  EXPECT_EQ(job.GetTaskStatus(), "Blocked (unknown)");
  job.SetRunning(kJobQueued);
  EXPECT_EQ(job.GetTaskStatus(), "Queued");
  CWorkerThread worker;
  job.SetThread(&worker);
  EXPECT_EQ(job.GetTaskStatus(), "Running");
  job.SetThread(nullptr);

  job.SetStatusText("%d of %d desired results (Page %d)", 3, 10, 1);
  EXPECT_EQ(job.LastStatus(), "3 of 10 desired results (Page 1)");
}

TEST(Job, MarkersDecideValidityActivityAndWhichReportsAreIgnored) {
  TestJob job("j");
  const std::pair<int32_t, bool> markers[] = {
      {kJobIdle, true}, {kJobQueued, true},     {kJobRunning, true}, {kJobFinished, true},
      {kJobDone, true}, {kJobDestroyed, false}, {12345, false},
  };
  for (auto [marker, valid] : markers) {
    job.SetRunning(marker);
    EXPECT_EQ(IsValidJob(&job), valid) << marker;
    EXPECT_EQ(job.IsActive(), marker == kJobQueued || marker == kJobRunning) << marker;
    EXPECT_EQ(job.ShouldIgnore(), marker != kJobRunning && marker != kJobFinished) << marker;
  }
  EXPECT_FALSE(IsValidJob(nullptr));

  job.SetRunning(kJobRunning);
  job.RequestStop();
  EXPECT_FALSE(job.ShouldIgnore());  // a stop counts only once the job has a worker
  CWorkerThread worker;
  job.SetThread(&worker);
  EXPECT_TRUE(job.ShouldIgnore());
  job.SetThread(nullptr);
  job.orphan = true;
  EXPECT_TRUE(job.ShouldIgnore());
}

TEST(Job, CheckStopRaisesKindZeroOnAStopAndKindOneWhenNoLongerRunning) {
  TestJob job("j");
  CWorkerThread worker;
  job.SetThread(&worker);
  job.SetRunning(kJobRunning);
  EXPECT_NO_THROW(job.CheckStop());

  job.RequestStop();
  try {
    job.CheckStop();
    FAIL() << "no exception";
  } catch (const CTaskException& e) {
    EXPECT_EQ(e.Kind(), 0);
    EXPECT_EQ(e.JobId(), job.JobId());
  }

  job.Init(nullptr);  // clears the stop request and the thread link
  EXPECT_FALSE(job.StopRequested());
  EXPECT_FALSE(job.HasThread());
  EXPECT_EQ(job.State(), kStateQueued);
  job.SetRunning(kJobDone);
  try {
    job.CheckStop();
    FAIL() << "no exception";
  } catch (const CTaskException& e) {
    EXPECT_EQ(e.Kind(), 1);
  }
}

TEST(Job, PostFinishedMarksTheJobAndPostsItsIdNotItsAddress) {
  StdEventLoop loop;
  MessageLog log;
  TargetId target = loop.Register(&log);
  TestJob job("j");
  job.AttachWindow(WindowHandle{&loop, target});
  job.SetRunning(kJobRunning);
  job.PostFinished(kResultNoPostsParsed);
  EXPECT_EQ(job.Running(), kJobFinished);
  EXPECT_EQ(job.State(), kStateFinished);
  job.PostReport(kMsgSearchProgress, 3);
  loop.ProcessPending();
  EXPECT_EQ(log.entries,
            (std::vector<MessageLog::Entry>{{kMsgJobFinished, kResultNoPostsParsed, job.JobId()},
                                            {kMsgSearchProgress, 3, job.JobId()}}));
  loop.Unregister(target);
}

TEST(Job, OnFinishedCountsRunsAndMarksTheJobDone) {
  TestJob job("j");
  job.failures = 2;
  job.OnFinished(kResultSuccess);
  EXPECT_EQ(job.successes, 1);
  EXPECT_EQ(job.failures, 0);
  EXPECT_EQ(job.Running(), kJobDone);
  EXPECT_EQ(job.wait, 0);
  EXPECT_EQ(job.runsRemaining, 0);
  job.OnFinished(kResultNoPostsSuspected);
  EXPECT_EQ(job.failures, 1);
  EXPECT_EQ(job.runsRemaining, 0);  // never below 0
  EXPECT_FALSE(job.StopRequested());

  CWorkerThread worker;
  job.SetThread(&worker);
  job.OnFinished(kResultFailure);
  EXPECT_TRUE(job.StopRequested());  // a job that still has its worker is told to stop
  job.SetThread(nullptr);
}

using JobListTest = test::JobSystemTest;

TEST_F(JobListTest, QueueHoldsEachJobOnceAndHandsOutTheNewestFirst) {
  StartSystem(3, /*startDispatcher=*/false);
  auto first = AddJob("first");
  auto second = AddJob("second");
  auto stray = std::make_shared<TestJob>("stray");  // never added to the list

  queue().QueueJob(first);
  queue().QueueJob(first);
  EXPECT_TRUE(m_log.Has("Warning: Task first already in queue"));
  EXPECT_EQ(queue().QueuedCount(), 1u);
  EXPECT_EQ(first->Running(), kJobQueued);
  queue().QueueJob(second);
  queue().QueueJob(stray);

  EXPECT_EQ(queue().DequeueJob(manager()), nullptr);  // the newest is not in the list
  EXPECT_EQ(queue().DequeueJob(manager()), second);
  queue().RemoveFromQueue(*first);
  EXPECT_EQ(first->Running(), kJobIdle);
  EXPECT_EQ(queue().DequeueJob(manager()), nullptr);
  EXPECT_EQ(queue().QueuedCount(), 0u);
}

TEST_F(JobListTest, DeleteDetachAndDetachOrDelete) {
  StartSystem(3, /*startDispatcher=*/false);
  auto a = AddJob("a");
  auto b = AddJob("b");
  auto c = AddJob("c");
  EXPECT_EQ(manager().IndexOf(b.get()), 1);
  EXPECT_EQ(manager().FindById(c->JobId()), c);

  // Deleting a queued, chosen job takes it off the queue and forgets the choice.
  FirstTick();
  ASSERT_EQ(manager().Pending(), a);
  queue().QueueJob(a);
  manager().DeleteJob(manager().IndexOf(a.get()));
  EXPECT_EQ(manager().Pending(), nullptr);
  EXPECT_FALSE(queue().IsQueued(*a));
  EXPECT_EQ(a->Running(), kJobIdle);
  EXPECT_EQ(manager().IndexOf(a.get()), -1);

  // An active job is only detached; an idle one is deleted.
  std::weak_ptr<TestJob> weakC = c;
  c.reset();
  b->SetRunning(kJobRunning);
  manager().DetachOrDelete(*b);
  EXPECT_EQ(manager().IndexOf(b.get()), -1);
  EXPECT_EQ(b->Running(), kJobRunning);
  ASSERT_FALSE(weakC.expired());
  manager().DetachOrDelete(*weakC.lock());
  EXPECT_TRUE(weakC.expired());
  EXPECT_EQ(manager().JobCount(), 0u);
}

TEST_F(JobListTest, StartingAJobThatIsNoLongerQueuedGivesTheWorkerBack) {
  StartSystem(3, /*startDispatcher=*/false);
  auto job = AddJob("late");
  {
    CMclAutoLock lock(JobQueueLock());
    StartJob(job, pool(), manager());
  }
  EXPECT_TRUE(m_log.Has("Error: Trying to start a deleted job that is still in the job list"));
  EXPECT_TRUE(m_log.Has("Error: Problem starting job (-100) late (Unset (0)) "));
  EXPECT_FALSE(job->HasThread());
  EXPECT_EQ(pool().available().Count(), 1);
  EXPECT_EQ(pool().running().Count(), 0);
  EXPECT_EQ(job->Running(), kJobIdle);
}

TEST_F(JobListTest, DispatcherStartsQueuedJobsByHand) {
  StartSystem(3, /*startDispatcher=*/false);
  auto job = AddJob("hand");
  FirstTick();
  Tick();  // started: queued for the dispatcher
  EXPECT_EQ(job->Running(), kJobQueued);
  EXPECT_EQ(job->GetTaskStatus(), "Queued");
  EXPECT_TRUE(m_app->dispatcher->DispatchOne());
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 0; }));
  EXPECT_EQ(job->finishedCodes, std::vector<int>{kResultSuccess});
  EXPECT_FALSE(m_app->dispatcher->DispatchOne());
  EXPECT_EQ(m_log.CountContaining("Problem starting job"), 0);
}

}  // namespace
}  // namespace tulix
