// How a saved search is created, found again, submitted to the engines, counted while its jobs
// run, cancelled and removed. Everything here runs on the main thread.
#include <algorithm>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/search_folder.h"
#include "definitions/tree_scan.h"
#include "engine/search_job.h"
#include "jobs/job_manager.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "results/result_filter.h"
#include "results/saved_search.h"
#include "results/search_result.h"
#include "update/upgrade_job.h"

namespace tulix {
namespace {

// The name of the category a web search runs in.
constexpr char kWebCategory[] = "web";
// Engines at or above this priority do not run in a web search, and their categories are not
// asked along with the web category.
constexpr int kPriorityLimit = 100000;
// How many seconds past a taken name a new search looks for a free one.
constexpr int kMaxNameTries = 3600;

SearchViewHooks* View() {
  return HasApp() ? App().searchView.get() : nullptr;
}

// "%Y%m%d%H%M%S" of the local time `seconds` since 1970.
std::string TimeName(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&time, &local);
  char text[32];
  if (std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local) == 0) {
    return {};
  }
  return text;
}

// Engines ordered by their priority for the search: a new one goes before the first entry
// whose priority is strictly greater, so equal priorities keep the order they were met in.
class EngineOrderList {
 public:
  void Insert(const EngineDefinition& engine, int priority) {
    auto place = std::upper_bound(
        m_entries.begin(), m_entries.end(), priority,
        [](int value, const Entry& entry) { return value < entry.priority; });
    m_entries.insert(place, Entry{&engine, priority});
  }
  // The first `wanted` entries (all when there are fewer), less those at or above `limit`.
  std::vector<const EngineDefinition*> First(int wanted, int limit) const {
    std::vector<const EngineDefinition*> chosen;
    const size_t count = std::min(m_entries.size(), static_cast<size_t>(std::max(wanted, 0)));
    for (size_t i = 0; i < count; ++i) {
      if (m_entries[i].priority < limit) {
        chosen.push_back(m_entries[i].engine);
      }
    }
    return chosen;
  }
  bool empty() const { return m_entries.empty(); }

 private:
  struct Entry {
    const EngineDefinition* engine;
    int priority;
  };
  std::vector<Entry> m_entries;
};

// Looks at one engine for a search: remembers whether it has a domain list and, when the
// search may ask it, puts it in the order list with its priority for the search.
class EngineChooser {
 public:
  EngineChooser(const SearchSettings& settings, SearchQuery query)
      : m_settings(settings), m_query(std::move(query)) {}

  void Consider(EngineDefinition& engine) {
    if (!engine.Data()->DomainList().empty()) {
      m_metDomainList = true;
    }
    // An engine that failed its last searches rests for a while rather than hold every search
    // up to its time limit again.
    if (App().settings().EngineTimeout > 0 && engine.Resting(GetClock().Now())) {
      m_resting.push_back(engine.DisplayName());
      return;
    }
    const ResultFilter* filter = App().resultFilter.get();
    if (filter != nullptr ? !filter->EngineUsable(engine, m_settings) : !engine.IsEngineUsable()) {
      return;
    }
    engine.ComputePriority(m_query);
    m_list.Insert(engine, engine.priority());
    m_usable = true;
  }

  // The domain warning: engines with domain lists, and the user has named no domains.
  void WarnAboutDomains() const {
    if (m_metDomainList && App().settings().MyDomains.empty()) {
      LogMessage(kLogStatusBar, kLogWarning,
                 "Please set some domains in your profile for better results");
    }
  }

  const EngineOrderList& list() const { return m_list; }
  bool usable() const { return m_usable; }
  std::vector<std::string> TakeResting() { return std::move(m_resting); }

 private:
  const SearchSettings& m_settings;
  const SearchQuery m_query;
  EngineOrderList m_list;
  bool m_metDomainList = false;
  bool m_usable = false;
  std::vector<std::string> m_resting;
};

