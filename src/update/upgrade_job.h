// CUpgradeCategoryJob: the job that asks the update server which files of a category are new or
// changed since the stamps the program holds, downloads each, hands it to the installer for its
// kind, and records the newest stamp so that the next check asks only for later changes.
//
// Downloaded files are installed only below the categories folder and never run. The work is
// bounded: the list and each file have a size cap, and the whole run a time limit after which
// the files not yet fetched count as failed.
//
// Ownership: the job refers to its category node, which the category tree owns and never frees
// while the program runs (installs never delete nodes). A waiting search is not owned either.
//
// Thread safety: the constructor, Start, OnFinished and the queries run on the main thread; the
// work routine runs on the worker and touches only the job's own run fields (m_files,
// m_newestStamp, m_keywordsChanged), the network and the installers. The main thread reads
// those only in OnFinished, after the worker has posted its result.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "jobs/job.h"
#include "update/update_fetch.h"
#include "update/upgrade_list.h"

namespace tulix {

class CategoryNode;
class SavedSearch;

// Limits of one upgrade run.
inline constexpr size_t kMaxUpgradeListBytes = 16 * 1024 * 1024;
inline constexpr size_t kMaxUpgradeFileBytes = 4 * 1024 * 1024;
inline constexpr std::chrono::minutes kDefaultUpgradeTimeLimit{10};

// What the job needs of the views and of the search submission; each may be left empty.
struct UpgradeJobHooks {
  // Shows a job's row in the tasks pane (columns Engine, Task, Item, State).
  std::function<void(int jobId, const std::string& engine, const std::string& task,
                     const std::string& item, const std::string& state)>
      showTaskRow;
  // The category tree may have changed: rebuild its view.
  std::function<void()> rebuildCategoryTree;
  // Submits the search of this node name again, without an update check. The job keeps the
  // name, not the search: the user may delete the search while the check runs.
  std::function<void(const std::string& searchName)> resubmitSearch;
};
// Installs the hooks (main thread, before jobs run).
void SetUpgradeJobHooks(UpgradeJobHooks hooks);
// The hooks installed now (so a front end can add its own to the core's).
UpgradeJobHooks CurrentUpgradeJobHooks();

// The browser library runs the jobs: they ask for the list with "b=1", are named without the
// category list and skip the entries that are web pages (there is no window to open them in).
// Set once, before the first job is made.
void RunUpgradeJobsInBrowserLibrary(bool inLibrary);

// Makes categories whose update check is due (CategoryNode::StartUpdateIfNeeded) add an upgrade
// job for themselves to App().jobManager. Called once by the code that builds the application.
void InstallUpgradeJobStarter();

class CUpgradeCategoryJob : public CJob {
 public:
  // `category` may be null: the job then checks the category "web" (a full download into a
  // program that has none yet) and finds its node by name once it is installed.
  explicit CUpgradeCategoryJob(CategoryNode* category);
  // `categoryNames`: the names to check, each followed by "|".
  CUpgradeCategoryJob(CategoryNode* category, std::string categoryNames);

  // A full download of the "web" category (start-up without engines, the engine-update
  // command): asks for every file, whatever stamps are held.
  static std::shared_ptr<CUpgradeCategoryJob> MakeFullDownload();

  std::string GetName() const override;
  int Start(WindowHandle notifyWindow) override;
  void OnFinished(int code) override;
  bool UpgradesCategory(const std::string& categoryName) const override;

  void SetFullDownload(bool full) { m_fullDownload = full; }
  bool FullDownload() const { return m_fullDownload; }
  // The search to submit again when the job ends (main thread), by its node name: the job
  // keeps no pointer to a search the user may delete while the check runs.
  void SetWaitingSearch(std::string searchName) { m_waitingSearch = std::move(searchName); }
  const std::string& WaitingSearch() const { return m_waitingSearch; }
  // Limits the whole run (tests shorten it).
  void SetTimeLimit(std::chrono::milliseconds limit) { m_timeLimit = limit; }

  // Runs the whole check on the calling thread and returns its result, without posting it
  // (benchmarks and tools that have no job manager).
  int RunHere() {
    SetRunning(kJobRunning);  // what a worker would have set: the stop checks look at it
    const int code = Run();
    SetRunning(kJobFinished);
    return code;
  }

  // The run's outcome, for the main thread after the result arrived.
  const std::string& NewestStamp() const { return m_newestStamp; }
  bool KeywordsChanged() const { return m_keywordsChanged; }
  const std::vector<UpgradeFileEntry>& Files() const { return m_files; }
  const std::string& CategoryName() const { return m_categoryName; }

 protected:
  void ShowStatusText(const std::string& text) override;

 private:
  static void WorkRoutine(CJob& job);
  int Run();
  bool FetchList();
  // Steps of the walk over the list for the entry at `index`; false when something failed.
  bool OpenWebPage(const UpgradeFileEntry& entry);
  bool EnsureCategoryOf(size_t& index);
  bool Download(const UpgradeFileEntry& entry);
  bool Install(const UpgradeFileEntry& entry, const std::string& data);
  UpgradeListQuery BuildQuery() const;
  CategoryNode* Category() const;
  bool OutOfTime() const;

  CategoryNode* m_category;
  std::string m_categoryName;   // the category's name when the job was made
  std::string m_categoryNames;  // names each followed by "|", or empty
  bool m_fullDownload = false;
  bool m_inBrowserLibrary;
  std::string m_waitingSearch;  // empty: none
  std::chrono::milliseconds m_timeLimit = kDefaultUpgradeTimeLimit;

  // The run's fields: the worker writes them, the main thread reads them in OnFinished.
  std::vector<UpgradeFileEntry> m_files;
  std::string m_newestStamp;
  bool m_keywordsChanged = false;
  UpdateClock::time_point m_deadline;
};

}  // namespace tulix
