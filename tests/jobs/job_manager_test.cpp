#include "jobs/job_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <thread>

#include "jobs/job_test_support.h"

namespace tulix {
namespace {

using test::Gate;
using test::TestJob;

using JobManagerTest = test::JobSystemTest;

int BlockOnGate(TestJob& job) {
  job.gate.Wait();
  return kResultSuccess;
}

TEST_F(JobManagerTest, MaxTasksThreeRunsThreeOfTenAndEachEndFreesASlot) {
  StartSystem(3);
  std::vector<std::shared_ptr<TestJob>> jobs;
  for (int i = 0; i < 10; ++i) {
    jobs.push_back(AddJob("job" + std::to_string(i), BlockOnGate));
  }
  auto enteredCount = [&] {
    int n = 0;
    for (const auto& job : jobs) {
      n += job->entered.load();
    }
    return n;
  };

  // A job is chosen on one tick and started on the next: "STARTING", then "STARTED".
  FirstTick();
  ASSERT_EQ(manager().Pending(), jobs[0]);
  EXPECT_EQ(jobs[0]->LastStatus(), "STARTING");
  EXPECT_EQ(manager().RunningCount(), 0);
  Tick();
  EXPECT_EQ(manager().RunningCount(), 1);
  EXPECT_EQ(jobs[0]->Statuses(), (std::vector<std::string>{"STARTING", "", "STARTED"}));

  Tick(20);
  ASSERT_TRUE(WaitFor([&] { return enteredCount() == 3; }));
  EXPECT_EQ(manager().RunningCount(), 3);
  EXPECT_EQ(pool().all().Count(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(jobs[i]->GetTaskStatus(), "Running");
  }
  for (int i = 3; i < 10; ++i) {
    EXPECT_EQ(jobs[i]->Running(), kJobIdle);
    EXPECT_EQ(jobs[i]->GetTaskStatus(), "Pending");
  }

  // More ticks start nothing while the three run.
  Tick(20);
  EXPECT_EQ(enteredCount(), 3);
  EXPECT_EQ(manager().Pending(), nullptr);

  // One ends: its result is handled, its worker comes back, the job is deleted; the next tick
  // chooses a waiting job and the one after starts it on the same worker.
  CWorkerThread* firstWorker = jobs[0]->ranOn.load();
  std::weak_ptr<TestJob> first = jobs[0];
  jobs[0]->gate.Open();
  ASSERT_TRUE(
      WaitFor([&] { return manager().JobCount() == 9 && pool().available().Count() == 1; }));
  EXPECT_EQ(manager().RunningCount(), 2);
  EXPECT_EQ(jobs[0]->finishedCodes, std::vector<int>{kResultSuccess});
  EXPECT_EQ(jobs[0]->Statuses().back(), "COMPLETE - Success");
  jobs[0].reset();
  EXPECT_TRUE(first.expired());

  Tick(2);
  ASSERT_TRUE(WaitFor([&] { return jobs[3]->entered.load() == 1; }));
  EXPECT_EQ(jobs[3]->ranOn.load(), firstWorker);
  EXPECT_EQ(pool().all().Count(), 3);

  for (auto& job : jobs) {
    if (job) {
      job->gate.Open();
    }
  }
  for (int i = 0; i < 40 && manager().JobCount() > 0; ++i) {
    Tick();
    ASSERT_TRUE(WaitFor([&] { return NextTickHasWork(3); }));
  }
  EXPECT_EQ(manager().JobCount(), 0u);
  EXPECT_EQ(pool().all().Count(), 3);
}

// The command line's pacing: one tick starts every job a slot allows, not one every other tick.
TEST_F(JobManagerTest, StartingAllDueJobsFillsEverySlotInOneTick) {
  StartSystem(3, true, true);
  std::vector<std::shared_ptr<TestJob>> jobs;
  for (int i = 0; i < 5; ++i) {
    jobs.push_back(AddJob("job" + std::to_string(i), BlockOnGate));
  }
  FirstTick();
  EXPECT_EQ(manager().RunningCount(), 3);
  EXPECT_EQ(manager().Pending(), nullptr);
  EXPECT_FALSE(jobs[3]->IsActive());
  // A finished job's slot is taken by the next tick once its worker is back.
  jobs[0]->gate.Open();
  ASSERT_TRUE(WaitFor([&] { return jobs[0]->result == kResultSuccess; }));
  ASSERT_TRUE(WaitFor([&] { return manager().ReturningWorkers() == 0; }));
  Tick();
  EXPECT_EQ(manager().RunningCount(), 3);
  EXPECT_TRUE(jobs[3]->IsActive());
  EXPECT_FALSE(jobs[4]->IsActive());
  for (const auto& job : jobs) {
    job->gate.Open();
  }
}

TEST_F(JobManagerTest, DeletingAStartedJobThatNoWorkerTookGivesItsSlotBack) {
  // Without a dispatcher, started jobs wait on the run queue with their slots taken, as they do
  // for a moment in a running program (when the user cancels one from the tasks pane).
  StartSystem(2, /*startDispatcher=*/false, /*startAllDue=*/true);
  auto first = AddJob("first");
  auto second = AddJob("second");
  FirstTick();
  ASSERT_EQ(manager().RunningCount(), 2);
  ASSERT_FALSE(first->HasThread());
  manager().DeleteJob(manager().IndexOf(first.get()));
  EXPECT_EQ(manager().RunningCount(), 1);
  // The freed slot is there for the next job.
  auto third = AddJob("third");
  Tick(2);
  EXPECT_EQ(manager().RunningCount(), 2);
  EXPECT_TRUE(third->IsActive());
}

TEST_F(JobManagerTest, NewJobsGoBeforeJobsThatRanAndTiesGoToTheFirstInTheList) {
  StartSystem(1);
  auto old = AddJob("old");
  old->deleteWhenDone = false;
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return old->Running() == kJobDone && !old->HasThread(); }));
  EXPECT_EQ(old->wait, 0);
  EXPECT_EQ(old->successes, 1);
  EXPECT_EQ(old->runsRemaining, 0);
  EXPECT_EQ(old->result, kResultSuccess);
  EXPECT_EQ(manager().JobCount(), 1u);  // kept: not delete-when-done

