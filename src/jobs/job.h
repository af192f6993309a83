// CJob: the base of every piece of background work (one engine asked for one search, one
// category checked for updates), and CTaskException, which a job's work routine raises to
// abandon its work.
//
// A job lives in the job manager's list (CJobManager), is queued on the run queue when it
// starts, runs its work routine on a pooled worker thread, reports to the job manager's window
// with messages that carry its id, and is deleted when done. Its life marker m_running tells the
// scheduler where it is (kJobIdle ... kJobDestroyed below).
//
// Ownership: jobs are made with std::make_shared and owned through shared_ptr: the job list, the
// orphan list and the worker that runs the job each hold one, so no job is freed under a thread
// that still uses it. Messages never carry a job's address, only its id.
//
// Thread safety: the main (user-interface) thread owns the scheduling fields (wait, counts,
// result) and calls the virtual operations, Stop and Kill. The worker running the job calls
// SetState, CheckStop, PostFinished and the Post* reports. The life marker, the stop request,
// the thread link and the state fields are atomic because those threads read them unlocked.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/event_loop.h"

namespace tulix {

class CWorkerThread;

// Values of the life marker m_running.
inline constexpr int32_t kJobIdle = 0;            // created, not queued, or taken out again
inline constexpr int32_t kJobQueued = 6666666;    // in the run queue, waiting for a worker
inline constexpr int32_t kJobRunning = 7777777;   // a worker has been given the job
inline constexpr int32_t kJobFinished = 2222222;  // the work routine has posted its result
inline constexpr int32_t kJobDone = 8888888;      // the main thread has processed the result
inline constexpr int32_t kJobDestroyed = 555555;  // the destructor has begun

// Job states (the state field) and their names.
enum JobState : int {
  kStateUnset = 0,
  kStateQueuing = 1,
  kStateQueued = 2,
  kStateStarting = 3,
  kStateStarted = 4,
  kStateConnection = 5,
  kStateConnected = 6,
  kStateReadingXOverNews = 7,
  kStateReadingNews = 8,
  kStateReadingPage = 9,
  kStateReadingForums = 10,
  kStateReadPage = 11,
  kStateParsingPage = 12,
  kStateParsedPage = 13,
  kStateFinished = 14,
};
// The browser library's jobs have one state more: 14 is "Format Result" (a search job's
// results being made ready for the results page) and "Finished" moves to 15.
inline constexpr int kLibraryStateFormatResult = 14;
inline constexpr int kLibraryStateFinished = 15;
// Switches every job to the browser library's states; the library does so before its first job.
void UseBrowserLibraryJobStates(bool use);
bool UsesBrowserLibraryJobStates();
// The state a job takes when it has posted its result: 14, or 15 in the browser library.
int FinishedState();
// The state's name in the table in use, or null for a value outside it.
const char* JobStateName(int state);

// Messages posted to the job manager's window. lParam is the job's id, or for the released
// message the worker's handle.
inline constexpr uint32_t kMsgJobFinished = kWmUser + 1;      // wParam: result code
inline constexpr uint32_t kMsgJobConnected = kWmUser + 2;     // wParam: 0
inline constexpr uint32_t kMsgSearchProgress = kWmUser + 12;  // wParam: page number
inline constexpr uint32_t kMsgUpdatingEngine = kWmUser + 14;  // wParam: key of the posted text
inline constexpr uint32_t kMsgUpdateNotice = kWmUser + 15;    // wParam: notice number
inline constexpr uint32_t kMsgWorkerReleased = kWmUser + 23;  // wParam: 0

// Result codes of a run.
inline constexpr int kResultSuccess = 1;
inline constexpr int kResultFailure = 0;
inline constexpr int kResultNoPostsParsed = -1;
inline constexpr int kResultNoPostsSuspected = -2;
inline constexpr int kResultGroupNotFound = -3;
inline constexpr int kResultNotRun = -11;

// Priority of a job's worker thread: below normal.
inline constexpr int kPriorityBelowNormal = -1;

// Raised by CheckStop. Kind 0: a stop was requested; kind 1: the job is no longer running.
class CTaskException : public std::exception {
 public:
  CTaskException(int jobId, int kind) : m_jobId(jobId), m_kind(kind) {}
  int JobId() const { return m_jobId; }
  int Kind() const { return m_kind; }
  const char* what() const noexcept override;

 private:
  int m_jobId;
  int m_kind;
};

class CJob : public std::enable_shared_from_this<CJob> {
 public:
  using WorkRoutine = void (*)(CJob& job);

  CJob();
  virtual ~CJob();
  CJob(const CJob&) = delete;
  CJob& operator=(const CJob&) = delete;

