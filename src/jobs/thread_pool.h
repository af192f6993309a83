// The worker pool. Jobs never make threads: the dispatcher asks the pool for a worker, the worker
// hands itself back when its job has ended and stops (parks), and the main thread files it as
// available for the next job. Workers are made on demand, made suspended, and live as long as
// the pool, so the number of threads is the largest number of jobs that ever ran at once.
//
// Three lists: "all" (every worker ever made, never shrinks), "running" (workers assigned to a
// job) and "available" (parked workers without a job). Reuse is last-in first-out.
//
// Ownership: the pool owns its workers; the lists hold plain pointers to them. Destroying the
// pool (or Shutdown) terminates every worker and waits for its thread to end.
//
// Thread safety: every list operation takes the thread-list lock, one lock for the lists of
// every pool; a sequence of operations is not atomic (see GetThread). GetThread runs on the
// dispatcher under the job-queue lock, Release on the worker itself, AddAvailable on the main
// thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "jobs/worker_thread.h"

namespace tulix {

class CThreadList {
 public:
  explicit CThreadList(std::string name) : m_name(std::move(name)) {}
  CThreadList(const CThreadList&) = delete;
  CThreadList& operator=(const CThreadList&) = delete;

  void Add(CWorkerThread* thread);
  // Removes the first entry equal to `thread`; logs "Thread not found in %s" when there is none.
  void Remove(CWorkerThread* thread);
  // Throws std::out_of_range for an index outside the list.
  void RemoveAt(int index);
  int Find(const CWorkerThread* thread) const;  // index of the first equal entry, or -1
  int Count() const;
  int UpperBound() const { return Count() - 1; }
  // Throws std::out_of_range for an index outside the list.
  CWorkerThread* GetAt(int index) const;
  // A copy of the entries, taken under the lock.
  std::vector<CWorkerThread*> Snapshot() const;
  const std::string& Name() const { return m_name; }

 private:
  const std::string m_name;
  std::vector<CWorkerThread*> m_entries;  // guarded by ThreadListLock()
};

class CThreadPool {
 public:
  // `exiting` is the program's exiting flag, which ends the workers' loops.
  explicit CThreadPool(const std::atomic<bool>& exiting);
  ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // A worker that is in the running list and has no job: the most recently filed available
  // one, or a new one made suspended. A worker that cannot be made is fatal ("Cannot create
  // thread").
  CWorkerThread* GetThread();
  // On the worker itself, after its job has ended: leaves the running list, posts the
  // worker-released message (lParam: the worker's handle) to the window of the job it ran, and
  // parks until it is resumed for its next job. Its suspend count is raised before the message
  // goes out, so a start that follows the message is never lost, even if it comes before the
  // thread has actually stopped.
  void Release(CWorkerThread* thread);
  // Takes a worker out of the running list (its thread was terminated).
  void RemoveRunning(CWorkerThread* thread);
  // Main thread, when the worker-released message arrives.
  void AddAvailable(CWorkerThread* thread);

  // The worker with this handle, from the all list; null if there is none.
  CWorkerThread* FindByHandle(uintptr_t handle) const;

  // Terminates every worker and waits for its thread to end. The lists stay as they were.
  void Shutdown();

  const std::atomic<bool>& ExitingFlag() const { return m_exiting; }
  CThreadList& all() { return m_all; }
  CThreadList& running() { return m_running; }
  CThreadList& available() { return m_available; }

 private:
  CWorkerThread* TakeAvailable();
  CWorkerThread* CreateWorker();

  const std::atomic<bool>& m_exiting;
  CThreadList m_all{"all"};
  CThreadList m_running{"running"};
  CThreadList m_available{"available"};
  std::vector<std::unique_ptr<CWorkerThread>> m_owned;  // guarded by ThreadListLock()
};

}  // namespace tulix