// The engine definitions directly inside `folder`, or anywhere below it with `recurse`.
std::vector<EngineDefinition*> EnginesOf(const TreeNode* folder, bool recurse) {
  std::vector<EngineDefinition*> engines;
  for (TreeNode* node : Tree::Collect(folder, recurse, false)) {
    if (auto* engine = dynamic_cast<EngineDefinition*>(node)) {
      engines.push_back(engine);
    }
  }
  return engines;
}

int WantedOrDefault(int wanted, const std::string& categoryName) {
  if (wanted == -1) {
    LogMessage(0, kLogPlain, "Desired Search Engine Count unset for %s", categoryName.c_str());
    return App().settings().DefaultEngineCount;
  }
  return wanted;
}

}  // namespace

// ---- creating and finding ----

SavedSearch* SavedSearch::CreateSearch(const SearchSettings& settings, TreeNode* folder) {
  Tree* tree = App().searchTree.get();
  if (folder == nullptr) {
    if (tree == nullptr) {
      return nullptr;
    }
    folder = tree->root();
  }
  auto search = std::make_unique<SavedSearch>();
  search->settings = settings;
  {
    auto hold = ReadCategoryTree();
    if (const CategoryNode* category = FindCategoryByName(settings.category)) {
      if (search->settings.engineCount == -1) {
        search->settings.engineCount = category->EngineCount();
      }
      if (search->settings.perEngine == -1) {
        search->settings.perEngine = category->PerEngine();
      }
    }
  }
  // The file is claimed by creating it, so neither a search of this program nor one of
  // another process started in the same second can take the same name.
  const std::string directory = FolderDirectory(GetSearchesFolder(), folder);
  MakeFolders(directory);
  const int64_t now = GetClock().Now();
  std::string name;
  bool named = false;
  for (int tries = 0; tries < kMaxNameTries && !named; ++tries) {
    name = TimeName(now + tries);
    if (name.empty() || FindChild(folder, name) != nullptr) {
      continue;
    }
    const NewFileResult claimed = CreatePrivateFile(JoinPath(directory, name + ".ini"), "");
    named = claimed != NewFileResult::kNameTaken;
    if (claimed == NewFileResult::kFailed) {
      // The search can still run and show its results; storing them will fail and say so.
      LogMessage(kLogStatusBar, kLogError, "Cannot create a search file in %s",
                 directory.c_str());
      break;
    }
  }
  if (!named) {
    return nullptr;
  }
  auto* added = static_cast<SavedSearch*>(AddChild(folder, name, std::move(search)));
  added->SaveSettings();
  return added;
}

SavedSearch* FindSearch(std::string_view name) {
  if (!HasApp() || App().searchTree == nullptr) {
    return nullptr;
  }
  for (TreeNode* node : Tree::Collect(App().searchTree->root(), true, false)) {
    auto* search = dynamic_cast<SavedSearch*>(node);
    if (search != nullptr && search->name == name) {
      return search;
    }
  }
  return nullptr;
}

SavedSearch* FindOrCreateSearch(const SearchSettings& settings) {
  if (!HasApp() || App().searchTree == nullptr) {
    return nullptr;
  }
  for (TreeNode* node : Tree::Collect(App().searchTree->root(), true, false)) {
    auto* search = dynamic_cast<SavedSearch*>(node);
    if (search == nullptr) {
      continue;
    }
    std::lock_guard lock(App().resultsLock);
    if (search->settings.category == settings.category &&
        search->settings.type == settings.type && search->settings.name == settings.name) {
      return search;
    }
  }
  return SavedSearch::CreateSearch(settings);
}

TreeNodeFactory SavedSearchTreeFactory() {
  TreeNodeFactory factory = SearchTreeFactory();
  factory.createLeaf = [](const std::string&) -> std::unique_ptr<TreeNode> {
    return std::make_unique<SavedSearch>();
  };
  return factory;
}

std::unique_ptr<Tree> ScanSavedSearches() {
  return ScanTree(GetSearchesFolder(), SavedSearchTreeFactory());
}

// ---- submitting ----

