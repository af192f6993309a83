#include "jobs/run_queue.h"

#include <algorithm>

#include "base/log.h"
#include "jobs/job.h"
#include "jobs/job_manager.h"
#include "jobs/mcl_sync.h"

namespace tulix {

void RunQueue::QueueJob(const std::shared_ptr<CJob>& job) {
  bool already;
  {
    CMclAutoLock lock(JobQueueLock());
    already = std::find(m_queue.begin(), m_queue.end(), job) != m_queue.end();
    if (!already) {
      m_queue.push_back(job);
      m_queuedCount.store(m_queue.size());
      job->SetRunning(kJobQueued);
    }
  }
  if (already) {
    LogMessage(kLogStatusBar, kLogWarning, "Task %s already in queue", job->GetName().c_str());
  } else {
    Wake();
  }
}

std::shared_ptr<CJob> RunQueue::DequeueJob(const CJobManager& manager) {
  CMclAutoLock lock(JobQueueLock());
  if (m_queue.empty()) {
    return nullptr;
  }
  std::shared_ptr<CJob> job = std::move(m_queue.back());
  m_queue.pop_back();
  m_queuedCount.store(m_queue.size());
  if (manager.IndexOf(job.get()) < 0) {
    return nullptr;
  }
  return job;
}

void RunQueue::RemoveFromQueue(const CJob& job) {
  std::shared_ptr<CJob> removed;  // released after the lock, in case it is the last owner
  CMclAutoLock lock(JobQueueLock());
  auto it =
      std::find_if(m_queue.begin(), m_queue.end(),
                   [&job](const std::shared_ptr<CJob>& queued) { return queued.get() == &job; });
  if (it != m_queue.end()) {
    removed = std::move(*it);
    m_queue.erase(it);
    m_queuedCount.store(m_queue.size());
    removed->SetRunning(kJobIdle);
  }
}

bool RunQueue::IsQueued(const CJob& job) const {
  CMclAutoLock lock(JobQueueLock());
  return std::any_of(m_queue.begin(), m_queue.end(),
                     [&job](const std::shared_ptr<CJob>& queued) { return queued.get() == &job; });
}

size_t RunQueue::QueuedCount() const {
  return m_queuedCount.load();
}

void RunQueue::WaitForJob(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_wakeMutex);
  m_wake.wait_for(lock, timeout, [this] { return m_queuedCount.load() > 0 || Exiting(); });
}

void RunQueue::Pause(std::chrono::milliseconds pause) {
  if (pause.count() <= 0) {
    return;
  }
  std::unique_lock<std::mutex> lock(m_wakeMutex);
  m_wake.wait_for(lock, pause, [this] { return Exiting(); });
}

void RunQueue::Wake() {
  // Taking the mutex orders this wake-up after a waiter's check of the predicate.
  { std::lock_guard<std::mutex> lock(m_wakeMutex); }
  m_wake.notify_all();
}

void RunQueue::AddOrphan(std::shared_ptr<CJob> job) {
  if (!IsOrphan(*job)) {
    m_orphans.push_back(std::move(job));
  }
}

bool RunQueue::RemoveOrphan(const CJob& job) {
  auto it = std::find_if(m_orphans.begin(), m_orphans.end(),
                         [&job](const std::shared_ptr<CJob>& o) { return o.get() == &job; });
  if (it == m_orphans.end()) {
    return false;
  }
  std::shared_ptr<CJob> removed = std::move(*it);
  m_orphans.erase(it);
  return true;
}

std::shared_ptr<CJob> RunQueue::FindOrphan(int jobId) const {
  for (const auto& job : m_orphans) {
    if (job->JobId() == jobId) {
      return job;
    }
  }
  return nullptr;
}

bool RunQueue::IsOrphan(const CJob& job) const {
  return std::any_of(m_orphans.begin(), m_orphans.end(),
                     [&job](const std::shared_ptr<CJob>& o) { return o.get() == &job; });
}

void RunQueue::SetExiting() {
  m_exiting.store(true);
  Wake();
}

}  // namespace tulix
