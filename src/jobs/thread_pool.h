// The worker pool. Jobs never make threads: the dispatcher asks the pool for a worker, the worker
// hands itself back when its job has ended and stops (parks), and the main thread files it as
// available for the next job. Workers are made on demand, made suspended, and live as long as
// the pool unless they are terminated, so the number of threads is the largest number of jobs
// that ever ran at once.
//
// Three lists: "all" (every worker the pool holds), "running" (workers assigned to a job) and
// "available" (parked workers without a job). Reuse is last-in first-out. A terminated worker
// can never run a job again: once it has let go of its job, the main thread retires it (Retire),
// which takes it out of every list, waits for its thread and frees it, so terminated workers do
// not pile up as threads nobody joins.
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
#include <cstddef>
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
  // Removes the first entry equal to `thread`, if there is one; false when there was none.
  bool RemoveIfPresent(const CWorkerThread* thread);
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
  // Main thread, when a terminated worker has let go of its job (its released message arrived):
  // takes it out of every list, waits for its thread to end and frees it. `thread` is invalid
  // afterwards. The wait is short: a terminated worker posts that message only on its way out.
  void Retire(CWorkerThread* thread);

  // The worker with this handle, from the all list; null if there is none.
  CWorkerThread* FindByHandle(uintptr_t handle) const;

  // Terminates every worker and waits for its thread to end. The lists stay as they were.
  void Shutdown();

  const std::atomic<bool>& ExitingFlag() const { return m_exiting; }
  // Workers the pool holds (and so threads not yet joined).
  size_t OwnedCount() const;
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
