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
#include <unordered_map>

#include "definitions/engine_definition.h"
#include "definitions/saved_search_node.h"
#include "engine/script_actions.h"
#include "engine/search_job.h"
#include "results/result_list.h"

namespace tulix {

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
  // Counts the engines that have finished in this run (main thread).
  void EngineFinished(CJob& job, int code) override;
  int EnginesFinished() const { return m_enginesFinished; }

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
  SearchResult& ReviveOrCreate(const EngineHit& hit, const std::string& href);

  std::string m_explicitFile;
  // Guarded by the results lock.
  ResultList m_current;
  ResultList m_previous;
  SearchChangeListener* m_listener = nullptr;
  int m_enginesFinished = 0;  // main thread
  // The words of the name the counts were made from, so they are split once per name.
  std::string m_countedName;
  std::unordered_map<std::string, int> m_searchWordCounts;
  int m_searchWordTotal = 0;
};

}  // namespace tulix