int SavedSearch::EngineCountWanted() const {
  int engineCount;
  std::string categoryName;
  {
    std::lock_guard lock(App().resultsLock);
    engineCount = settings.engineCount;
    categoryName = settings.category;
  }
  if (engineCount != -1) {
    return engineCount;
  }
  auto hold = ReadCategoryTree();
  const CategoryNode* category = FindCategoryByName(categoryName);
  return category != nullptr ? category->EngineCount() : -1;
}

SubmitOutcome SavedSearch::Submit(bool checkUpdates) {
  SearchSettings current;
  {
    std::lock_guard lock(App().resultsLock);
    current = settings;
  }
  LogMessage(0, kLogPlain, "Submit job %s", current.name.c_str());
  EngineChoice choice;
  {
    auto hold = ReadCategoryTree();
    CategoryNode* category = FindCategoryByName(current.category);
    if (category == nullptr) {
      LogMessage(0, kLogError, "Cannot search as search category %s does not exist",
                 current.category.c_str());
      choice.outcome = SubmitOutcome::kUnknownCategory;
    } else if (category->name == kWebCategory) {
      choice = ChooseWebEngines(*category, checkUpdates);
    } else {
      choice = ChooseCategoryEngines(*category, checkUpdates);
    }
  }
  // Jobs are added with the category tree released: the job manager's lock is never taken
  // inside it.
  const SubmitOutcome outcome = choice.outcome;
  m_restingEngines = std::move(choice.resting);
  const std::vector<const EngineDefinition*>& engines = choice.engines;
  if (outcome == SubmitOutcome::kWaitingForUpdate) {
    auto job = std::make_shared<CUpgradeCategoryJob>(choice.upgradeCategory,
                                                     std::move(choice.upgradeNames));
    job->SetWaitingSearch(name);
    App().jobManager->AddJob(job);
  }
  if (outcome == SubmitOutcome::kStarted) {
    // The old results move aside before any job can hand in its first hit.
    PrepareRerun();
    m_countedJobs.clear();
    m_enginesFinished = 0;
    m_enginesFailed = 0;
    for (const EngineDefinition* engine : engines) {
      StartJob(*engine);
    }
  }
  if (SearchViewHooks* view = View()) {
    view->SearchSubmitted(*this, outcome);
  }
  return outcome;
}

SavedSearch::EngineChoice SavedSearch::ChooseWebEngines(CategoryNode& web, bool checkUpdates) {
  EngineChoice choice;
  const SearchQuery query = Query();
  // The web category, then the category of every engine of the tree the words suit.
  std::vector<CategoryNode*> candidates = {&web};
  for (EngineDefinition* engine : EnginesOf(App().categoryTree->root(), true)) {
    engine->ComputePriority(query);
    CategoryNode* category = engine->Category();
    if (engine->priority() < kPriorityLimit && category != nullptr &&
        std::find(candidates.begin(), candidates.end(), category) == candidates.end()) {
      candidates.push_back(category);
    }
  }
  if (checkUpdates) {
    std::string due;
    for (const CategoryNode* category : candidates) {
      if (category->NeedsUpdateCheck()) {
        due += category->name + "|";
      }
    }
    if (!due.empty() && App().jobManager != nullptr) {
      choice.outcome = SubmitOutcome::kWaitingForUpdate;
      choice.upgradeCategory = &web;
      choice.upgradeNames = std::move(due);
      return choice;
    }
  }
  EngineChooser chooser(settings, query);
  for (const CategoryNode* category : candidates) {
    for (EngineDefinition* engine : EnginesOf(category, false)) {
      chooser.Consider(*engine);
    }
  }
  // A web category without a count of its own asks as many engines as the user's default,
  // as every other category does; otherwise it would ask none.
  const int wanted = WantedOrDefault(EngineCountWanted(), web.name);
  choice.engines = chooser.list().First(wanted, kPriorityLimit);
  choice.resting = chooser.TakeResting();
  chooser.WarnAboutDomains();
  if (choice.engines.empty()) {
    // Starting nothing would empty the search and never store it again.
    LogMessage(0, kLogError, "Cannot search as no search engines exist in category %s",
               web.name.c_str());
    choice.outcome = SubmitOutcome::kNoEngine;
  }
  return choice;
}

