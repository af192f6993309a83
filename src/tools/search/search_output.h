// How tulix-search prints searches and results: plain text for people, JSON for scripts.
//
// Every result carries its number in the search's stored list (1, 2, ... in file order), which
// stays the same whatever the sort, so that `--mark NAME NUMBER` names the result a listing
// showed.
#pragma once

#include <string>
#include <vector>

namespace tulix {
class SavedSearch;
}  // namespace tulix

namespace tulix::search_tool {

// Prints the search's current results sorted by `sortKey` (results/result_sort.h) on standard
// output. The caller holds no lock; the results lock is taken while the list is read.
void PrintResults(SavedSearch& search, int sortKey, bool json);

// One line per saved search (name, words, category, results), or a JSON array.
void PrintSearchList(const std::vector<SavedSearch*>& searches, bool json);

// The sort key for a name ("rank", "engines", "percent", "combined", "keywords"); 0 for none.
int SortKeyOf(const std::string& name);
// The mark for a name ("relevant", "ranked", "irrelevant"); -1 for none.
int MarkOf(const std::string& name);

}  // namespace tulix::search_tool
