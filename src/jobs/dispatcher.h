// The dispatcher thread, which takes queued jobs off the run queue and starts each on a pooled
// worker, and the loop that every worker runs.
//
// The dispatcher takes at most one job per round and pauses between rounds (1000 ms unless the
// code that makes it says otherwise), so at most one queued job leaves the queue per pause. When
// the queue is empty it waits for the next job instead of polling.
//
// Ownership: the dispatcher refers to the run queue, the job manager and the pool, which must
// outlive it; Join (or the destructor) waits for its thread to end once the exiting flag is set.
//
// Thread safety: Start, Join and the destructor belong to the code that owns the dispatcher.
// StartJob runs with the job-queue lock held (it takes it again, as the lock is re-entrant).
#pragma once

#include <chrono>
#include <memory>
#include <thread>

namespace tulix {

class CJob;
class CJobManager;
class CThreadPool;
class CWorkerThread;
class RunQueue;

class Dispatcher {
 public:
  Dispatcher(RunQueue& queue, CJobManager& manager, CThreadPool& pool,
             std::chrono::milliseconds pause = std::chrono::milliseconds(1000));
  // Sets the exiting flag if it is not set yet, and waits for the thread.
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  void Start();
  // Waits for the thread to end; the run queue's exiting flag must be set.
  void Join();

  // One round, on the calling thread: takes the job-queue lock, dequeues a job and starts it.
  // Returns true when a job was dequeued.
  bool DispatchOne();

 private:
  void Run();

  RunQueue& m_queue;
  CJobManager& m_manager;
  CThreadPool& m_pool;
  const std::chrono::milliseconds m_pause;
  std::thread m_thread;
};

// Starts the job on a worker from the pool and checks that the worker got going. Called by the
// dispatcher with the job-queue lock held.
void StartJob(const std::shared_ptr<CJob>& job, CThreadPool& pool, const CJobManager& manager);

// The entry routine of every worker: runs the job linked to the worker, hands the worker back to
// the pool, waits to be started again, and so on until the program exits or the thread is
// terminated.
void WorkerLoop(CWorkerThread& worker);

}  // namespace tulix
