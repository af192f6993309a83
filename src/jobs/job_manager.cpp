#include "jobs/job_manager.h"

#include <algorithm>

#include "base/application.h"
#include "base/log.h"
#include "jobs/job.h"
#include "jobs/mcl_sync.h"
#include "jobs/run_queue.h"
#include "jobs/thread_pool.h"
#include "jobs/worker_thread.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace tulix {

namespace {

constexpr int kAgeingTicks = 120;     // once a minute at 500 ms a tick
constexpr int kStallCheckTicks = 13;  // about every 6.5 s
constexpr int64_t kStalledMinutes = 100;
constexpr int64_t kDeadMinutes = 150;

// The status text for a result code; null for a code no job should post.
const char* FinishedText(int code) {
  switch (code) {
    case kResultSuccess:
      return "COMPLETE - Success";
    case kResultFailure:
      return "COMPLETE - Failure";
    case kResultNoPostsParsed:
      return "no posts parsed  - Failure";
    case kResultNoPostsSuspected:
      return "no posts suspected  - Failure";
    case kResultGroupNotFound:
      return "group not found  - Failure";
    default:
      return nullptr;
  }
}

// How strongly a job claims to be started next: 0 while it is active, else its wait above its
// threshold (negative below it).
int WaitScore(const CJob& job) {
  return job.IsActive() ? 0 : job.wait - job.waitThreshold;
}

}  // namespace

CJobManager::CJobManager(EventLoop& loop, RunQueue& queue, CThreadPool& pool,
                         JobManagerOptions options)
    : m_loop(loop), m_queue(queue), m_pool(pool), m_options(options) {
  m_target = m_loop.Register(this);
}

CJobManager::~CJobManager() {
  m_loop.Unregister(m_target);
  CMclAutoLock lock(JobQueueLock());
  m_pending.reset();
  m_jobs.clear();
}

void CJobManager::StartTimer() {
  if (m_timerStarted) {
    return;
  }
  m_timerStarted = true;
  m_loop.SetTimer(m_target, kTimerId, m_options.firstTickMs);
}

void CJobManager::AddJob(std::shared_ptr<CJob> job) {
  CMclAutoLock lock(JobQueueLock());
  m_jobs.push_back(std::move(job));
}