  // A job that ran has no claim until it has been aged once a minute (every 120 ticks).
  while (manager().TickCount() < 119) {
    Tick();
    ASSERT_EQ(manager().Pending(), nullptr);
  }
  auto fresh1 = AddJob("fresh1", BlockOnGate);
  auto fresh2 = AddJob("fresh2", BlockOnGate);
  Tick();  // tick 120: the old job ages to 1, but new jobs wait 1000; the first of a tie wins
  EXPECT_EQ(old->wait, 1);
  EXPECT_EQ(fresh1->wait, 1001);
  EXPECT_EQ(manager().Pending(), fresh1);
  Tick();
  ASSERT_TRUE(WaitFor([&] { return fresh1->entered.load() == 1; }));
  fresh1->gate.Open();
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 2 && manager().RunningCount() == 0; }));
  Tick();
  EXPECT_EQ(manager().Pending(), fresh2);

  // A larger claim beats list order; a job that may not run is passed over.
  fresh2->gate.Open();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 1 && manager().RunningCount() == 0; }));
  auto blocked = AddJob("blocked");
  blocked->runnable = false;
  blocked->wait = 5000;
  auto later = AddJob("later");
  later->wait = 1001;
  auto earlier = AddJob("earlier");
  Tick();
  EXPECT_EQ(manager().Pending(), later);
  EXPECT_EQ(blocked->GetTaskStatus(), "Blocked (unknown)");
}

