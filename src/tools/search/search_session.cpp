#include "tools/search/search_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/application_core.h"
#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/tree.h"
#include "jobs/job.h"
#include "jobs/job_manager.h"
#include "platform/event_loop.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "platform/stop_signal.h"
#include "tools/search/search_output.h"
#include "update/upgrade_job.h"

namespace tulix::search_tool {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often the progress line is rewritten.
constexpr std::chrono::milliseconds kProgressInterval{100};

// The terminal's standard error, kept before the log takes descriptor 2 over.
class Console {
 public:
  Console() : m_fd(::fcntl(2, F_DUPFD_CLOEXEC, 3)), m_terminal(m_fd >= 0 && ::isatty(m_fd)) {}
  ~Console() {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // One message line, "tulix-search: ...".
  void Say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ClearProgress();
    Write(std::string("tulix-search: ") + text + "\n");
  }
  // Rewrites the progress line; nothing when standard error is not a terminal.
  void Progress(const std::string& line) {
    if (m_terminal) {
      Write("\r\033[K" + line);
      m_progressShown = true;
    }
  }
  void ClearProgress() {
    if (m_progressShown) {
      Write("\r\033[K");
      m_progressShown = false;
    }
  }

 private:
  void Write(const std::string& text) {
    if (m_fd < 0) {
      return;
    }
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t written = ::write(m_fd, text.data() + done, text.size() - done);
      if (written <= 0) {
        return;
      }
      done += static_cast<size_t>(written);
    }
  }

  int m_fd;
  bool m_terminal;
  bool m_progressShown = false;
};

// Follows the search for the command: how its submission went, when it completed, and the
// pages its jobs reported.
class SearchWatcher : public SearchViewHooks, public JobObserver {
 public:
  void SearchSubmitted(SavedSearch&, SubmitOutcome outcome) override {
    lastOutcome = outcome;
    if (outcome == SubmitOutcome::kUnknownCategory || outcome == SubmitOutcome::kNoEngine) {
      done = true;
    }
  }
  void SearchCompleted(SavedSearch&, bool wasStored) override {
    stored = wasStored;
    done = true;
  }
  void PruneTaskRows(const std::function<bool(int)>&) override {}
  void OnSearchProgress(CJob&) override { ++pages; }

  SubmitOutcome lastOutcome = SubmitOutcome::kStarted;
  bool done = false;
  bool stored = true;
  int pages = 0;
};

// The application core on a loop of its own, started for one command.
class Session {
 public:
  explicit Session(Console& console) : m_console(console), m_core(m_loop) {}
  ~Session() { m_core.Shutdown(); }

  bool Start(bool checkEngines) {
    StartupOptions options;
    options.jobs = CommandLinePacing();
    options.checkEngines = checkEngines;
    return m_core.Start(options) == StartResult::kStarted;
  }

  // Waits for the engine download the start-up began, if any. False, said, when the program
  // still has no engines afterwards or the user interrupted.
  bool WaitForEngines() {
    std::shared_ptr<CUpgradeCategoryJob> download = m_core.engineDownload();
    if (download != nullptr) {
      m_console.Say("downloading the search engines from the update server");
      CJobManager& manager = *App().jobManager;
      m_loop.RunUntil(
          [&] { return manager.IndexOf(download.get()) < 0 || TakePendingStopSignal() != 0; });
      if (manager.IndexOf(download.get()) >= 0) {
        return false;
      }
    }
    auto hold = ReadCategoryTree();
    if (FindCategoryByName("web") == nullptr) {
      m_console.Say(
          "no search engines are installed and none could be downloaded from the update "
          "server; see %s",
          (GetProgramFolder() + "/tulix.log").c_str());
      return false;
    }
    return true;
  }

  StdEventLoop& loop() { return m_loop; }

 private:
  Console& m_console;
  StdEventLoop m_loop;
  ApplicationCore m_core;
};

std::vector<SavedSearch*> AllSearches() {
  std::vector<SavedSearch*> searches;
  if (App().searchTree == nullptr) {
    return searches;
  }
  for (TreeNode* node : Tree::Collect(App().searchTree->root(), true, false)) {
    if (auto* search = dynamic_cast<SavedSearch*>(node)) {
      searches.push_back(search);
    }
  }
  return searches;
}

// A search named by its node name, or else by its words.
SavedSearch* FindNamedSearch(const std::string& name) {
  if (SavedSearch* search = FindSearch(name)) {
    return search;
  }
  for (SavedSearch* search : AllSearches()) {
    std::lock_guard lock(App().resultsLock);
    if (search->settings.name == name) {
      return search;
    }
  }
  return nullptr;
}

// Starts the session for a command on the stored searches and reads the search `name` (node
// name or words) with its results; null, said, with the exit status set, when that fails.
SavedSearch* OpenStoredSearch(Session& session, Console& console, const std::string& name,
                              int* status) {
  if (!session.Start(false)) {
    *status = kExitNoEngineSet;
    return nullptr;
  }
  SavedSearch* search = FindNamedSearch(name);
  if (search == nullptr) {
    console.Say("there is no saved search \"%s\" (--list shows them)", name.c_str());
    *status = kExitUsage;
    return nullptr;
  }
  search->LoadResults();
  return search;
}

std::string ProgressLine(const SavedSearch& search, const SearchWatcher& watcher) {
  const int running = App().jobManager->RunningCount();
  const int finished = search.EnginesFinished();
  const int total = finished + search.runningJobs;
  return "engines " + std::to_string(running) + " running, " + std::to_string(finished) +
         " of " + std::to_string(total) + " done; pages " + std::to_string(watcher.pages) +
         "; results " + std::to_string(search.Found());
}

