#include "tools/search/search_output.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/application.h"
#include "base/decimal_number.h"
#include "engine/page_scanner.h"
#include "platform/paths.h"
#include "results/result_sort.h"
#include "results/saved_search.h"
#include "tools/common/text_output.h"

namespace tulix::search_tool {
namespace {

// A summary longer than this is cut in the text listing (JSON carries it whole).
constexpr size_t kSummaryWidth = 160;

const char* MarkName(int mark) {
  switch (mark) {
    case kMarkRelevant:
      return "relevant";
    case kMarkIrrelevant:
      return "irrelevant";
    default:
      return "ranked";
  }
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  tools::AppendJsonText(out, text);
  return out + "\"";
}

// The text of marked-up result text (the title or summary the results view shows as HTML):
// tags dropped, entities decoded, runs of blanks made one.
std::string PlainText(const std::string& markup) {
  PageScanner scanner(markup);
  std::string text;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    if (token->tagId() == kTextTokenId) {
      text += token->text();
      text += ' ';
    }
  }
  std::string plain;
  for (char c : DecodeEntities(text)) {
    const bool blank = static_cast<unsigned char>(c) <= ' ';
    if (!blank) {
      plain += c;
    } else if (!plain.empty() && plain.back() != ' ') {
      plain += ' ';
    }
  }
  while (!plain.empty() && plain.back() == ' ') {
    plain.pop_back();
  }
  return plain;
}

std::string Title(const SearchResult& result) {
  return PlainText(result.ResultTitle());
}
std::string Summary(const SearchResult& result) {
  return PlainText(result.ResultSummaryText());
}

// Control characters (line ends inside a page's text) would break a line of the listing.
std::string OneLine(const std::string& text, size_t width) {
  std::string line;
  for (char c : text) {
    line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  if (line.size() > width) {
    line.resize(width - 3);
    line += "...";
  }
  return line;
}

std::string ResultJson(const SearchResult& result, int number) {
  std::string engines = "[";
  for (size_t i = 0; i < result.engines.size(); ++i) {
    if (i > 0) {
      engines += ',';
    }
    engines += JsonString(result.engines[i]);
  }
  engines += "]";
  return "{\"number\":" + DecimalText(number) + ",\"title\":" + JsonString(Title(result)) +
         ",\"address\":" + JsonString(result.href) + ",\"engines\":" + engines +
         ",\"rank\":" + DecimalText(result.score.rank) +
         ",\"percent\":" + DecimalText(result.score.percent) +
         ",\"keywords\":" + DecimalText(result.score.keywords) +
         ",\"combined\":" + DecimalText(result.CombinedScore()) +
         ",\"mark\":" + JsonString(MarkName(result.score.mark)) +
         ",\"summary\":" + JsonString(Summary(result)) + "}";
}

std::string EngineList(const SearchResult& result) {
  std::string names;
  for (const std::string& engine : result.engines) {
    names += (names.empty() ? "" : ", ") + engine;
  }
  return names;
}

void PrintResultText(const SearchResult& result, int number) {
  std::printf("%4d. %s\n", number, OneLine(Title(result), 200).c_str());
  std::printf("      %s\n", OneLine(result.href, 400).c_str());
  std::printf("      engines: %s  rank %d  relevance %d%%  keywords %d  combined %d%s\n",
              OneLine(EngineList(result), 200).c_str(), result.score.rank,
              result.score.percent, result.score.keywords, result.CombinedScore(),
              result.score.mark == kMarkRanked
                  ? ""
                  : (std::string("  marked ") + MarkName(result.score.mark)).c_str());
  const std::string summary = OneLine(Summary(result), kSummaryWidth);
  if (!summary.empty()) {
    std::printf("      %s\n", summary.c_str());
  }
}

}  // namespace

int SortKeyOf(const std::string& name) {
  if (name == "rank") return kSortByRank;
  if (name == "engines") return kSortByEngines;
  if (name == "percent") return kSortByPercent;
  if (name == "combined") return kSortByCombined;
  if (name == "keywords") return kSortByKeywords;
  return 0;
}

int MarkOf(const std::string& name) {
  if (name == "ranked") return kMarkRanked;
  if (name == "relevant") return kMarkRelevant;
  if (name == "irrelevant") return kMarkIrrelevant;
  return -1;
}

void PrintResults(SavedSearch& search, int sortKey, bool json) {
  std::lock_guard lock(App().resultsLock);
  std::unordered_map<const SearchResult*, int> numbers;
  int number = 0;
  for (const auto& result : search.current()) {
    numbers[result.get()] = ++number;
  }
  const std::vector<SearchResult*> sorted = SortedResults(search.current(), sortKey);
  if (json) {
    std::string out = "{\"search\":" + JsonString(search.name) +
                      ",\"words\":" + JsonString(search.settings.name) +
                      ",\"category\":" + JsonString(search.settings.category) +
                      ",\"found\":" + DecimalText(search.settings.found) +
                      ",\"file\":" + JsonString(ToFileSystemPath(search.ResultsFile())) + ",\"results\":[";
    for (size_t i = 0; i < sorted.size(); ++i) {
      out += (i == 0 ? "\n" : ",\n") + ResultJson(*sorted[i], numbers[sorted[i]]);
    }
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
    return;
  }
  std::printf("%s: %zu results for \"%s\" in %s, %s\n", search.name.c_str(), sorted.size(),
              OneLine(search.settings.name, 200).c_str(), search.settings.category.c_str(),
              SortHeadingText(sortKey).c_str());
  for (const SearchResult* result : sorted) {
    PrintResultText(*result, numbers[result]);
  }
}

void PrintSearchList(const std::vector<SavedSearch*>& searches, bool json) {
  std::lock_guard lock(App().resultsLock);
  if (json) {
    std::string out = "[";
    for (size_t i = 0; i < searches.size(); ++i) {
      const SavedSearch& search = *searches[i];
      out += std::string(i == 0 ? "\n" : ",\n") + "{\"search\":" + JsonString(search.name) +
             ",\"words\":" + JsonString(search.settings.name) +
             ",\"category\":" + JsonString(search.settings.category) +
             ",\"found\":" + DecimalText(search.settings.found) + "}";
    }
    out += "]\n";
    std::fputs(out.c_str(), stdout);
    return;
  }
  for (const SavedSearch* search : searches) {
    std::printf("%s  %-10s %6d results  %s\n", search->name.c_str(),
                search->settings.category.c_str(), search->settings.found,
                OneLine(search->settings.name, 200).c_str());
  }
}

}  // namespace tulix::search_tool