TEST_F(JobManagerTest, AFinishedJobIsNotChosenAgainBeforeItsWorkerIsBack) {
  StartSystem(2);
  auto lingering = AddJob("lingering", [](TestJob& job) {
    job.PostFinished(kResultSuccess);
    job.gate.Wait();  // the worker holds on to the job after its result
    return TestJob::kNoPost;
  });
  lingering->deleteWhenDone = false;
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return lingering->Running() == kJobDone; }));
  EXPECT_EQ(manager().ReturningWorkers(), 1);
  TickToMultipleOf(120);  // aged: it would have a claim now
  EXPECT_EQ(lingering->wait, 1);
  Tick();
  EXPECT_EQ(manager().Pending(), nullptr);
  EXPECT_EQ(lingering->entered.load(), 1);

  lingering->gate.Open();
  ASSERT_TRUE(WaitFor([&] { return !lingering->HasThread(); }));
  EXPECT_EQ(manager().ReturningWorkers(), 0);
  Tick();
  EXPECT_EQ(manager().Pending(), lingering);
}

TEST_F(JobManagerTest, RaisingRoutinePostsFailureAndItsWorkerIsReused) {
  StartSystem(1);
  auto raising = AddJob("raiser", [](TestJob&) -> int { throw std::runtime_error("boom"); });
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 0; }));
  EXPECT_TRUE(m_log.Has("Error: Thread exception: raiser:Started (0) (do_thread)"));
  EXPECT_EQ(raising->finishedCodes, std::vector<int>{kResultFailure});
  EXPECT_EQ(raising->failures, 1);
  EXPECT_EQ(raising->Statuses().back(), "COMPLETE - Failure");
  EXPECT_EQ(manager().RunningCount(), 0);

  auto next = AddJob("next");
  Tick(2);
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 0; }));
  EXPECT_EQ(next->ranOn.load(), raising->ranOn.load());
  EXPECT_EQ(pool().all().Count(), 1);
  EXPECT_EQ(m_log.CountContaining("Problem starting job"), 0);
}

TEST_F(JobManagerTest, BadMarkerAndBadCodeAreLoggedAndChangeNothing) {
  StartSystem(1);
  // A result for a job that never posted one (marker idle) is logged and dropped.
  auto idle = AddJob("idle");
  idle->AttachWindow(manager().Window());
  PostMessage(manager().Window(), kMsgJobFinished, kResultSuccess, idle->JobId());
  m_loop.ProcessPending();
  EXPECT_TRUE(m_log.Has("Task idle has posted finished but has bad m_running status 0"));
  EXPECT_TRUE(idle->finishedCodes.empty());
  EXPECT_EQ(idle->result, kResultNotRun);
  manager().DeleteJob(manager().IndexOf(idle.get()));

  // A message naming a job that has gone is dropped.
  PostMessage(manager().Window(), kMsgJobFinished, kResultSuccess, 999999);
  PostMessage(manager().Window(), kMsgJobConnected, 0, 999999);
  EXPECT_EQ(m_loop.ProcessPending(), 2);

  // Code 7: logged, not a finish, and the running count is unchanged while the worker holds
  // the job; the slot comes back when the worker does.
  auto bad = AddJob("bad", [](TestJob& job) {
    job.PostFinished(7);
    job.gate.Wait();
    return TestJob::kNoPost;
  });
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return m_log.Has("Error: Bad thread code 7"); }));
  EXPECT_EQ(manager().RunningCount(), 1);
  EXPECT_EQ(bad->result, 7);
  EXPECT_TRUE(bad->finishedCodes.empty());
  bad->gate.Open();
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 0; }));
  EXPECT_EQ(manager().RunningCount(), 0);
  EXPECT_EQ(pool().available().Count(), 1);
}

