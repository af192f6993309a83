#include "jobs/job.h"

#include <cstdio>

#include "base/application.h"
#include "base/log.h"
#include "jobs/job_manager.h"
#include "jobs/run_queue.h"
#include "jobs/thread_pool.h"
#include "jobs/worker_thread.h"
#include "platform/clock.h"

namespace tulix {

namespace {

std::atomic<int> g_lastJobId{0};
std::atomic<bool> g_libraryStates{false};

constexpr const char* kStateNames[] = {
    "Unset",        "Queuing",      "Queued",         "Starting",
    "Started",      "Connection",   "Connected",      "Reading XOver News",
    "Reading News", "Reading Page", "Reading Forums", "Read Page",
    "Parsing Page", "Parsed Page",  "Finished",
};

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) {
    return {};
  }
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

}  // namespace

void UseBrowserLibraryJobStates(bool use) {
  g_libraryStates.store(use);
}

bool UsesBrowserLibraryJobStates() {
  return g_libraryStates.load();
}

int FinishedState() {
  return UsesBrowserLibraryJobStates() ? kLibraryStateFinished : kStateFinished;
}

const char* JobStateName(int state) {
  if (UsesBrowserLibraryJobStates()) {
    if (state == kLibraryStateFormatResult) {
      return "Format Result";
    }
    if (state == kLibraryStateFinished) {
      return "Finished";
    }
  }
  if (state < 0 || state > kStateFinished) {
    return nullptr;
  }
  return kStateNames[state];
}

const char* CTaskException::what() const noexcept {
  return m_kind == 0 ? "task stop requested" : "task no longer running";
}

CJob::CJob() : m_jobId(++g_lastJobId), m_stateTime(GetClock().Now()) {}

CJob::~CJob() {
  // The job list and the orphan list hold shared_ptrs, so a job being destroyed is in neither;
  // the marker is still set for anyone who kept a plain pointer to look at.
  m_running.store(kJobDestroyed);
}

void CJob::ResetWait() {
  wait = 0;
}

std::string CJob::GetBlockReason() const {
  return "unknown";
}

std::string CJob::GetTaskStatus() const {
  if (HasThread()) {
    return "Running";
  }
  if (IsActive()) {
    return "Queued";
  }
  if (IsRunnable()) {
    return "Pending";
  }
  return "Blocked (" + GetBlockReason() + ")";
}

std::string CJob::GetWaitText() const {
  return std::to_string(wait - waitThreshold);
}

std::string CJob::GetName() const {
  return "Unknown";
}

void CJob::OnRemoved(int code) {
  (void)code;
}

bool CJob::KeepWhenIdle() const {
  return true;
}

bool CJob::IsRunnable() const {
  return true;
}

bool CJob::IsQuick() const {
  return false;
}

bool CJob::UpgradesCategory(const std::string& categoryName) const {
  (void)categoryName;
  return false;
}

bool CJob::IsFamilySafe() const {
  return true;
}

void CJob::Submit() {
  App().runQueue->QueueJob(shared_from_this());
}

void CJob::Stop(int how) {
  App().runQueue->RemoveFromQueue(*this);
  if (how == 1) {
    if (CWorkerThread* thread = Thread()) {
      thread->Terminate(0);
      if (CThreadPool* pool = thread->Pool()) {
        pool->RemoveRunning(thread);
      }
    } else {
      LogMessage(kLogStatusBar, kLogWarning, "Missing thread");
    }
  }
  if (HasThread()) {
    RequestStop();
  }
}

void CJob::Kill(int how) {
  try {
    if (HasThread() && Running() != kJobDone) {
      Stop(how);
      if (how == 2) {
        Kill(0);
        orphan.store(true);
        App().runQueue->AddOrphan(shared_from_this());
        App().jobManager->DetachOrDelete(*this);
      }
    }
  } catch (...) {
    LogMessage(kLogStatusBar, kLogError, "Problem stopping task (exception)");
  }
}

int CJob::Start(WindowHandle notifyWindow) {
  (void)notifyWindow;
  return 2;
}

void CJob::OnFinished(int code) {
  if (code == kResultSuccess) {
    ++successes;
    failures = 0;
  } else {
    ++failures;
  }
  m_running.store(kJobDone);
  ResetWait();
  if (runsRemaining > 0) {
    --runsRemaining;
  }
  if (HasThread()) {
    RequestStop();
  }
}

int CJob::GetResultCount() const {
  return 0;
}

int CJob::GetDesiredResultCount() const {
  return 0;
}

void CJob::SetStatusText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  ShowStatusText(text);
}

void CJob::ShowStatusText(const std::string& text) {
  (void)text;
}

std::string CJob::GetStateText() const {
  const int state = State();
  const char* name = JobStateName(state);
  std::string text = name != nullptr ? name : std::to_string(state);
  return text + " (" + std::to_string(StateTag()) + ")";
}

std::string CJob::GetDescription() const {
  return GetName() + " (" + GetStateText() + ")";
}

void CJob::Init(WorkRoutine routine) {
  m_stopRequested.store(false);
  m_routineArgument = this;
  m_workRoutine = routine;
  m_thread.store(nullptr);
  SetState(kStateQueued);
}

void CJob::SetState(int state, int tag) {
  // A terminated worker must never change its job again.
  ThrowIfCurrentWorkerTerminated();
  m_state.store(state);
  m_stateTag.store(tag);
  m_stateTime.store(GetClock().Now());
}

void CJob::PostFinished(int code) {
  ThrowIfCurrentWorkerTerminated();
  m_running.store(kJobFinished);
  PostMessage(m_notifyWindow, kMsgJobFinished, code, m_jobId);
  SetState(FinishedState());
}

void CJob::CheckStop() {
  if (CWorkerThread* worker = CWorkerThread::Current()) {
    worker->Park();  // a suspended worker waits here; a terminated one unwinds
  }
  if (HasThread() && StopRequested()) {
    throw CTaskException(m_jobId, 0);
  }
  if (Running() != kJobRunning) {
    throw CTaskException(m_jobId, 1);
  }
}

bool CJob::ShouldIgnore() const {
  const int32_t marker = Running();
  return orphan.load() || (HasThread() && StopRequested()) ||
         (marker != kJobRunning && marker != kJobFinished);
}

void CJob::PostReport(uint32_t message, intptr_t wParam) {
  ThrowIfCurrentWorkerTerminated();
  PostMessage(m_notifyWindow, message, wParam, m_jobId);
}

void CJob::PostUpdatingEngine(const std::string& path) {
  ThrowIfCurrentWorkerTerminated();
  intptr_t key;
  {
    std::lock_guard<std::mutex> lock(m_textsMutex);
    key = m_nextTextKey++;
    m_postedTexts[key] = path;
  }
  if (!PostMessage(m_notifyWindow, kMsgUpdatingEngine, key, m_jobId)) {
    TakePostedText(key);
  }
}

std::string CJob::TakePostedText(intptr_t key) {
  std::lock_guard<std::mutex> lock(m_textsMutex);
  auto it = m_postedTexts.find(key);
  if (it == m_postedTexts.end()) {
    return {};
  }
  std::string text = std::move(it->second);
  m_postedTexts.erase(it);
  return text;
}

bool CJob::IsActive() const {
  const int32_t marker = Running();
  return marker == kJobRunning || marker == kJobQueued;
}

bool IsValidJob(const CJob* job) {
  if (job == nullptr) {
    return false;
  }
  switch (job->Running()) {
    case kJobIdle:
    case kJobRunning:
    case kJobFinished:
    case kJobQueued:
    case kJobDone:
      return true;
    default:
      return false;
  }
}

}  // namespace tulix
