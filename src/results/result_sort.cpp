#include "results/result_sort.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "base/decimal_number.h"

namespace tulix {

const char* SortHeadingWord(int key) {
  switch (std::abs(key)) {
    case kSortByRank:
      return "Rank";
    case kSortByEngines:
      return "Engines";
    case kSortByPercent:
      return "Percentage";
    case kSortByCombined:
      return "Combined";
    case kSortByKeywords:
      return "Keywords";
    default:
      return "";
  }
}

std::string SortHeadingText(int key) {
  return std::string("Results: Sort by - ") + SortHeadingWord(key);
}

std::string PercentText(const SearchResult& result) {
  return DecimalText(result.score.percent) + "%";
}

void SortResults(std::vector<SearchResult*>& results, int key) {
  const int valueKey = std::abs(key);
  if (valueKey < kSortByRank || valueKey > kSortByKeywords) {
    return;
  }
  // Each value is worked out once (the combined score takes square roots), and compared, not
  // subtracted, so values from a damaged file cannot overflow the comparison.
  std::vector<std::pair<int64_t, SearchResult*>> keyed;
  keyed.reserve(results.size());
  for (SearchResult* result : results) {
    keyed.emplace_back(result->SortValue(valueKey), result);
  }
  if (key > 0) {
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
  } else {
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
  }
  for (size_t i = 0; i < keyed.size(); ++i) {
    results[i] = keyed[i].second;
  }
}

std::vector<SearchResult*> SortedResults(const ResultList& list, int key) {
  std::vector<SearchResult*> results;
  results.reserve(list.size());
  for (const auto& result : list) {
    results.push_back(result.get());
  }
  SortResults(results, key);
  return results;
}

}  // namespace tulix