TEST_F(JobManagerTest, StopWithHowZeroEndsAtTheNextCheckStopAndGivesTheSlotBackOnce) {
  StartSystem(2);
  std::atomic<int> kind{-1};
  auto polling = AddJob("poller", [&kind](TestJob& job) {
    try {
      for (;;) {
        job.CheckStop();
        std::this_thread::yield();
      }
    } catch (const CTaskException& e) {
      kind = e.Kind();
      throw;
    }
    return kResultSuccess;
  });
  auto other = AddJob("other", BlockOnGate);
  FirstTick();
  Tick(3);
  ASSERT_TRUE(WaitFor([&] { return polling->entered.load() == 1 && other->entered.load() == 1; }));
  ASSERT_EQ(manager().RunningCount(), 2);

  manager().StopJob(*polling, 0);
  EXPECT_EQ(manager().RunningCount(), 1);  // the slot is free at once
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 1; }));
  EXPECT_EQ(kind.load(), 0);
  EXPECT_EQ(polling->finishedCodes, std::vector<int>{kResultFailure});
  EXPECT_EQ(polling->Statuses().back(), "COMPLETE - Failure");
  EXPECT_EQ(m_log.CountContaining("Thread exception: poller:"), 1);
  // The result of a stopped job does not give its slot back a second time.
  EXPECT_EQ(manager().RunningCount(), 1);
  EXPECT_EQ(pool().available().Count(), 1);
  other->gate.Open();
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 0; }));
  EXPECT_EQ(manager().RunningCount(), 0);
}

TEST_F(JobManagerTest, KillWithHowOneInsideABlockingWaitFreesTheSlotAndNeverTouchesTheJob) {
  StartSystem(1);
  std::atomic<bool> touched{false};
  auto stuck = AddJob("stuck", [&touched](TestJob& job) {
    job.gate.Wait();  // stands for a network transfer; aborted when the thread is terminated
    job.SetState(kStateReadPage, 9);
    touched = true;
    return kResultSuccess;
  });
  std::weak_ptr<TestJob> weak = stuck;
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return stuck->entered.load() == 1; }));
  CWorkerThread* worker = stuck->ranOn.load();

  manager().StopJob(*stuck, 1);
  EXPECT_EQ(manager().RunningCount(), 0);
  EXPECT_TRUE(worker->IsTerminated());
  EXPECT_EQ(pool().running().Find(worker), -1);
  EXPECT_TRUE(stuck->StopRequested());

  // The terminated worker lets go of its job, the job is deleted, and the worker ends without
  // ever going back to the pool: its thread is joined and the pool drops it.
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 0 && pool().all().Find(worker) < 0; }));
  EXPECT_FALSE(touched.load());
  EXPECT_EQ(stuck->State(), kStateStarted);
  EXPECT_TRUE(stuck->finishedCodes.empty());
  EXPECT_EQ(pool().available().Find(worker), -1);
  EXPECT_EQ(pool().OwnedCount(), 0u);
  stuck.reset();
  EXPECT_TRUE(weak.expired());

  // The slot is free: the next job starts, on a new worker.
  auto next = AddJob("next");
  Tick(2);
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 0; }));
  EXPECT_EQ(next->finishedCodes, std::vector<int>{kResultSuccess});
  EXPECT_EQ(pool().all().Count(), 1);
  EXPECT_EQ(pool().OwnedCount(), 1u);
}