  // --- Virtual operations (main thread) ---
  virtual void ResetWait();
  virtual std::string GetBlockReason() const;  // "unknown"
  // "Running", "Queued", "Pending" or "Blocked (reason)".
  virtual std::string GetTaskStatus() const;
  // wait minus the wait threshold, in decimal.
  virtual std::string GetWaitText() const;
  virtual std::string GetName() const;  // "Unknown"
  virtual void OnRemoved(int code);
  virtual bool KeepWhenIdle() const;
  // A job that answers false is never chosen to start.
  virtual bool IsRunnable() const;
  // Only jobs that answer false are chosen by the scheduler.
  virtual bool IsQuick() const;
  // True for a job that installs updates for the category named `categoryName`; searches of
  // that category wait while such a job is in the job list. No job does by default.
  virtual bool UpgradesCategory(const std::string& categoryName) const;
  // False for a job that must not go on while family mode is on (entering family mode stops
  // it). Jobs are family-safe unless they say otherwise.
  virtual bool IsFamilySafe() const;
  // Queues the job on the application's run queue.
  virtual void Submit();
  // how 0: ask the work routine to stop at its next CheckStop; 1: end the worker at once;
  // 2: as 0 (Kill makes the job an orphan).
  virtual void Stop(int how);
  // Stops a job that has a worker and is not done; how 2 lets it run on detached from its
  // owner (an orphan, deleted when its result arrives).
  virtual void Kill(int how);
  // Starts the job: 0 not started, 1 a worker will run it (counts as running), 2 started without
  // counting. The base starts nothing and returns 2. A subclass stores the window
  // (SetNotifyWindow), calls Init with its work routine and Submit, and returns 1.
  virtual int Start(WindowHandle notifyWindow);
  // The job's result arrived (main thread). Subclasses add their own work and call this too.
  virtual void OnFinished(int code);
  // What the search-progress message shows: the results the job has and the ones it wants.
  virtual int GetResultCount() const;
  virtual int GetDesiredResultCount() const;

  // Formats the text and hands it to ShowStatusText (nothing in the base). Subclasses show it in
  // their row of the tasks pane.
  void SetStatusText(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // --- Texts for the task views ---
  // The state's name, a blank and the tag in parentheses ("Started (0)").
  std::string GetStateText() const;
  // "name (state text)".
  std::string GetDescription() const;

  // --- Non-virtual operations ---
  // Clears the stop request, sets the work routine, drops the thread link, state Queued.
  void Init(WorkRoutine routine);
  void SetState(int state, int tag = 0);
  // On the worker, at the end of the work routine: marks the job finished and posts its result.
  void PostFinished(int code);
  // On the worker, at safe points: raises CTaskException kind 0 when a stop was requested, kind 1
  // when the job is no longer running; stops while the worker is suspended.
  void CheckStop();
  void RequestStop() { m_stopRequested.store(true); }
  // True for reports the job manager must drop: the job is an orphan, was asked to stop, or is
  // neither running nor finished.
  bool ShouldIgnore() const;

  // Reports from the worker to the notify window (job connected, search progress, update
  // notice). Dropped when there is no window.
  void PostReport(uint32_t message, intptr_t wParam);
  // The updating-engine report carries a text (the entry's path); the handler takes it back
  // with TakePostedText.
  void PostUpdatingEngine(const std::string& path);
  std::string TakePostedText(intptr_t key);

  // --- Fields ---
  int JobId() const { return m_jobId; }
  int32_t Running() const { return m_running.load(); }
  void SetRunning(int32_t marker) { m_running.store(marker); }
  bool IsActive() const;
  bool StopRequested() const { return m_stopRequested.load(); }
  CWorkerThread* Thread() const { return m_thread.load(); }
  bool HasThread() const { return m_thread.load() != nullptr; }
  void SetThread(CWorkerThread* thread) { m_thread.store(thread); }
  int State() const { return m_state.load(); }
  int StateTag() const { return m_stateTag.load(); }
  int64_t StateTime() const { return m_stateTime.load(); }
  WindowHandle NotifyWindow() const { return m_notifyWindow; }
  WorkRoutine Routine() const { return m_workRoutine; }
  CJob* RoutineArgument() const { return m_routineArgument; }

  int failures = 0;       // consecutive unsuccessful runs
  int successes = 0;      // successful runs
  int runsRemaining = 1;  // lowered, not below 0, when a run ends
  int wait = 1000;        // claim to be started; aged once a minute
  bool deleteWhenDone = true;
  int waitThreshold = 0;   // eligible only while wait exceeds it
  int64_t lastStart = -1;  // seconds since 1970; -1 never started
  int result = kResultNotRun;
  std::atomic<int> priority{kPriorityBelowNormal};
  std::atomic<bool> orphan{false};

 protected:
  void SetNotifyWindow(WindowHandle window) { m_notifyWindow = window; }
  // Shows a formatted status text; the base shows nothing.
  virtual void ShowStatusText(const std::string& text);

 private:
  const int m_jobId;
  std::atomic<int32_t> m_running{kJobIdle};
  WorkRoutine m_workRoutine = nullptr;
  CJob* m_routineArgument = nullptr;
  std::atomic<bool> m_stopRequested{false};
  WindowHandle m_notifyWindow;
  std::atomic<CWorkerThread*> m_thread{nullptr};
  std::atomic<int> m_state{kStateUnset};
  std::atomic<int> m_stateTag{0};
  std::atomic<int64_t> m_stateTime;

  std::mutex m_textsMutex;  // guards m_postedTexts and m_nextTextKey
  std::unordered_map<intptr_t, std::string> m_postedTexts;
  intptr_t m_nextTextKey = 1;
};

// A job pointer the scheduler may trust: not null and its marker is one of the live values. The
// caller holds a shared_ptr (or a reference) to the job, so the object is never a freed one.
bool IsValidJob(const CJob* job);

}  // namespace tulix
