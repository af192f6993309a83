#include "browserlib/library_state.h"

#include <cstdio>
#include <optional>

#include "app/application_core.h"
#include "base/application.h"
#include "base/settings.h"
#include "engine/search_job.h"
#include "jobs/job.h"
#include "jobs/job_manager.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "results/saved_search.h"
#include "update/upgrade_job.h"

namespace tulix::tulixlib {
namespace {

constexpr uint32_t kRunCallsMessage = 1;

// The window on the loop thread that runs the calls handed to it.
class CallTarget : public MessageTarget {
 public:
  explicit CallTarget(std::function<void()> run) : m_run(std::move(run)) {}
  void OnMessage(uint32_t message, intptr_t, intptr_t) override {
    if (message == kRunCallsMessage) {
      m_run();
    }
  }

 private:
  std::function<void()> m_run;
};

// The program folder the desktop program wrote at its last start; the default rule when it
// never ran.
std::string ProgramFolderFromSettings() {
  RegistryStore store;
  std::string folder = store.GetString(std::string(kRegistryRoot) + "\\Behaviour", "path", "");
  return folder.empty() ? ProgramFolder() : folder;
}

}  // namespace

void PrepareForLibrary(SavedSearch& search) {
  search.LoadResults();
  search.SetHighlightFormat(kHighlightFormat);
}

LibraryState& LibraryState::Instance() {
  // Destroyed when the library is unloaded, which stops the loop thread.
  static LibraryState state;
  return state;
}

LibraryState::~LibraryState() {
  Stop();
}

void LibraryState::Stop() {
  std::lock_guard stopping(m_stopMutex);
  {
    std::lock_guard lock(m_mutex);
    if (!m_threadMade) {
      return;
    }
  }
  Run([this] { m_stopping = true; });
  m_thread.join();
  std::lock_guard lock(m_mutex);
  m_threadMade = false;
  m_loopReady = false;
  m_started = false;
  m_stopping = false;
  m_times.clear();
}

bool LibraryState::Configure(const LibraryOptions& options) {
  std::lock_guard lock(m_mutex);
  if (m_threadMade) {
    return false;
  }
  m_options = options;
  return true;
}

void LibraryState::EnsureStarted() {
  std::unique_lock lock(m_mutex);
  if (!m_threadMade) {
    m_threadMade = true;
    m_thread = std::thread([this] { ThreadMain(); });
  }
  m_ready.wait(lock, [&] { return m_loopReady; });
}

void LibraryState::Run(const std::function<void()>& body) {
  EnsureStarted();
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(Call{&body, &done});
    m_loop->PostMessage(m_target, kRunCallsMessage, 0, 0);
  }
  finished.get();
}

void LibraryState::RunQueuedCalls() {
  for (;;) {
    Call call;
    {
      std::lock_guard lock(m_mutex);
      if (m_calls.empty()) {
        return;
      }
      call = m_calls.front();
      m_calls.pop_front();
    }
    try {
      (*call.body)();
      call.done->set_value();
    } catch (...) {
      call.done->set_exception(std::current_exception());
    }
  }
}