TEST_F(JobManagerTest, KillWithHowTwoLetsTheJobRunOnAsAnOrphanUntilItsResult) {
  StartSystem(1);
  auto orphan = AddJob("lonely", [](TestJob& job) {
    job.gate.Wait();
    job.CheckStop();  // the stop requested by the kill
    return kResultSuccess;
  });
  std::weak_ptr<TestJob> weak = orphan;
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return orphan->entered.load() == 1; }));

  manager().StopJob(*orphan, 2);
  EXPECT_TRUE(orphan->orphan.load());
  EXPECT_EQ(manager().JobCount(), 0u);  // detached from its owner
  EXPECT_EQ(queue().OrphanCount(), 1u);
  EXPECT_EQ(manager().RunningCount(), 0);
  EXPECT_EQ(orphan->GetTaskStatus(), "Running");

  // Its result ends the orphan; its worker, which has finished, goes back to the pool.
  CWorkerThread* worker = orphan->ranOn.load();
  orphan->gate.Open();
  ASSERT_TRUE(WaitFor([&] { return m_log.Has("Task lonely is orphan"); }));
  ASSERT_TRUE(WaitFor([&] { return pool().available().Find(worker) >= 0; }));
  EXPECT_FALSE(worker->IsTerminated());
  EXPECT_EQ(queue().OrphanCount(), 0u);
  EXPECT_TRUE(orphan->finishedCodes.empty());
  orphan.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(JobManagerTest, StalledJobIsSignalledAndAStillStalledOneHasItsThreadEnded) {
  StartSystem(1);
  auto sleeper = AddJob("sleeper", BlockOnGate);  // ignores stop requests while it waits
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return sleeper->entered.load() == 1; }));
  CWorkerThread* worker = sleeper->ranOn.load();
  const std::string signalled = "Error: Signalling stalled job sleeper";
  const std::string terminated = "Error: Terminating dead job sleeper";

  // No state change for 99 minutes: nothing yet.
  m_clock.AdvanceSeconds(99 * 60);
  TickToMultipleOf(13);
  EXPECT_EQ(m_log.Count(signalled), 0);

  m_clock.AdvanceSeconds(2 * 60);  // over 100 minutes
  TickToMultipleOf(13);
  EXPECT_EQ(m_log.Count(signalled), 1);
  EXPECT_TRUE(sleeper->StopRequested());

  m_clock.AdvanceSeconds(47 * 60);  // just under 150: still only stalled
  TickToMultipleOf(13);
  EXPECT_EQ(m_log.Count(signalled), 2);
  EXPECT_EQ(m_log.Count(terminated), 0);

  m_clock.AdvanceSeconds(3 * 60);  // over 150 with a stop requested: dead
  TickToMultipleOf(13);
  EXPECT_EQ(m_log.Count(terminated), 1);
  EXPECT_TRUE(worker->IsTerminated());
  EXPECT_EQ(worker->Job(), nullptr);
  EXPECT_FALSE(sleeper->HasThread());
  // The dead job ends as a failure and gives its slot back.
  EXPECT_EQ(sleeper->finishedCodes, std::vector<int>{kResultFailure});
  EXPECT_EQ(manager().RunningCount(), 0);
  EXPECT_EQ(manager().JobCount(), 0u);
  ASSERT_TRUE(WaitFor([&] { return pool().all().Find(worker) < 0; }));
  EXPECT_EQ(pool().available().Find(worker), -1);
  EXPECT_EQ(pool().OwnedCount(), 0u);
}

TEST_F(JobManagerTest, InvalidJobOnAWorkerHasTheWorkerSuspendedAndAbandoned) {
  StartSystem(1);
  auto broken = AddJob("broken", BlockOnGate);
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return broken->entered.load() == 1; }));
  CWorkerThread* worker = broken->ranOn.load();
  broken->SetRunning(12345);  // a marker no live job has
  TickToMultipleOf(13);
  EXPECT_TRUE(m_log.Has("Error: Suspending invalid job thread"));
  EXPECT_TRUE(worker->IsAbandoned());
  EXPECT_EQ(worker->Job(), nullptr);
  EXPECT_EQ(worker->SuspendCount(), 1u);
  broken->SetRunning(kJobRunning);
  broken->gate.Open();  // the worker finishes its routine, then stays parked in its hand-back
}

