// The one shared state of tulixlib in a process: the program's core (settings, trees, job
// manager, worker pool) on an event loop that runs on a thread the library owns, and what the
// library remembers of the searches it started.
//
// Every interface call is handed to that loop thread and runs there, one after another, while
// the caller waits: the core's "main thread" rules then hold for the library's calls just as
// they do for the desktop program's user interface, and no call can race with the job
// manager's timer or messages. The callers' threads never touch the core themselves.
//
// The state is made on the first call that needs it (EnsureStarted) and lives until the
// library may be unloaded: when DllCanUnloadNow finds no object and no lock left it stops the
// loop thread (the core is shut down on it) and joins it. That must happen before the unload,
// not in it: while the thread runs, its thread-local data holds the library in memory, so the
// unload would never come. A call after that starts a fresh state.
//
// Thread safety: every public member may be called from any thread except the loop thread
// itself (a call from there would wait for itself).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tulix {
class Clock;
class SavedSearch;
class StdEventLoop;
struct SearchSettings;
}  // namespace tulix

namespace tulix::tulixlib {

// Values of GetSearchStatus.
enum SearchStatus : int32_t {
  kStatusNotFound = 0,
  kStatusUpdatingEngines = 1,
  kStatusHasResults = 2,
  kStatusNoJobs = 3,
  kStatusWaiting = 4,
  kStatusTimedOut = 5,
};

// Result texts of the library are written with this mark around each search word.
inline constexpr char kHighlightFormat[] = "<span class=\"hilite\">%s</span>";

// Readies a search for the library's callers, once or again at no cost: its stored results
// loaded (so what it stores later is never read in twice) and its words marked the page's way,
// whether the library or the desktop program made it. Loop thread.
void PrepareForLibrary(SavedSearch& search);

struct LibraryOptions {
  // Installed as the program's clock on the loop thread for the library's life; null: the
  // system clock.
  const Clock* clock = nullptr;
  // Start jobs at once and tick every millisecond instead of the desktop program's pace.
  bool fastPacing = false;
};

class LibraryState {
 public:
  static LibraryState& Instance();

  LibraryState() = default;
  ~LibraryState();
  LibraryState(const LibraryState&) = delete;
  LibraryState& operator=(const LibraryState&) = delete;

  // Shuts the core down and ends the loop thread, when they run. Call only while no object of
  // the library exists, so that no call can come in meanwhile.
  void Stop();

  // Takes effect only before the state is started; false afterwards.
  bool Configure(const LibraryOptions& options);

  bool Started() const { return m_started.load(); }

  // Starts the state when it is not yet, then runs `body` on the loop thread and returns when
  // it has run.
  void Run(const std::function<void()>& body);

  // ---- the rest runs on the loop thread, inside Run ----

  // An existing saved search with the same category, type and words, or a new one; it is
  // submitted with an update check when `submit` says so for it (given the search, before
  // submission). The search's times start over when it is submitted.
  SavedSearch* SubmitFromBrowser(const SearchSettings& settings,
                                 const std::function<bool(SavedSearch&)>& submit);
  // GetSearchStatus's value for a search (null: not found); stops a search that timed out.
  int32_t Status(SavedSearch* search);
  // The search jobs of a search in the job list, and whether an engine update that the search
  // waits for is in it.
  int SearchJobCount(const SavedSearch& search) const;
  bool WaitsForUpdate(const SavedSearch& search) const;
  std::vector<std::string> RunningEngines(const SavedSearch& search) const;
  // "file:<program folder>/searchresults.htm".
  std::string ResultsPageAddress() const;

 private:
  struct Call {
    const std::function<void()>* body;
    std::promise<void>* done;
  };
  struct SearchTimes {
    int64_t started = 0;
    int64_t lastResult = 0;
    int lastFound = 0;
  };

  void EnsureStarted();
  void ThreadMain();
  void RunQueuedCalls();

  LibraryOptions m_options;
  std::atomic<bool> m_started{false};

  std::mutex m_stopMutex;  // one Stop at a time
  std::mutex m_mutex;      // guards what follows up to m_calls
  std::condition_variable m_ready;
  bool m_threadMade = false;
  bool m_loopReady = false;
  StdEventLoop* m_loop = nullptr;
  uint64_t m_target = 0;
  std::deque<Call> m_calls;
  std::thread m_thread;

  // Loop thread only.
  bool m_stopping = false;
  int64_t m_timeoutOverall = 360;
  int64_t m_timeoutWithoutResults = 90;
  std::map<std::string, SearchTimes> m_times;  // by search name
};

}  // namespace tulix::tulixlib