// Runs the loop until the search completes (or its submission fails). The first SIGINT or
// SIGTERM cancels the search, which then completes with what it found so far.
bool WaitForSearch(Session& session, Console& console, SavedSearch& search,
                   const SearchWatcher& watcher) {
  bool interrupted = false;
  SteadyClock::time_point nextProgress = SteadyClock::now();
  session.loop().RunUntil([&] {
    if (!interrupted && TakePendingStopSignal() != 0) {
      interrupted = true;
      console.Say("stopping the search; the results found so far are kept");
      search.Cancel();
    }
    if (SteadyClock::now() >= nextProgress) {
      console.Progress(ProgressLine(search, watcher));
      nextProgress = SteadyClock::now() + kProgressInterval;
    }
    // A search still waiting for its update check has nothing to keep: it just ends.
    return watcher.done ||
           (interrupted && watcher.lastOutcome == SubmitOutcome::kWaitingForUpdate);
  });
  console.ClearProgress();
  return !interrupted;
}

int ExitForOutcome(Console& console, const SearchWatcher& watcher, const SearchRequest& request) {
  switch (watcher.lastOutcome) {
    case SubmitOutcome::kUnknownCategory:
      console.Say("there is no category \"%s\"", request.settings.category.c_str());
      return kExitUnknownCategory;
    case SubmitOutcome::kNoEngine:
      console.Say("no engine of the category \"%s\" can be asked for this search",
                  request.settings.category.c_str());
      return kExitNoEngine;
    default:
      return kExitOk;
  }
}

void ApplyRequest(SavedSearch& search, const SearchRequest& request) {
  std::lock_guard lock(App().resultsLock);
  if (request.engineCountGiven) {
    search.settings.engineCount = request.settings.engineCount;
  }
  if (request.perEngineGiven) {
    search.settings.perEngine = request.settings.perEngine;
  }
  if (request.shoppingGiven) {
    search.settings.shopping = request.settings.shopping;
  }
}

}  // namespace

bool StoreUpdateServer(const std::string& address) {
  RegistryStore store;
  if (!store.SetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer", address)) {
    std::fprintf(stderr, "tulix-search: could not store the update server %s\n",
                 address.c_str());
    return false;
  }
  return true;
}

int RunSearch(const SearchRequest& request) {
  Console console;
  Session session(console);
  if (!session.Start(true)) {
    console.Say("could not start");
    return kExitNoEngineSet;
  }
  if (!session.WaitForEngines()) {
    return kExitNoEngineSet;
  }
  {
    auto hold = ReadCategoryTree();
    if (FindCategoryByName(request.settings.category) == nullptr) {
      console.Say("there is no category \"%s\"", request.settings.category.c_str());
      return kExitUnknownCategory;
    }
  }
  SearchSettings settings = request.settings;
  settings.name = request.words;
  SavedSearch* search = FindOrCreateSearch(settings);
  if (search == nullptr) {
    console.Say("could not make a saved search in %s", GetSearchesFolder().c_str());
    return kExitNotStored;
  }
  ApplyRequest(*search, request);
  search->SaveSettings();

  auto watcher = std::make_shared<SearchWatcher>();
  App().searchView = watcher;
  App().jobManager->SetObserver(watcher.get());
  search->Submit(true);
  const bool finished = WaitForSearch(session, console, *search, *watcher);
  App().jobManager->SetObserver(nullptr);
  if (!search->RestingEngines().empty()) {
    std::string names;
    for (const std::string& engine : search->RestingEngines()) {
      names += (names.empty() ? "" : ", ") + engine;
    }
    console.Say("left out, after failing their last searches: %s", names.c_str());
  }
  if (!watcher->done) {
    return kExitInterrupted;
  }
  if (const int status = ExitForOutcome(console, *watcher, request); status != kExitOk) {
    return status;
  }

  PrintResults(*search, request.sortKey, request.json);
  std::fflush(stdout);
  const int engines = search->EnginesFinished();
  const int failed = search->EnginesFailed();
  if (failed > 0) {
    console.Say("%d of %d engines failed; see %s", failed, engines,
                (GetProgramFolder() + "/tulix.log").c_str());
  }
  if (!watcher->stored) {
    console.Say("the search ran but could not be stored in %s", ToFileSystemPath(search->ResultsFile()).c_str());
    return kExitNotStored;
  }
  if (!finished) {
    return kExitInterrupted;
  }
  if (search->Found() == 0) {
    if (engines > 0 && failed == engines) {
      console.Say("every engine failed");
      return kExitAllEnginesFailed;
    }
    console.Say("nothing found");
    return kExitNothingFound;
  }
  return kExitOk;
}

int ListSearches(bool json) {
  Console console;
  Session session(console);
  if (!session.Start(false)) {
    return kExitNoEngineSet;
  }
  PrintSearchList(AllSearches(), json);
  return kExitOk;
}

int ShowSearch(const std::string& name, int sortKey, bool json) {
  Console console;
  Session session(console);
  int status = kExitOk;
  SavedSearch* search = OpenStoredSearch(session, console, name, &status);
  if (search != nullptr) {
    PrintResults(*search, sortKey, json);
  }
  return status;
}

int MarkSearchResult(const std::string& name, int number, int mark) {
  Console console;
  Session session(console);
  int status = kExitOk;
  SavedSearch* search = OpenStoredSearch(session, console, name, &status);
  if (search == nullptr) {
    return status;
  }
  std::lock_guard lock(App().resultsLock);
  int position = 0;
  for (const auto& result : search->current()) {
    if (++position == number) {
      search->MarkResult(*result, mark);
      return kExitOk;
    }
  }
  console.Say("the search \"%s\" has no result number %d", name.c_str(), number);
  return kExitUsage;
}

}  // namespace tulix::search_tool
