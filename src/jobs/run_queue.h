// The application-level job data that the job manager, the dispatcher and the jobs share: the run
// queue (jobs waiting for the dispatcher to give them a worker), the orphan list (jobs whose
// owner gave them up while they ran, kept until their result arrives) and the exiting flag.
// Held by the application object.
//
// Ownership: both lists hold shared_ptrs; an orphan is freed when it leaves the orphan list and
// its worker has let it go.
//
// Thread safety: the run queue is guarded by the job-queue lock (each method takes it; the
// dispatcher holds it around DequeueJob). The orphan list belongs to the main thread. The
// exiting flag may be read and set from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace tulix {

class CJob;
class CJobManager;

class RunQueue {
 public:
  RunQueue() = default;
  RunQueue(const RunQueue&) = delete;
  RunQueue& operator=(const RunQueue&) = delete;

  // Main thread. Appends the job and marks it queued; a job already in the queue is logged
  // ("Task %s already in queue") and stays queued once.
  void QueueJob(const std::shared_ptr<CJob>& job);
  // Dispatcher, with the job-queue lock held. Takes the most recently queued job off the queue
  // and returns it if it is still in the manager's job list; null otherwise.
  std::shared_ptr<CJob> DequeueJob(const CJobManager& manager);
  // Takes the job out of the queue (marker idle) if it is there.
  void RemoveFromQueue(const CJob& job);
  bool IsQueued(const CJob& job) const;
  size_t QueuedCount() const;

  // Dispatcher: waits until the queue holds a job, the program is exiting or `timeout` passed.
  void WaitForJob(std::chrono::milliseconds timeout);
  // Dispatcher: waits `pause`, cut short when the program starts exiting.
  void Pause(std::chrono::milliseconds pause);

  // Orphans (main thread).
  void AddOrphan(std::shared_ptr<CJob> job);
  // False when the job was not in the list.
  bool RemoveOrphan(const CJob& job);
  std::shared_ptr<CJob> FindOrphan(int jobId) const;
  bool IsOrphan(const CJob& job) const;
  size_t OrphanCount() const { return m_orphans.size(); }

  // Set once, when the program shuts down; wakes a waiting dispatcher.
  void SetExiting();
  bool Exiting() const { return m_exiting.load(); }
  const std::atomic<bool>& ExitingFlag() const { return m_exiting; }

 private:
  void Wake();

  std::vector<std::shared_ptr<CJob>> m_queue;    // guarded by JobQueueLock()
  std::vector<std::shared_ptr<CJob>> m_orphans;  // main thread only
  std::atomic<bool> m_exiting{false};
  std::atomic<size_t> m_queuedCount{0};  // m_queue.size(), readable without the lock

  // Only for waking the dispatcher; the queue itself is under the job-queue lock.
  std::mutex m_wakeMutex;
  std::condition_variable m_wake;
};

}  // namespace tulix