SavedSearch::EngineChoice SavedSearch::ChooseCategoryEngines(CategoryNode& category,
                                                              bool checkUpdates) {
  EngineChoice choice;
  if (checkUpdates && category.NeedsUpdateCheck() && App().jobManager != nullptr) {
    choice.outcome = SubmitOutcome::kWaitingForUpdate;
    choice.upgradeCategory = &category;
    return choice;
  }
  const int wanted = WantedOrDefault(EngineCountWanted(), category.name);
  EngineChooser chooser(settings, Query());
  for (EngineDefinition* engine : EnginesOf(&category, true)) {
    chooser.Consider(*engine);
  }
  chooser.WarnAboutDomains();
  choice.resting = chooser.TakeResting();
  if (!chooser.usable()) {
    LogMessage(0, kLogError, "Cannot search as no search engines exist in category %s",
               category.name.c_str());
    choice.outcome = SubmitOutcome::kNoEngine;
    return choice;
  }
  choice.engines = chooser.list().First(wanted, std::numeric_limits<int>::max());
  return choice;
}

void SavedSearch::StartJob(const EngineDefinition& engine) {
  auto job = std::make_shared<CSearchJob>(engine, *this);
  ++runningJobs;
  App().jobManager->AddJob(job);
}

void SavedSearch::JobFinished(CJob& job) {
  if (!m_countedJobs.insert(job.JobId()).second) {
    return;
  }
  if (--runningJobs > 0) {
    return;
  }
  runningJobs = 0;
  // The settings carry the new Found; they are stored with the results, before the view hears
  // of the end, so that what it shows is what the file holds.
  m_lastRunStored = SaveResultsAndSettings();
  std::string name;
  {
    std::lock_guard lock(App().resultsLock);
    name = settings.name;
  }
  LogMessage(0, kLogPlain, "Search \"%s\" complete", name.c_str());
  if (!m_lastRunStored) {
    LogMessage(kLogStatusBar, kLogError, "Could not store the search \"%s\" in %s",
               name.c_str(), ResultsFile().c_str());
  }
  if (SearchViewHooks* view = View()) {
    view->SearchCompleted(*this, m_lastRunStored);
  }
}

void SavedSearch::Cancel() {
  CJobManager* manager = App().jobManager.get();
  if (manager == nullptr) {
    return;
  }
  std::vector<std::shared_ptr<CJob>> mine;
  for (size_t i = 0; i < manager->JobCount(); ++i) {
    std::shared_ptr<CJob> job = manager->JobAt(i);
    auto* searchJob = dynamic_cast<CSearchJob*>(job.get());
    if (searchJob != nullptr && &searchJob->Search() == this) {
      mine.push_back(std::move(job));
    }
  }
  for (const std::shared_ptr<CJob>& job : mine) {
    if (job->HasThread()) {
      job->SetStatusText("COMPLETE - Failure");
      manager->StopJob(*job, 0);
    } else {
      JobFinished(*job);
      manager->DeleteJob(manager->IndexOf(job.get()));
    }
  }
}

bool SavedSearch::EditProperties() {
  SearchViewHooks* view = View();
  SearchSettings copy;
  {
    std::lock_guard lock(App().resultsLock);
    copy = settings;
  }
  if (view == nullptr || !view->EditSearchProperties(copy)) {
    return false;
  }
  {
    std::lock_guard lock(App().resultsLock);
    settings = copy;
  }
  SaveSettings();
  Submit(true);
  return true;
}

bool SavedSearch::DeleteFile() {
  const std::string file = ResultsFile();
  const bool removed = RemoveFile(file) || !FileExists(file);
  if (SearchViewHooks* view = View()) {
    view->SearchFileDeleted(*this);
  }
  return removed;
}

std::string SavedSearch::HighlightSearchWords(std::string_view text) const {
  std::string words;
  {
    std::lock_guard lock(App().resultsLock);
    words = settings.name;
  }
  return MarkSearchWords(text, words, m_highlightFormat);
}

}  // namespace tulix
