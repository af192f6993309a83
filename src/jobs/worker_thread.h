// The worker-thread object that the pool hands to jobs, and the hook that lets a worker's
// blocking wait be cut short.
//
// A system thread on this platform cannot be suspended, resumed or ended by another thread, so
// CWorkerThread provides those cooperatively over std::thread:
// - a suspend count, as the system keeps one: Suspend raises it, Resume lowers it and returns
//   the count before the call. A thread with a count above 0 stops at its next park point and
//   stays there until the count is 0 again. Park points: the start of the thread (a thread
//   created suspended waits there), the worker's hand-back to the pool, the wait for its next
//   job, and every CJob::CheckStop of the job it runs.
// - Terminate marks the thread ended, calls the abort callback of the blocking wait it is in
//   (AbortableWait), and wakes it. From then on its next park point, CheckStop or report throws
//   WorkerTerminated, which unwinds the thread without touching its job; the thread never goes
//   back to the pool.
// - priorities are stored and reported, not applied.
//
// Ownership: the pool owns every CWorkerThread for its whole life; destroying one terminates
// its thread and waits for it to end. The job link is a shared_ptr, so a job is never freed
// while a worker still holds it.
//
// Thread safety: every method may be called from any thread, except those marked "on the worker
// itself".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "jobs/mcl_sync.h"
#include "platform/event_loop.h"

namespace tulix {

class CJob;
class CThreadPool;

// Unwinds the stack of a terminated worker. Deliberately not derived from std::exception, so job
// code that catches std::exception lets it pass. Code that catches everything should rethrow it;
// if it does not, the thread's next CheckStop or report throws it again.
struct WorkerTerminated {};

class CWorkerThread : public CMclKernel {
 public:
  using EntryRoutine = void (*)(CWorkerThread&);

  static constexpr uint32_t kCreateSuspended = 0x4;
  static constexpr uint32_t kFailed = 0xFFFFFFFF;  // Suspend and Resume on failure
  static constexpr uint32_t kStillActive = 259;    // GetExitCode while the thread runs
  static constexpr int kPriorityNormal = 0;

  // `pool` is the pool the worker hands itself back to (may be null outside a pool).
  explicit CWorkerThread(CThreadPool* pool = nullptr);
  // Terminates the thread if it still runs and waits for it to end.
  ~CWorkerThread() override;

  // Creates the system thread; with kCreateSuspended it waits (suspend count 1) until resumed.
  // Stack size and security are accepted for the caller's sake and not used. On failure the
  // status holds the system error and the error is raised (thrown as a uint32_t).
  void Create(uint32_t flags = kCreateSuspended, size_t stackSize = 0,
              const void* security = nullptr);
  // The routine the thread runs once it is first resumed; it receives this object.
  void SetEntryRoutine(EntryRoutine routine);

  // Returns the previous suspend count, or kFailed once the thread has ended or was terminated.
  uint32_t Suspend();
  // Lowers the suspend count once and returns the previous count. With `force`, a thread that
  // was suspended more than once is logged ("thread suespended %d") and resumed until it runs.
  uint32_t Resume(bool force);
  // Ends the thread at its next park point, CheckStop or report; aborts the wait it is in.
  bool Terminate(uint32_t exitCode);
  // kStillActive while the thread runs, then its exit code.
  bool GetExitCode(uint32_t& code) const;
  bool SetPriority(int level);
  int GetPriority() const;

  // Pool fields. Job: the job the worker runs or last ran. Go: set by the job manager when the
  // worker may run its job, cleared by the worker when the job has ended. Abandoned: written
  // off by the stall check.
  std::shared_ptr<CJob> Job() const;
  void SetJob(std::shared_ptr<CJob> job);
  bool Go() const { return m_go.load(); }
  void SetGo(bool go);
  bool IsAbandoned() const { return m_abandoned.load(); }
  void SetAbandoned(bool abandoned) { m_abandoned.store(abandoned); }
  // Where the worker reports its hand-back: the window of the job it was given last.
  WindowHandle NotifyWindow() const;
  void SetNotifyWindow(WindowHandle window);
  CThreadPool* Pool() const { return m_pool; }

  // State of the emulation (tests and the job manager).
  bool IsTerminated() const;
  bool HasEnded() const;
  uint32_t SuspendCount() const;
  // True while the thread is stopped at a park point.
  bool IsParked() const;
  // Waits until the system thread has ended (after Terminate, or when its routine returned).
  void Join();

  // On the worker itself: stops here while the suspend count is above 0; throws
  // WorkerTerminated when the thread was terminated.
  void Park();
  // On the worker itself: raises its own suspend count without stopping yet, so that a Resume
  // that comes before the thread reaches its park point is not lost.
  void SuspendSelf();
  // On the worker itself: waits until go is set (or the thread is terminated, or `exiting` is
  // set, looked at once a second).
  void WaitForGo(const std::atomic<bool>& exiting);
  // On the worker itself: throws WorkerTerminated when the thread was terminated.
  void ThrowIfTerminated() const;

  // The worker whose thread is calling, or null on any other thread.
  static CWorkerThread* Current();

 private:
  friend class AbortableWait;
  struct Control;

  void ThreadMain();
  uint32_t ResumeOnce();

  CThreadPool* const m_pool;
  std::unique_ptr<Control> m_control;
  std::atomic<bool> m_go{false};
  std::atomic<bool> m_abandoned{false};
  std::thread m_thread;
};

// Throws WorkerTerminated when the calling thread is a worker that was terminated; does nothing
// on any other thread.
void ThrowIfCurrentWorkerTerminated();

// Marks a blocking wait of a worker thread (a network transfer, a wait on a condition) as one
// that Terminate must cut short. While the object lives, terminating the calling worker calls
// `abort` once; if the worker was already terminated, `abort` is called at once by the
// constructor. `abort` runs with the worker's state lock held: it must only set a flag or
// signal a condition, never block or call into the worker. Create and destroy the object while
// holding no lock of your own that `abort` takes. On a thread that is not a worker it does
// nothing. After the wait, call CheckStop (or ThrowIfCurrentWorkerTerminated) so that a
// terminated thread unwinds.
class AbortableWait {
 public:
  explicit AbortableWait(std::function<void()> abort);
  ~AbortableWait();
  AbortableWait(const AbortableWait&) = delete;
  AbortableWait& operator=(const AbortableWait&) = delete;

 private:
  CWorkerThread* m_worker;
  std::function<void()> m_abort;
  std::function<void()>* m_previous = nullptr;
};

}  // namespace tulix
