// The job manager: keeps every job in one list on the main thread, decides on a timer which job
// starts next, hands it to the run queue for the dispatcher, and handles everything the workers
// report as messages to its window.
//
// Scheduling: every tick (500 ms; the first one 4000 ms after StartTimer) at most one job is
// chosen (the one that has waited longest among those that may run) and on the next tick it is
// started, while fewer than MaxTasks jobs hold a slot. A job that has finished gives its slot
// back when its result arrives; a new job is not chosen until the finished job's worker is back
// in the pool, so the pool never needs more workers than MaxTasks. Once a minute (every 120
// ticks) every job's wait is raised by one; every 13 ticks the stall check asks jobs that have
// not changed state for 100 minutes to stop and ends the threads of those that still have not
// 50 minutes later.
//
// The tasks pane and the results pane are reached through JobObserver, which the desktop
// program implements.
//
// Ownership: the job list owns its jobs (shared_ptr). The manager refers to the event loop, the
// run queue and the pool, which must outlive it.
//
// Thread safety: main (loop) thread only, except IndexOf, which the dispatcher calls with the
// job-queue lock held; every change of the job list is made under that lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/event_loop.h"

namespace tulix {

class CJob;
class CThreadPool;
class RunQueue;

struct JobManagerOptions {
  int64_t firstTickMs = 4000;
  int64_t tickMs = 500;
  // The browser library runs without the stall check.
  bool stallCheck = true;
  // Each tick starts every job that may start, not one job every other tick: for a program
  // that runs one search and ends (the command line), not for a person watching the tasks pane.
  bool startAllDue = false;
};

// One row of the tasks pane.
struct TaskRow {
  int jobId = 0;
  std::string name;    // who the job works for (a search job: its engine)
  std::string kind;    // "Search", ...
  std::string detail;  // what it works on (a search job: the query as its engine gets it)
  std::string status;
};

// What the job manager and the jobs tell the user interface. Called on the main thread.
class JobObserver {
 public:
  virtual ~JobObserver() = default;
  // Shows the job's row, replacing the one it had.
  virtual void ShowTaskRow(const TaskRow& row) { (void)row; }
  virtual void RemoveTaskRow(int jobId) { (void)jobId; }
  // Every tick: remove each row of the tasks pane whose job id `isListed` rejects.
  virtual void PruneTaskRows(const std::function<bool(int jobId)>& isListed) = 0;
  // A search job reported progress (called with the job-queue lock held): if the results pane
  // shows this job's search, restart its refresh timer.
  virtual void OnSearchProgress(CJob& job) = 0;
};

class CJobManager : public MessageTarget {
 public:
  static constexpr uint32_t kTimerId = 1;

  CJobManager(EventLoop& loop, RunQueue& queue, CThreadPool& pool, JobManagerOptions options = {});
  ~CJobManager() override;
  CJobManager(const CJobManager&) = delete;
  CJobManager& operator=(const CJobManager&) = delete;

  // The window jobs report to.
  WindowHandle Window() const { return WindowHandle{&m_loop, m_target}; }
  // The observer must stay valid until it is replaced (nullptr) or the manager goes.
  void SetObserver(JobObserver* observer) { m_observer = observer; }
  JobObserver* Observer() const { return m_observer; }

  // Starts the timer once; the first tick comes firstTickMs later.
  void StartTimer();
  bool TimerStarted() const { return m_timerStarted; }

  void AddJob(std::shared_ptr<CJob> job);
  int IndexOf(const CJob* job) const;
  std::shared_ptr<CJob> FindById(int jobId) const;
  // Takes the job off the run queue, marks it idle and drops it from the list (which frees it
  // unless a worker still holds it).
  void DeleteJob(int index);
  // Takes the job off the run queue and out of the list, without freeing it; returns it.
  std::shared_ptr<CJob> DetachJob(int index);
  // For a job in the list: DeleteJob when it is not active, else DetachJob.
  void DetachOrDelete(CJob& job);
  // For a job that has a worker: gives its slot back and kills it (how 0, 1 or 2; see CJob).
  void StopJob(CJob& job, int how);
  // Logs and kills every job in the list.
  void KillAll(int how);

  // The timer tick, and its parts.
  void OnTick();
  // Starts the job chosen on the previous tick, or chooses one; true when it did either.
  bool Schedule();
  void StartLongJob(const std::shared_ptr<CJob>& job);
  void RunStallCheck();

  void OnMessage(uint32_t message, intptr_t wParam, intptr_t lParam) override;
  void OnTimer(uint32_t timerId) override;

  // Views for the tasks pane and tests.
  int RunningCount() const { return m_runningCount; }
  int TickCount() const { return m_tick; }
  size_t JobCount() const { return m_jobs.size(); }
  std::shared_ptr<CJob> JobAt(size_t index) const { return m_jobs.at(index); }
  std::shared_ptr<CJob> Pending() const { return m_pending; }
  // Jobs whose result was handled and whose worker is not back in the pool yet.
  int ReturningWorkers() const { return static_cast<int>(m_returning.size()); }

 private:
  void OnJobFinished(int code, int jobId);
  void OnJobConnected(int jobId);
  void OnSearchProgressMessage(int page, int jobId);
  void OnUpdatingEngine(intptr_t key, int jobId);
  void OnUpdateNotice(int notice);
  void OnWorkerReleased(uintptr_t handle);

  // The job a message names: in the list, among the orphans, or held by a worker.
  std::shared_ptr<CJob> FindForMessage(int jobId) const;
  void TakeSlot(const CJob& job);
  // False when the job held no slot.
  bool GiveBackSlot(const CJob& job);
  // A job whose thread the stall check ended: its slot goes back and it ends as a failure.
  void FinishDeadJob(const std::shared_ptr<CJob>& job);

  EventLoop& m_loop;
  RunQueue& m_queue;
  CThreadPool& m_pool;
  const JobManagerOptions m_options;
  TargetId m_target = 0;
  JobObserver* m_observer = nullptr;

  std::vector<std::shared_ptr<CJob>> m_jobs;  // changed under JobQueueLock(), on the main thread
  std::shared_ptr<CJob> m_pending;            // chosen on the last tick, started on the next
  int m_runningCount = 0;                     // jobs holding a slot against MaxTasks
  std::unordered_set<int> m_slotHolders;      // their ids, so no job gives a slot back twice
  std::unordered_set<int> m_returning;        // ids of finished jobs whose worker is not back
  bool m_timerStarted = false;
  int m_tick = 0;
};

}  // namespace tulix