int CJobManager::IndexOf(const CJob* job) const {
  for (size_t i = 0; i < m_jobs.size(); ++i) {
    if (m_jobs[i].get() == job) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::shared_ptr<CJob> CJobManager::FindById(int jobId) const {
  for (const auto& job : m_jobs) {
    if (job->JobId() == jobId) {
      return job;
    }
  }
  return nullptr;
}

void CJobManager::DeleteJob(int index) {
  std::shared_ptr<CJob> job;  // the last owner, if any, is dropped after the lock
  CMclAutoLock lock(JobQueueLock());
  if (index < 0 || index >= static_cast<int>(m_jobs.size())) {
    return;
  }
  job = m_jobs[static_cast<size_t>(index)];
  m_queue.RemoveFromQueue(*job);
  if (m_pending == job) {
    m_pending.reset();
  }
  job->SetRunning(kJobIdle);
  m_jobs.erase(m_jobs.begin() + index);
  // A job started but not yet taken by a worker holds a slot; nothing would ever give it back
  // once the job is gone, and MaxTasks would shrink for the rest of the run.
  GiveBackSlot(*job);
  Trace("delete job\n");
}

std::shared_ptr<CJob> CJobManager::DetachJob(int index) {
  CMclAutoLock lock(JobQueueLock());
  if (index < 0 || index >= static_cast<int>(m_jobs.size())) {
    return nullptr;
  }
  std::shared_ptr<CJob> job = m_jobs[static_cast<size_t>(index)];
  if (m_pending == job) {
    m_pending.reset();
  }
  m_queue.RemoveFromQueue(*job);
  m_jobs.erase(m_jobs.begin() + index);
  return job;
}

void CJobManager::DetachOrDelete(CJob& job) {
  const int index = IndexOf(&job);
  if (index < 0) {
    return;
  }
  if (!job.IsActive()) {
    DeleteJob(index);
  } else {
    DetachJob(index);
  }
}

void CJobManager::StopJob(CJob& job, int how) {
  if (job.HasThread()) {
    GiveBackSlot(job);
    job.Kill(how);
  }
}

void CJobManager::KillAll(int how) {
  // Killing with how 2 takes jobs out of the list, so walk a copy.
  const std::vector<std::shared_ptr<CJob>> jobs = m_jobs;
  for (const auto& job : jobs) {
    LogMessage(0, kLogPlain, "terminate orphan %s", job->GetName().c_str());
    job->Kill(how);
  }
}

void CJobManager::OnTimer(uint32_t timerId) {
  if (timerId == kTimerId) {
    OnTick();
  }
}

void CJobManager::OnTick() {
  if (m_queue.Exiting()) {
    m_loop.KillTimer(m_target, kTimerId);
    return;
  }
  ++m_tick;
  if (m_observer != nullptr) {
    m_observer->PruneTaskRows([this](int jobId) { return FindById(jobId) != nullptr; });
  }
  if (m_tick % kAgeingTicks == 0) {
    for (const auto& job : m_jobs) {
      ++job->wait;
    }
  }
  if (m_options.stallCheck && m_tick % kStallCheckTicks == 0) {
    RunStallCheck();
  }
  if (m_options.startAllDue) {
    // Choosing and starting take one call each; a job that refuses to start must not keep the
    // loop going, so it ends after two calls per listed job at most.
    for (size_t calls = 0; calls < 2 * m_jobs.size() + 2 && Schedule(); ++calls) {
    }
  } else {
    Schedule();
  }
  m_loop.SetTimer(m_target, kTimerId, m_options.tickMs);
}

bool CJobManager::Schedule() {
  if (m_pending) {
    std::shared_ptr<CJob> job = std::move(m_pending);
    m_pending.reset();
    StartLongJob(job);
    return true;
  }
  const int maxTasks = App().settings().MaxTasks;
  if (m_runningCount + ReturningWorkers() >= maxTasks) {
    return false;
  }
  std::shared_ptr<CJob> best;
  int bestScore = 0;
  for (const auto& job : m_jobs) {
    // A job whose worker is not back yet has just finished: choosing it again before its
    // worker lets go (and a delete-when-done job is deleted) would run it twice.
    if (job->IsActive() || job->IsQuick() || job->HasThread()) {
      continue;
    }
    const int score = WaitScore(*job);
    if (score > bestScore && job->IsRunnable()) {
      best = job;
      bestScore = score;
    }
  }
  if (!best) {
    return false;
  }
  best->SetStatusText("STARTING");
  m_pending = std::move(best);
  return true;
}

void CJobManager::StartLongJob(const std::shared_ptr<CJob>& job) {
  job->wait = 0;
  job->lastStart = GetClock().Now();
  job->SetStatusText("%s", "");
  Trace("really start task %s\n", job->GetName().c_str());
  const int started = job->Start(Window());
  if (started == 0) {
    LogMessage(kLogStatusBar, kLogError, "Failed to start long task");
    if (job->deleteWhenDone) {
      DeleteJob(IndexOf(job.get()));
    }
    return;
  }
  job->SetStatusText("STARTED");
  Trace("Queued Thread priority set to %d\n", job->priority.load());
  if (started != 2) {
    TakeSlot(*job);
  }
}

void CJobManager::RunStallCheck() {
  const int64_t now = GetClock().Now();
  for (CWorkerThread* worker : m_pool.all().Snapshot()) {
    std::shared_ptr<CJob> job = worker->Job();
    if (!job) {
      continue;
    }
    bool valid = false;
    bool dead;
    bool stalled;
    try {
      valid = IsValidJob(job.get());
      const int64_t minutes = (now - job->StateTime()) / 60;
      dead = !valid || (job->StopRequested() && minutes > kDeadMinutes);
      stalled = !valid || minutes > kStalledMinutes;
    } catch (...) {
      dead = true;
      stalled = true;
    }
    if (!dead && !stalled) {
      continue;
    }
    if (!valid) {
      LogMessage(kLogStatusBar, kLogError, "Suspending invalid job thread");
      worker->Suspend();
      worker->SetJob(nullptr);
      worker->SetAbandoned(true);
    } else if (dead) {
      LogMessage(kLogStatusBar, kLogError, "Terminating dead job %s", job->GetName().c_str());
      job->Kill(1);
      job->SetThread(nullptr);
      worker->SetJob(nullptr);
      FinishDeadJob(job);
    } else {
      LogMessage(kLogStatusBar, kLogError, "Signalling stalled job %s", job->GetName().c_str());
      job->RequestStop();
    }
  }
}

void CJobManager::FinishDeadJob(const std::shared_ptr<CJob>& job) {
  Trace("OnThreadFinishedTimeout in\n");
  GiveBackSlot(*job);
  m_returning.erase(job->JobId());
  if (job->Running() == kJobRunning) {
    job->result = kResultFailure;
    job->SetStatusText("%s", FinishedText(kResultFailure));
    job->OnFinished(kResultFailure);
  }
  if (job->deleteWhenDone) {
    DeleteJob(IndexOf(job.get()));
  }
  Trace("OnThreadFinishedTimeout out\n");
}

void CJobManager::OnMessage(uint32_t message, intptr_t wParam, intptr_t lParam) {
  const int jobId = static_cast<int>(lParam);
  switch (message) {
    case kMsgJobFinished:
      OnJobFinished(static_cast<int>(wParam), jobId);
      break;
    case kMsgJobConnected:
      OnJobConnected(jobId);
      break;
    case kMsgSearchProgress:
      OnSearchProgressMessage(static_cast<int>(wParam), jobId);
      break;
    case kMsgUpdatingEngine:
      OnUpdatingEngine(wParam, jobId);
      break;
    case kMsgUpdateNotice:
      OnUpdateNotice(static_cast<int>(wParam));
      break;
    case kMsgWorkerReleased:
      OnWorkerReleased(static_cast<uintptr_t>(lParam));
      break;
    default:
      break;
  }
}

std::shared_ptr<CJob> CJobManager::FindForMessage(int jobId) const {
  if (std::shared_ptr<CJob> job = FindById(jobId)) {
    return job;
  }
  if (std::shared_ptr<CJob> job = m_queue.FindOrphan(jobId)) {
    return job;
  }
  // A job taken out of the list while it still runs is known to its worker.
  for (CWorkerThread* worker : m_pool.all().Snapshot()) {
    std::shared_ptr<CJob> job = worker->Job();
    if (job && job->JobId() == jobId) {
      return job;
    }
  }
  return nullptr;
}

void CJobManager::OnJobFinished(int code, int jobId) {
  Trace("OnThreadFinished in\n");
  std::shared_ptr<CJob> job = FindForMessage(jobId);
  if (!job) {
    Trace("finished message for job %d, which has gone\n", jobId);
    return;
  }
  int step = 0;
  try {
    step = 1;
    if (job->Running() != kJobFinished) {
      LogMessage(kLogStatusBar, kLogPlain,
                 "Task %s has posted finished but has bad m_running status %d",
                 job->GetName().c_str(), static_cast<int>(job->Running()));
      return;
    }
    step = 2;
    if (job->orphan.load()) {
      Trace("OnThreadFinishedCancelled in\n");
      LogMessage(kLogStatusBar, kLogPlain, "Task %s is orphan", job->GetName().c_str());
      // Its routine has ended and its worker is on its way back to the pool: ending that worker
      // now would only throw away a thread that is about to be reused.
      m_queue.RemoveOrphan(*job);
      DetachOrDelete(*job);
      Trace("OnThreadFinishedCancelled out\n");
      return;
    }
    step = 3;
    job->result = code;
    const char* text = FinishedText(code);
    if (text == nullptr) {
      LogMessage(kLogStatusBar, kLogError, "Bad thread code %d", code);
      return;
    }
    job->SetStatusText("%s", text);
    step = 4;
    job->OnFinished(code);
    if (GiveBackSlot(*job) && job->HasThread()) {
      m_returning.insert(job->JobId());
    }
  } catch (...) {
    LogMessage(kLogStatusBar, kLogError, "Internal Error on (thread finished) message %d", step);
    try {
      job->OnFinished(code);
    } catch (...) {
      LogMessage(kLogStatusBar, kLogError, "Unable to signal task");
    }
    GiveBackSlot(*job);
  }
  Trace("On Thread Finished out\n");
}

void CJobManager::OnJobConnected(int jobId) {
  try {
    std::shared_ptr<CJob> job = FindForMessage(jobId);
    if (job && !job->ShouldIgnore()) {
      job->SetStatusText("CONNECTED");
    }
  } catch (...) {
    Trace("exception in the job-connected handler\n");
  }
}

void CJobManager::OnSearchProgressMessage(int page, int jobId) {
  try {
    std::shared_ptr<CJob> job = FindForMessage(jobId);
    if (!job || job->StopRequested()) {
      return;
    }
    job->SetStatusText("%d of %d desired results (Page %d)", job->GetResultCount(),
                       job->GetDesiredResultCount(), page);
    CMclAutoLock lock(JobQueueLock());
    if (m_observer != nullptr) {
      m_observer->OnSearchProgress(*job);
    }
  } catch (...) {
    Trace("exception in the search-progress handler\n");
  }
}

void CJobManager::OnUpdatingEngine(intptr_t key, int jobId) {
  try {
    if (std::shared_ptr<CJob> job = FindForMessage(jobId)) {
      const std::string path = job->TakePostedText(key);
      job->SetStatusText("Updating engine: %s", path.c_str());
    }
  } catch (...) {
    Trace("exception in the updating-engine handler\n");
  }
}

void CJobManager::OnUpdateNotice(int notice) {
  if (App().updateNoticeShown) {
    return;
  }
  App().updateNoticeShown = true;
  if (notice == 1) {
    LogMessage(kLogStatusBar | kLogMessageBox, kLogPlain,
               "An Update of Tulix is now available for download.");
  } else if (notice == 2) {
    LogMessage(kLogStatusBar | kLogMessageBox, kLogPlain,
               "Tulix must be updated to receive new search engines, please download from our "
               "web site.");
  }
}

void CJobManager::OnWorkerReleased(uintptr_t handle) {
  Trace("On Thread Release\n");
  CWorkerThread* worker = m_pool.FindByHandle(handle);
  if (worker == nullptr) {
    return;
  }
  try {
    if (std::shared_ptr<CJob> job = worker->Job()) {
      job->SetThread(nullptr);
      worker->SetJob(nullptr);
      m_returning.erase(job->JobId());
      // A job whose result was refused (bad code, bad marker, orphan) still held its slot.
      GiveBackSlot(*job);
      if (job->deleteWhenDone) {
        if (const int index = IndexOf(job.get()); index >= 0) {
          DeleteJob(index);
        }
      }
      // An orphan whose result was refused would otherwise stay in the orphan list for ever.
      m_queue.RemoveOrphan(*job);
    }
  } catch (...) {
    Trace("exception in the worker-released handler\n");
  }
  // A terminated worker has left its loop and is never handed out again: its thread is joined
  // and dropped, so the pool holds no more threads than jobs may run.
  if (worker->IsTerminated()) {
    m_pool.Retire(worker);
  } else {
    m_pool.AddAvailable(worker);
  }
}

void CJobManager::TakeSlot(const CJob& job) {
  if (m_slotHolders.insert(job.JobId()).second) {
    ++m_runningCount;
  }
}

bool CJobManager::GiveBackSlot(const CJob& job) {
  if (m_slotHolders.erase(job.JobId()) == 0) {
    return false;
  }
  --m_runningCount;
  return true;
}

}  // namespace tulix