void LibraryState::ThreadMain() {
  std::optional<ScopedClock> clock;
  if (m_options.clock != nullptr) {
    clock.emplace(*m_options.clock);
  }
  StdEventLoop loop;
  CallTarget target([this] { RunQueuedCalls(); });
  const TargetId targetId = loop.Register(&target);
  {
    ApplicationCore core(loop);
    StartupOptions options;
    options.programFolder = ProgramFolderFromSettings();
    // The host's standard error stays its own; the trace lines go there. Installing engines is
    // the desktop program's business: the library works with the folder as it finds it.
    options.openLog = false;
    options.checkEngines = false;
    UseBrowserLibraryJobStates(true);
    RunUpgradeJobsInBrowserLibrary(true);
    if (m_options.fastPacing) {
      options.jobs = CommandLinePacing();
    }
    // Hung searches end by the time-outs of GetSearchStatus instead.
    options.jobs.manager.stallCheck = false;
    core.Start(options);

    RegistryStore& registry = App().registry();
    const std::string browser = std::string(kRegistryRoot) + "\\Browser";
    m_timeoutOverall = registry.GetDword(browser, "timeout_overall_seconds", 360);
    m_timeoutWithoutResults = registry.GetDword(browser, "timeout_withoutnewresults_seconds", 90);
    {
      std::lock_guard lock(m_mutex);
      m_loop = &loop;
      m_target = targetId;
      m_loopReady = true;
    }
    m_started = true;
    m_ready.notify_all();

    loop.RunUntil([this] { return m_stopping; });
    core.Shutdown();
  }
  {
    std::lock_guard lock(m_mutex);
    m_loop = nullptr;
  }
  loop.Unregister(targetId);
}

SavedSearch* LibraryState::SubmitFromBrowser(const SearchSettings& settings,
                                             const std::function<bool(SavedSearch&)>& submit) {
  SavedSearch* search = FindOrCreateSearch(settings);
  if (search == nullptr) {
    return nullptr;
  }
  PrepareForLibrary(*search);
  if (!submit(*search)) {
    return search;
  }
  const int64_t now = GetClock().Now();
  m_times[search->name] = SearchTimes{now, now, 0};
  search->Submit(true);
  return search;
}

int32_t LibraryState::Status(SavedSearch* search) {
  if (search == nullptr) {
    return kStatusNotFound;
  }
  const int jobs = SearchJobCount(*search);
  const bool updating = WaitsForUpdate(*search);
  if (jobs == 0 && !updating) {
    return kStatusNoJobs;
  }
  const int found = search->Found();
  // Only searches this library submitted have times; the new-result time is taken when a
  // caller asks and finds more results than before, which is as often as a page polls.
  auto times = m_times.find(search->name);
  if (times != m_times.end()) {
    const int64_t now = GetClock().Now();
    if (found > times->second.lastFound) {
      times->second.lastFound = found;
      times->second.lastResult = now;
    }
    if (now - times->second.started > m_timeoutOverall ||
        now - times->second.lastResult > m_timeoutWithoutResults) {
      std::fprintf(stderr, "search %s timed out\n", search->name.c_str());
      search->Cancel();
      return kStatusTimedOut;
    }
  }
  if (found > 0) {
    return kStatusHasResults;
  }
  // Without results yet: 1 while an engine update the search waits for is in the job list,
  // 4 while only its search jobs are.
  return updating ? kStatusUpdatingEngines : kStatusWaiting;
}

int LibraryState::SearchJobCount(const SavedSearch& search) const {
  return static_cast<int>(RunningEngines(search).size());
}

bool LibraryState::WaitsForUpdate(const SavedSearch& search) const {
  CJobManager& manager = *App().jobManager;
  for (size_t i = 0; i < manager.JobCount(); ++i) {
    auto* upgrade = dynamic_cast<CUpgradeCategoryJob*>(manager.JobAt(i).get());
    if (upgrade != nullptr && upgrade->WaitingSearch() == search.name) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> LibraryState::RunningEngines(const SavedSearch& search) const {
  std::vector<std::string> engines;
  CJobManager& manager = *App().jobManager;
  for (size_t i = 0; i < manager.JobCount(); ++i) {
    auto* job = dynamic_cast<CSearchJob*>(manager.JobAt(i).get());
    if (job != nullptr && &job->Search() == static_cast<const SearchJobTarget*>(&search)) {
      engines.push_back(job->Engine().Data()->name);
    }
  }
  return engines;
}

std::string LibraryState::ResultsPageAddress() const {
  return "file:" + ToFileSystemPath(JoinPath(GetProgramFolder(), "searchresults.htm"));
}

}  // namespace tulix::tulixlib
