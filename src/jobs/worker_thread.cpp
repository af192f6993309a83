#include "jobs/worker_thread.h"

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <system_error>

#include "base/log.h"
#include "jobs/job.h"

namespace tulix {

namespace {

thread_local CWorkerThread* t_currentWorker = nullptr;

// The system's error for a thread that cannot be made (not enough resources).
constexpr uint32_t kErrorNotEnoughMemory = 8;

}  // namespace

// The state shared between the object and its system thread.
struct CWorkerThread::Control {
  mutable std::mutex mutex;
  std::condition_variable changed;  // suspend count, termination, go, end
  uint32_t suspendCount = 0;
  bool terminated = false;
  bool ended = false;
  bool parked = false;
  uint32_t exitCode = 0;
  int priority = kPriorityNormal;
  EntryRoutine entry = nullptr;
  std::function<void()>* abort = nullptr;  // of the AbortableWait the thread is in
  std::shared_ptr<CJob> job;
  WindowHandle notifyWindow;
};

CWorkerThread::CWorkerThread(CThreadPool* pool)
    : m_pool(pool), m_control(std::make_unique<Control>()) {}

CWorkerThread::~CWorkerThread() {
  Terminate(0);
  Join();
}

void CWorkerThread::Create(uint32_t flags, size_t stackSize, const void* security) {
  (void)stackSize;
  (void)security;
  {
    std::lock_guard<std::mutex> lock(m_control->mutex);
    m_control->suspendCount = (flags & kCreateSuspended) ? 1 : 0;
  }
  try {
    m_thread = std::thread([this] { ThreadMain(); });
  } catch (const std::system_error& error) {
    uint32_t code = error.code().value() != 0 ? static_cast<uint32_t>(error.code().value())
                                              : kErrorNotEnoughMemory;
    CreationFailed(code);
    RaiseError(code);
  }
  CreateHandle();
}

void CWorkerThread::SetEntryRoutine(EntryRoutine routine) {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  m_control->entry = routine;
}

void CWorkerThread::ThreadMain() {
  t_currentWorker = this;
  try {
    Park();
    EntryRoutine entry;
    {
      std::lock_guard<std::mutex> lock(m_control->mutex);
      entry = m_control->entry;
    }
    if (entry != nullptr) {
      entry(*this);
    }
  } catch (const WorkerTerminated&) {
    // The normal end of a terminated thread.
  } catch (...) {
    // Nothing may leave a thread; the entry routine catches what it can report.
  }
  t_currentWorker = nullptr;
  std::lock_guard<std::mutex> lock(m_control->mutex);
  m_control->ended = true;
  m_control->changed.notify_all();
}

uint32_t CWorkerThread::Suspend() {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  if (m_control->ended || m_control->terminated || !m_thread.joinable()) {
    return kFailed;
  }
  return m_control->suspendCount++;
}

uint32_t CWorkerThread::ResumeOnce() {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  if (m_control->ended || m_control->terminated || !m_thread.joinable()) {
    return kFailed;
  }
  uint32_t previous = m_control->suspendCount;
  if (previous > 0 && --m_control->suspendCount == 0) {
    m_control->changed.notify_all();
  }
  return previous;
}

uint32_t CWorkerThread::Resume(bool force) {
  uint32_t previous = ResumeOnce();
  if (!force || previous < 2 || previous == kFailed) {
    return previous;
  }
  LogMessage(0, kLogError, "thread suespended %d", static_cast<int>(previous));
  uint32_t result;
  do {
    result = ResumeOnce();
  } while (result > 1 && result != kFailed);
  return result;
}

bool CWorkerThread::Terminate(uint32_t exitCode) {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  if (m_control->ended || m_control->terminated) {
    return true;
  }
  m_control->terminated = true;
  m_control->exitCode = exitCode;
  if (m_control->abort != nullptr) {
    (*m_control->abort)();
  }
  m_control->changed.notify_all();
  return true;
}

bool CWorkerThread::GetExitCode(uint32_t& code) const {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  code = m_control->ended ? m_control->exitCode : kStillActive;
  return true;
}

bool CWorkerThread::SetPriority(int level) {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  m_control->priority = level;
  return true;
}

int CWorkerThread::GetPriority() const {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  return m_control->priority;
}

std::shared_ptr<CJob> CWorkerThread::Job() const {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  return m_control->job;
}

void CWorkerThread::SetJob(std::shared_ptr<CJob> job) {
  std::shared_ptr<CJob> old;
  {
    std::lock_guard<std::mutex> lock(m_control->mutex);
    old = std::exchange(m_control->job, std::move(job));
  }
  // `old` may be the last reference; its job is destroyed here, outside the lock.
}

void CWorkerThread::SetGo(bool go) {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  m_go.store(go);
  m_control->changed.notify_all();
}

WindowHandle CWorkerThread::NotifyWindow() const {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  return m_control->notifyWindow;
}

void CWorkerThread::SetNotifyWindow(WindowHandle window) {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  m_control->notifyWindow = window;
}

bool CWorkerThread::IsTerminated() const {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  return m_control->terminated;
}

bool CWorkerThread::HasEnded() const {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  return m_control->ended;
}

uint32_t CWorkerThread::SuspendCount() const {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  return m_control->suspendCount;
}

bool CWorkerThread::IsParked() const {
  std::lock_guard<std::mutex> lock(m_control->mutex);
  return m_control->parked;
}

void CWorkerThread::Join() {
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
    m_thread.join();
  }
}

void CWorkerThread::Park() {
  assert(t_currentWorker == this);
  std::unique_lock<std::mutex> lock(m_control->mutex);
  while (m_control->suspendCount > 0 && !m_control->terminated) {
    m_control->parked = true;
    m_control->changed.wait(lock);
  }
  m_control->parked = false;
  if (m_control->terminated) {
    throw WorkerTerminated{};
  }
}

void CWorkerThread::SuspendSelf() {
  assert(t_currentWorker == this);
  std::lock_guard<std::mutex> lock(m_control->mutex);
  ++m_control->suspendCount;
}

void CWorkerThread::WaitForGo(const std::atomic<bool>& exiting) {
  assert(t_currentWorker == this);
  std::unique_lock<std::mutex> lock(m_control->mutex);
  while (!m_go.load() && !m_control->terminated && !exiting.load()) {
    m_control->changed.wait_for(lock, std::chrono::seconds(1));
  }
  if (m_control->terminated) {
    throw WorkerTerminated{};
  }
}

void CWorkerThread::ThrowIfTerminated() const {
  if (IsTerminated()) {
    throw WorkerTerminated{};
  }
}

CWorkerThread* CWorkerThread::Current() {
  return t_currentWorker;
}

void ThrowIfCurrentWorkerTerminated() {
  if (CWorkerThread* worker = CWorkerThread::Current()) {
    worker->ThrowIfTerminated();
  }
}

AbortableWait::AbortableWait(std::function<void()> abort)
    : m_worker(CWorkerThread::Current()), m_abort(std::move(abort)) {
  if (m_worker == nullptr) {
    return;
  }
  CWorkerThread::Control& control = *m_worker->m_control;
  std::lock_guard<std::mutex> lock(control.mutex);
  m_previous = std::exchange(control.abort, &m_abort);
  if (control.terminated) {
    m_abort();
  }
}

AbortableWait::~AbortableWait() {
  if (m_worker == nullptr) {
    return;
  }
  CWorkerThread::Control& control = *m_worker->m_control;
  std::lock_guard<std::mutex> lock(control.mutex);
  control.abort = m_previous;
}

}  // namespace tulix
