// The sort orders of a result list, as the results view, the browser library and the command
// line show it. A sort key is signed: 1..5 sort by that value (SearchResult::SortValue)
// descending, -1..-5 by the same value ascending. Sorting is stable, so results with equal
// values keep their list order.
//
// Thread safety: pure functions over the results given; the caller holds the results lock
// while the results may change.
#pragma once

#include <string>
#include <vector>

#include "results/result_list.h"

namespace tulix {

// The key a new view sorts by.
inline constexpr int kDefaultSortKey = kSortByCombined;

// One entry of the results list's sort menu.
struct SortCommand {
  const char* text;
  int key;
};
// In the order the menu shows them.
inline constexpr SortCommand kSortCommands[] = {
    {"Sort by rank", kSortByRank},
    {"Sort by % relevance", kSortByPercent},
    {"Sort by number of search engines", kSortByEngines},
    {"Sort by Tulix combined score", kSortByCombined},
    {"Sort by keywords found", kSortByKeywords},
};

// "Rank", "Engines", "Percentage", "Combined", "Keywords" for keys 1..5 (and -1..-5); "" for
// any other key.
const char* SortHeadingWord(int key);
// "Results: Sort by - <heading word>".
std::string SortHeadingText(int key);
// The percent column: "<percent>%".
std::string PercentText(const SearchResult& result);

// Sorts `results` by `key`, stably. Key 0 or an unknown key leaves the order as it is.
void SortResults(std::vector<SearchResult*>& results, int key);
// The results of `list` in the order of `key`.
std::vector<SearchResult*> SortedResults(const ResultList& list, int key);

}  // namespace tulix