TEST_F(JobManagerTest, FiveHundredShortJobsAllFinishOnAtMostThreeWorkers) {
  StartSystem(3);
  std::vector<std::weak_ptr<TestJob>> jobs;
  std::atomic<int> ran{0};
  for (int i = 0; i < 500; ++i) {
    jobs.push_back(AddJob("short" + std::to_string(i), [&ran](TestJob&) {
      ran.fetch_add(1);
      return kResultSuccess;
    }));
  }
  FirstTick();
  int ticks = 0;
  while (manager().JobCount() > 0 && ticks < 5000) {
    Tick();
    ++ticks;
    ASSERT_LE(pool().all().Count(), 3);
    ASSERT_TRUE(WaitFor([&] { return NextTickHasWork(3); }));
  }
  EXPECT_EQ(manager().JobCount(), 0u);
  EXPECT_EQ(ran.load(), 500);
  EXPECT_LE(pool().all().Count(), 3);
  EXPECT_EQ(pool().available().Count(), pool().all().Count());
  EXPECT_EQ(manager().RunningCount(), 0);
  for (const auto& job : jobs) {
    EXPECT_TRUE(job.expired());
  }
  EXPECT_EQ(m_log.CountContaining("Problem starting job"), 0);
}

// Owners give up running jobs all the time (a search cancelled or replaced); neither that nor
// ending a worker by force may cost a thread for good.
TEST_F(JobManagerTest, ThousandOrphansAndKilledWorkersKeepThePoolWithinMaxTasks) {
  constexpr int kMaxTasks = 3;
  StartSystem(kMaxTasks);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  // What the pool logs goes to the log file only, which is standard error here.
  std::string written;
  struct Capture {
    explicit Capture(std::string& out) : out(out) { testing::internal::CaptureStderr(); }
    ~Capture() { out = testing::internal::GetCapturedStderr(); }
    std::string& out;
  };
  std::optional<Capture> capture(std::in_place, written);
  FirstTick();
  int orphans = 0;
  for (int round = 0; orphans < 1000; ++round) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::vector<std::shared_ptr<TestJob>> jobs;
    for (int i = 0; i < kMaxTasks; ++i) {
      jobs.push_back(
          AddJob("orphan" + std::to_string(round) + "." + std::to_string(i), [](TestJob& job) {
            job.gate.Wait();
            return kResultSuccess;
          }));
    }
    for (int i = 0; i < 4 * kMaxTasks; ++i) {
      Tick();
    }
    ASSERT_TRUE(WaitFor([&] {
      return std::all_of(jobs.begin(), jobs.end(), [](const auto& j) { return j->entered == 1; });
    }));
    // Every tenth round one worker is ended by force instead: its thread must be joined and
    // dropped, not kept until the pool goes.
    const bool killOne = round % 10 == 9;
    std::vector<std::weak_ptr<TestJob>> gone;
    for (size_t i = 0; i < jobs.size(); ++i) {
      if (killOne && i == 0) {
        manager().StopJob(*jobs[i], 1);
      } else {
        manager().StopJob(*jobs[i], 2);
        ++orphans;
      }
      jobs[i]->gate.Open();
      gone.push_back(jobs[i]);
    }
    jobs.clear();
    // A job is freed when the main thread has taken it back from its worker.
    ASSERT_TRUE(WaitFor([&] {
      return std::all_of(gone.begin(), gone.end(), [](const auto& j) { return j.expired(); });
    }));
    EXPECT_EQ(queue().OrphanCount(), 0u);
    EXPECT_EQ(manager().JobCount(), 0u);
    ASSERT_EQ(pool().available().Count(), pool().all().Count());
    ASSERT_LE(pool().all().Count(), kMaxTasks);
    ASSERT_LE(pool().OwnedCount(), static_cast<size_t>(kMaxTasks));
    EXPECT_EQ(manager().RunningCount(), 0);
  }
  capture.reset();
  EXPECT_EQ(written.find("Thread not found"), std::string::npos);
  EXPECT_EQ(m_log.CountContaining("is orphan"), orphans);
}

