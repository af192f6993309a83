// A saved search: a leaf of the tree of searches that holds the search words and options, the
// results of its last run and one file on disk (searches folder + "\" + path + ".ini"). The
// file's `Main` and `ResultSummary` sections hold the settings; its `results` section lists the
// saved results in order, each of which has a section of its own named by its index.
//
// While a search runs, its search jobs hand it hits on their worker threads (AddEngineHit);
// hits with the address of a result already found are merged into it, hits with the address of
// a result of the previous run revive that result (keeping the user's mark and visit time),
// any other hit becomes a new result.
//
// Ownership: the tree of searches owns the node; the search owns its two lists and the results
// in them. The change listener is not owned and must outlive its registration.
//
// Thread safety: every member that reads or changes the lists, the scores or Found takes the
// results lock (TulixApplication::resultsLock) itself. AddEngineHit may be called from any
// thread; the rest runs on the user-interface thread. Code that walks current() or previous()
// must hold the results lock while it does.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "definitions/engine_definition.h"
#include "definitions/saved_search_node.h"
#include "engine/script_actions.h"
#include "engine/search_job.h"
#include "results/result_list.h"

namespace tulix {

class CategoryNode;
class SavedSearch;

// The options of a search, as the `Main` and `ResultSummary` sections of its file hold them.
struct SearchSettings {
  SearchSettings() = default;
  virtual ~SearchSettings() = default;
  SearchSettings(const SearchSettings&) = default;
  SearchSettings& operator=(const SearchSettings&) = default;

  std::string name = "_empty_";  // the search words as typed
  int type = kSearchAllWords;
  std::string category = "_empty_";
  int perEngine = -1;    // results wanted per engine; -1 = the category's value
  int engineCount = -1;  // engines to ask; -1 = the category's value
  int shopping = 50;     // shopping policy slider
  int found = 0;         // results found by the last run
};

// Told when a search's results change (a hit merged, a result added, the lists cleared for a
// new run). Called with the results lock held, often on a job's worker thread: it must return
// quickly and must not wait for another thread that may want the lock (post a message to the
// view instead of updating it there).
class SearchChangeListener {
 public:
  virtual ~SearchChangeListener() = default;
  virtual void SearchChanged(SavedSearch& search) = 0;
};

// How a submission ended.
enum class SubmitOutcome {
  kStarted,           // search jobs were handed to the job manager
  kWaitingForUpdate,  // an upgrade job checks the engines first and submits the search again
  kUnknownCategory,   // the search's category is not installed; nothing was submitted
  kNoEngine,          // no engine of the category may be asked; the old results stay
};

// What the front end (the desktop program's views, the command line) does when a search changes
// state. Registered as App().searchView; every call comes on the main thread.
class SearchViewHooks {
 public:
  virtual ~SearchViewHooks() = default;
  // A submission ended; with kStarted the view shows the search (its list was just emptied).
  virtual void SearchSubmitted(SavedSearch& search, SubmitOutcome outcome) {
    (void)search;
    (void)outcome;
  }
  // The last job of the search ended and the search was stored (`stored` false: it could not
  // be written).
  virtual void SearchCompleted(SavedSearch& search, bool stored) {
    (void)search;
    (void)stored;
  }
  // The search's file was removed: a view that shows the search empties.
  virtual void SearchFileDeleted(SavedSearch& search) { (void)search; }
  // Shows the property sheet on `copy`; true when the user pressed OK.
  virtual bool EditSearchProperties(SearchSettings& copy) {
    (void)copy;
    return false;
  }
};

class SavedSearch : public SavedSearchNode, public SearchJobTarget {
 public:
  SavedSearch() = default;
  ~SavedSearch() override = default;

  // Uses `file` as the search's file instead of the one its place in the tree gives (a search
  // kept outside a tree). Call before anything reads the file.
  void SetFilePath(std::string file) { m_explicitFile = std::move(file); }
  // The search file, which also holds the results.
  std::string ResultsFile() const;

  std::string CategoryName() const override { return settings.category; }
  // Reads or writes `Main` and `ResultSummary`.
  bool Load() override;
  bool Save() override;
  void LoadSettings();
  bool SaveSettings();
  // "<name> (<found> results)".
  std::string Title() const;
  // What the engines need to know of this search. A search that has not chosen its results
  // per engine keeps the engines' default.
  SearchQuery Query() const override;

  // Hits of a search job pass the application's result filter with this search's Shopping
  // value, then AddEngineHit.
  std::unique_ptr<HitSink> MakeHitSink() override;
  // Counts the engines that have finished in this run, then JobFinished (main thread).
  void EngineFinished(CJob& job, int code) override;
  int EnginesFinished() const { return m_enginesFinished; }
  // Engines of this run that ended without success: a failed fetch, a stop, or an error page
  // (status 400 and above) as their last answer.
  int EnginesFailed() const { return m_enginesFailed; }

  // ---- submission (main thread) ----

  // A new search from `settings` under `folder` of App().searchTree (null: the top). Engines and
  // results per engine left at -1 take the category's values. The node is named by the local
  // time ("%Y%m%d%H%M%S"); when that name is taken, here or by another process, the next free
  // second is used. The settings are saved at once. Null when no file could be made.
  static SavedSearch* CreateSearch(const SearchSettings& settings, TreeNode* folder = nullptr);

