#include "jobs/dispatcher.h"

#include "base/log.h"
#include "jobs/job.h"
#include "jobs/job_manager.h"
#include "jobs/mcl_sync.h"
#include "jobs/run_queue.h"
#include "jobs/thread_pool.h"
#include "jobs/worker_thread.h"
#include "platform/trace.h"

namespace tulix {

namespace {

// Values of the start-up check that are not a priority.
constexpr int kCheckNoWorker = -100;
constexpr int kCheckStillSuspended = -200;

// How long an idle dispatcher waits for a job before it looks at the exiting flag again (it is
// woken at once by a queued job or by the exiting flag, so this only bounds a missed wake-up).
constexpr std::chrono::milliseconds kIdleWait(1000);

// Step 4 of StartJob: suspend the worker and resume it, to see that it runs with the job's
// priority. A worker that was found suspended while it still had its job to run did not start;
// one that has already run its job to the end and parked (go cleared) started fine.
int StartupCheck(CWorkerThread* worker) {
  if (worker == nullptr) {
    return kCheckNoWorker;
  }
  const uint32_t previous = worker->Suspend();
  if (previous == CWorkerThread::kFailed) {
    return worker->GetPriority();
  }
  const bool notStarted = previous > 0 && worker->Go();
  worker->Resume(false);
  return notStarted ? kCheckStillSuspended : worker->GetPriority();
}

void RunLinkedJob(CWorkerThread& worker) {
  Trace("thread wrapper\n");
  std::shared_ptr<CJob> job = worker.Job();
  if (!job) {
    return;
  }
  job->SetState(kStateStarted);
  try {
    if (CJob::WorkRoutine routine = job->Routine()) {
      routine(*job->RoutineArgument());
    }
  } catch (...) {
    // A terminated thread leaves at once and never touches its job again.
    worker.ThrowIfTerminated();
    try {
      LogMessage(kLogStatusBar, kLogError, "Thread exception: %s:%s (do_thread)",
                 job->GetName().c_str(), job->GetStateText().c_str());
      job->PostFinished(kResultFailure);
    } catch (const WorkerTerminated&) {
      throw;
    } catch (...) {
      LogMessage(kLogStatusBar, kLogError, "Thread exception:invalid job");
    }
  }
  // The local reference goes here, before the hand-back: the worker's job link keeps the job
  // until the main thread has handled the released message, so the job is normally destroyed on
  // the main thread.
}

}  // namespace

Dispatcher::Dispatcher(RunQueue& queue, CJobManager& manager, CThreadPool& pool,
                       std::chrono::milliseconds pause)
    : m_queue(queue), m_manager(manager), m_pool(pool), m_pause(pause) {}

Dispatcher::~Dispatcher() {
  if (m_thread.joinable()) {
    m_queue.SetExiting();
    Join();
  }
}

void Dispatcher::Start() {
  m_thread = std::thread([this] { Run(); });
}

void Dispatcher::Join() {
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

bool Dispatcher::DispatchOne() {
  CMclAutoLock lock(JobQueueLock());
  if (m_queue.QueuedCount() == 0) {
    return false;
  }
  std::shared_ptr<CJob> job = m_queue.DequeueJob(m_manager);
  if (job) {
    if (!job->HasThread()) {
      StartJob(job, m_pool, m_manager);
    } else {
      LogMessage(kLogStatusBar, kLogWarning, "Queued task %s already running",
                 job->GetName().c_str());
    }
  }
  return true;
}

void Dispatcher::Run() {
  while (!m_queue.Exiting()) {
    bool dequeued;
    {
      CMclAutoLock lock(JobQueueLock());
      if (m_queue.Exiting()) {
        return;
      }
      dequeued = DispatchOne();
    }
    if (dequeued) {
      m_queue.Pause(m_pause);
    } else {
      m_queue.WaitForJob(kIdleWait);
    }
  }
}

void StartJob(const std::shared_ptr<CJob>& job, CThreadPool& pool, const CJobManager& manager) {
  Trace("OnThreadStarted in\n");
  CMclAutoLock lock(JobQueueLock());
  CWorkerThread* worker = pool.GetThread();
  job->SetThread(worker);
  worker->SetJob(job);
  worker->SetEntryRoutine(&WorkerLoop);
  worker->SetNotifyWindow(job->NotifyWindow());

  if (manager.IndexOf(job.get()) < 0 || job->Running() == kJobQueued) {
    job->SetRunning(kJobRunning);
    worker->SetGo(true);
    worker->SetPriority(job->priority.load());
    Trace("Thread priority set to %d\n", job->priority.load());
    uint32_t resumed = worker->Resume(true);
    Trace("Thread resumed from %d\n", static_cast<int>(resumed));
  } else {
    LogMessage(kLogStatusBar, kLogError,
               "Trying to start a deleted job that is still in the job list");
    // The worker never ran anything; it goes back to the pool instead of waiting for ever.
    job->SetThread(nullptr);
    worker->SetJob(nullptr);
    pool.RemoveRunning(worker);
    pool.AddAvailable(worker);
    worker = nullptr;
  }

  const int check = StartupCheck(worker);
  if (check != job->priority.load()) {
    LogMessage(kLogStatusBar, kLogError, "Problem starting job (%d) %s ", check,
               job->GetDescription().c_str());
  }
  // A quick job may already have moved on (even finished) on its worker; its later state stays.
  if (job->State() < kStateStarted) {
    job->SetState(kStateStarted);
  }
  Trace("OnThreadStarted out\n");
}

void WorkerLoop(CWorkerThread& worker) {
  CThreadPool& pool = *worker.Pool();
  const std::atomic<bool>& exiting = pool.ExitingFlag();
  bool releasePosted = false;
  try {
    while (!exiting.load()) {
      releasePosted = false;
      RunLinkedJob(worker);
      worker.ThrowIfTerminated();
      worker.SetGo(false);
      releasePosted = true;  // Release posts before anything in it can throw
      pool.Release(&worker);
      worker.WaitForGo(exiting);
    }
  } catch (const WorkerTerminated&) {
    // A terminated worker still tells the main thread it is done with its job, so the job's
    // links are cleared and the job is deleted; the worker itself is never filed again.
    if (!releasePosted) {
      PostMessage(worker.NotifyWindow(), kMsgWorkerReleased, 0,
                  static_cast<intptr_t>(worker.GetHandle()));
    }
    throw;
  }
}

}  // namespace tulix