TEST_F(JobManagerTest, FailedStartIsLoggedAndTheJobDeleted) {
  StartSystem(1);
  auto refused = AddJob("refused");
  refused->startResult = 0;
  FirstTick();
  Tick();
  EXPECT_TRUE(m_log.Has("Error: Failed to start long task"));
  EXPECT_EQ(manager().JobCount(), 0u);
  EXPECT_EQ(manager().RunningCount(), 0);

  // A job started without counting (Start returns 2) takes no slot.
  auto uncounted = AddJob("uncounted");
  uncounted->startResult = 2;
  uncounted->deleteWhenDone = false;
  Tick(2);
  EXPECT_EQ(manager().RunningCount(), 0);
  EXPECT_EQ(uncounted->LastStatus(), "STARTED");
}

class RecordingObserver : public JobObserver {
 public:
  void PruneTaskRows(const std::function<bool(int)>& isListed) override {
    std::erase_if(rows, [&](int id) { return !isListed(id); });
  }
  void OnSearchProgress(CJob& job) override { progressOf.push_back(job.JobId()); }
  std::vector<int> rows;
  std::vector<int> progressOf;
};

TEST_F(JobManagerTest, ReportsFromWorkersReachTheJobsAndThePanes) {
  StartSystem(1, false);
  RecordingObserver observer;
  manager().SetObserver(&observer);
  auto job = AddJob("reporter");
  job->AttachWindow(manager().Window());
  job->SetRunning(kJobRunning);
  observer.rows = {job->JobId(), 424242};

  job->PostReport(kMsgJobConnected, 0);
  job->PostReport(kMsgSearchProgress, 2);
  job->PostUpdatingEngine("web\\alpha.ini");
  job->PostReport(kMsgUpdateNotice, 1);
  job->PostReport(kMsgUpdateNotice, 1);
  m_loop.ProcessPending();
  EXPECT_EQ(job->Statuses(),
            (std::vector<std::string>{"CONNECTED", "4 of 10 desired results (Page 2)",
                                      "Updating engine: web\\alpha.ini"}));
  EXPECT_EQ(observer.progressOf, std::vector<int>{job->JobId()});
  EXPECT_EQ(m_log.Count("An Update of Tulix is now available for download."), 1);
  EXPECT_EQ(m_log.Boxes().size(), 1u);

  // Progress of a job asked to stop, and connections of a job no longer running, are dropped.
  job->RequestStop();
  job->PostReport(kMsgSearchProgress, 3);
  m_loop.ProcessPending();
  job->SetRunning(kJobDone);
  job->PostReport(kMsgJobConnected, 0);
  m_loop.ProcessPending();
  EXPECT_EQ(job->Statuses().size(), 3u);

  // The tick drops rows of jobs that are not in the list.
  FirstTick();
  EXPECT_EQ(observer.rows, std::vector<int>{job->JobId()});
  manager().SetObserver(nullptr);
}

TEST_F(JobManagerTest, KillAllLogsEachJobAndStopsThoseRunning) {
  StartSystem(2);
  auto a = AddJob("alpha", BlockOnGate);
  auto b = AddJob("beta", BlockOnGate);
  FirstTick();
  Tick(3);
  ASSERT_TRUE(WaitFor([&] { return a->entered.load() == 1 && b->entered.load() == 1; }));
  testing::internal::CaptureStderr();
  manager().KillAll(0);
  const std::string written = testing::internal::GetCapturedStderr();
  EXPECT_NE(written.find("terminate orphan alpha\n"), std::string::npos);
  EXPECT_NE(written.find("terminate orphan beta\n"), std::string::npos);
  EXPECT_TRUE(a->StopRequested());
  EXPECT_TRUE(b->StopRequested());
  a->gate.Open();
  b->gate.Open();
  ASSERT_TRUE(WaitFor([&] { return manager().JobCount() == 0; }));
}

}  // namespace
}  // namespace tulix