  // Chooses the engines and starts a search job for each; with `checkUpdates`, a category
  // whose update check is due is checked first and the search waits for it.
  SubmitOutcome Submit(bool checkUpdates);
  // A search job of this search for `engine`, handed to the job manager.
  void StartJob(const EngineDefinition& engine);
  // One job of the search ended (each job is counted once); after the last one the results
  // and settings are stored and the view is told.
  void JobFinished(CJob& job);
  // Stops every job of this search: running ones are asked to stop (they end through
  // JobFinished), the others are counted as finished and removed.
  void Cancel();
  // The property sheet on a copy of the settings; on OK the settings are taken, saved and the
  // search submitted again. False when there is no sheet or the user cancelled.
  bool EditProperties();
  // Removes the search's file and tells the view.
  bool DeleteFile();
  // A title or summary part with each of the search words in its text marked (see
  // MarkSearchWords in search_result.h); the format is "<r>%s</r>" unless changed.
  std::string HighlightSearchWords(std::string_view text) const;
  void SetHighlightFormat(std::string format) { m_highlightFormat = std::move(format); }
  // The engines the last submission left out because they failed their last searches.
  const std::vector<std::string>& RestingEngines() const { return m_restingEngines; }
  // EngineCount, or the category's when it is -1 (-1 when the category is not installed).
  int EngineCountWanted() const;
  // False when the last completed run could not be stored.
  bool LastRunStored() const { return m_lastRunStored; }

  // Merges one accepted hit into the current list (see the file comment), raises Found for a
  // new or revived result, scores the result and tells the listener. Any thread.
  void AddEngineHit(const EngineHit& hit);
  // Counts the search words and bad keywords in the result's plain text into its percent and
  // keywords scores. Takes time linear in the text and the search words.
  void ScoreKeywords(SearchResult& result);
  // Deletes the result from the file and the current list and rewrites the `results` list.
  // `redisplay` tells the listener afterwards.
  void DeleteResult(SearchResult& result, bool redisplay = false);
  // Writes the result's section when it has an index; nothing otherwise.
  void SaveResult(SearchResult& result);
  // Sets the user's mark (kMarkRanked, kMarkRelevant or kMarkIrrelevant; false for any other
  // value) and saves the result, so that a mark set after the search has finished is kept.
  bool MarkResult(SearchResult& result, int mark);
  // Before the search runs again: the current results become the previous ones (their
  // sections leave the file) and the current list starts empty, with Found 0.
  void PrepareRerun();

  // Reads the saved results into the current list, once. Entries that name no usable result
  // (a missing section, one without an address, an index listed twice) are passed over.
  void LoadResults();
  // Writes every current result, in order, giving unsaved ones the next free index. Returns
  // false when the file could not be written.
  bool SaveAllResults();
  // Writes the results and the settings of a finished run in one replacement of the file, so
  // that a crash or a failed write leaves either the old search or the new one, never the new
  // results under the old count. False when the file could not be written (it is left as it was).
  bool SaveResultsAndSettings();

  // Registers the listener (null: none).
  void SetChangeListener(SearchChangeListener* listener);

  // The lists; hold the results lock while using them.
  ResultList& current() { return m_current; }
  ResultList& previous() { return m_previous; }
  int Found() const;

  // Guarded by the results lock while jobs of the search run: scoring reads the name, and
  // merging raises found.
  SearchSettings settings;
  int runningJobs = 0;
  int resultsLoaded = 0;

 private:
  // The search words, lower-cased, with how often each was given.
  const std::unordered_map<std::string, int>& SearchWordCounts(int* wordCount);
  void TellListener();
  // The writes of SaveSettings and SaveAllResults into `file`, for the caller's ProfileBatch
  // to commit; false when one of them was refused.
  bool WriteSettings(const std::string& file);
  bool WriteAllResults(const std::string& file);
  SearchResult& ReviveOrCreate(const EngineHit& hit, const std::string& href);

  // What a submission decided, with the category tree held: the engines to ask in the order
  // they start, or the upgrade job to wait for.
  struct EngineChoice {
    SubmitOutcome outcome = SubmitOutcome::kStarted;
    std::vector<const EngineDefinition*> engines;
    CategoryNode* upgradeCategory = nullptr;
    std::string upgradeNames;  // each followed by "|"; empty: the category alone
    std::vector<std::string> resting;  // engines left out for failing their last searches
  };
  EngineChoice ChooseWebEngines(CategoryNode& web, bool checkUpdates);
  EngineChoice ChooseCategoryEngines(CategoryNode& category, bool checkUpdates);

  std::string m_explicitFile;
  std::string m_highlightFormat = "<r>%s</r>";
  std::unordered_set<int> m_countedJobs;  // main thread: ids of the jobs JobFinished counted
  std::vector<std::string> m_restingEngines;  // main thread
  bool m_lastRunStored = true;
  // Guarded by the results lock.
  ResultList m_current;
  ResultList m_previous;
  SearchChangeListener* m_listener = nullptr;
  int m_enginesFinished = 0;  // main thread
  int m_enginesFailed = 0;    // main thread
  // The words of the name the counts were made from, so they are split once per name.
  std::string m_countedName;
  std::unordered_map<std::string, int> m_searchWordCounts;
  int m_searchWordTotal = 0;
};

// The saved search whose node name is `name`, depth first through App().searchTree; null when
// there is none.
SavedSearch* FindSearch(std::string_view name);
// The first saved search (tree order) with the same words, type and category as `settings`;
// when there is none, a new one from `settings` at the top of the tree. Null when it could not
// be created.
SavedSearch* FindOrCreateSearch(const SearchSettings& settings);

// The tree of searches with SavedSearch leaves (search folders as folders), and its scan.
TreeNodeFactory SavedSearchTreeFactory();
std::unique_ptr<Tree> ScanSavedSearches();

}  // namespace tulix
