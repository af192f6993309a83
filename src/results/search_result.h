// One merged result of a saved search: the address that several engines may have returned,
// the names of those engines, the longest text any of them gave, and the scores the result is
// ranked by. Results are made from the hits of search jobs (merging hits with the same
// address) or read back from the search's results file, one section per result.
//
// Ownership: a result is owned by exactly one ResultList; `owner` is the search that holds
// that list (not owned, may be null).
//
// Thread safety: a result is guarded by the results lock (TulixApplication::resultsLock)
// together with the lists of its search. Merging runs on job threads under that lock; the
// display operations only read and may run on any thread that holds the lock or owns a copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/script_actions.h"

namespace tulix {

class SavedSearch;

// User marks.
inline constexpr int kMarkRanked = 0;
inline constexpr int kMarkRelevant = 1;
inline constexpr int kMarkIrrelevant = 2;

// Sort keys (SortValue); a view sorts by a signed key, positive descending.
inline constexpr int kSortByRank = 1;
inline constexpr int kSortByEngines = 2;
inline constexpr int kSortByPercent = 3;
inline constexpr int kSortByCombined = 4;
inline constexpr int kSortByKeywords = 5;

// A link's shown text is cut to this many characters, then "..." follows.
inline constexpr size_t kMaxLinkText = 50;

struct ResultScore {
  ResultScore() = default;
  virtual ~ResultScore() = default;
  ResultScore(const ResultScore&) = default;
  ResultScore& operator=(const ResultScore&) = default;

  // Back to the state of a result that no hit has reached yet; the user's mark stays.
  void Reset();

  int percent = -1;  // share of the search words found, 0..100; -1 = not yet computed
  int keywords = 0;  // search-word hits minus bad-keyword penalties; may be negative
  int rank = 0;      // sum of the positions of the merged hits
  int engines = 0;   // hits merged (the same engine twice counts twice)
  int mark = kMarkRanked;
};

class SearchResult {
 public:
  // A result made from one hit: its engine, text, http address and position.
  explicit SearchResult(const EngineHit& hit);
  // A result read from section `sectionName` of `resultsFile`. Missing keys give their
  // defaults; a section name that is not a non-negative decimal number gives index -1 (the
  // result gets a fresh index when the search is next saved).
  SearchResult(const std::string& resultsFile, const std::string& sectionName);
  virtual ~SearchResult() = default;
  SearchResult(const SearchResult&) = delete;
  SearchResult& operator=(const SearchResult&) = delete;

  // Adds another hit with the same address: its engine's name when new, its text when longer,
  // its position to the rank, one to the engine count.
  void Merge(const EngineHit& hit);
  // The hit's http address equals `href` exactly.
  bool MatchesHit(const EngineHit& hit) const;

  // Writes the result into section `sectionName` of `resultsFile`. False when a key could not
  // be written.
  bool Save(const std::string& resultsFile, const std::string& sectionName) const;

  // The value a list is sorted by for `key` (kSortByRank ... kSortByKeywords); 0 for any other
  // key. Wide, so that scores read from a damaged file cannot overflow it.
  int64_t SortValue(int key) const;
  // One number from all the scores; a relevant mark lifts it by 10000, an irrelevant one
  // lowers it by as much. Held within the range of int.
  int CombinedScore() const;

  // Opens the result in the user's browser (downloaded first when its first engine is marked
  // local), notes the visit time from the clock and has the owner save the result.
  void Visit();
  // Whether the engine named first in `engines` is marked local (the page is downloaded before
  // it is shown). False when no engine of that name exists.
  bool OpensLocally() const;

  // The texts the results view and the browser library show, taken from the marked-up text.
  std::string ResultTitle() const;
  std::string ResultSummaryText() const;
  std::string ResultPlainText() const;
  // Every engine name followed by `separator`.
  std::string EngineNames(std::string_view separator) const;
  std::string DisplayHtml() const;
  std::string LinkHtml() const;

  // Adds `name` to `engines` when it is not there yet.
  void AddEngineName(const std::string& name);

  int index = -1;  // section number in the results file; -1 while unsaved
  // The merge key. Never changed while the result is in a list: the list indexes by it.
  std::string href;
  std::vector<std::string> engines;  // in order of first arrival, each once
  ResultScore score;
  SavedSearch* owner = nullptr;
  int64_t visited = -1;  // seconds since 1970; -1 = never
  std::string text;      // marked-up text as the engine script collected it

 private:
  friend class ResultList;
  uint64_t m_listOrder = 0;  // set by the owning list: larger for later appends
};

// The same texts made from a result's marked-up text alone, for a view that copied the text
// out of the list and draws it later, without the results lock.
std::string ResultTitleOf(const std::string& text);
std::string ResultSummaryTextOf(const std::string& text);
std::string DisplayHtmlOf(const std::string& text);
// A title or summary part with the search words marked by `format` (one "%s") in its text
// only, never inside a tag such as its link; the engine script's own marks ("<r>") give way.
std::string MarkSearchWords(std::string_view part, std::string_view searchWords,
                            std::string_view format);

// The engine name a hit contributes: its definition's display name.
std::string EngineNameOf(const EngineHit& hit);

}  // namespace tulix
