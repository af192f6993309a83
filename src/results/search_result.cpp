#include "results/search_result.h"

#include <climits>
#include <cmath>
#include <mutex>
#include <unordered_set>

#include "base/application.h"
#include "definitions/engine_definition.h"
#include "definitions/tree.h"
#include "engine/browser.h"
#include "engine/page_scanner.h"
#include "engine/script_actions.h"
#include "platform/clock.h"
#include "platform/profile_file.h"
#include "base/decimal_number.h"
#include "results/saved_search.h"

namespace tulix {

namespace {

constexpr int kTagR = 16;

// The keys of a result's section, in the order they are written.
constexpr char kKeyResult[] = "result";
constexpr char kKeyEngineList[] = "enginelist";
constexpr char kKeyVisited[] = "visited";
constexpr char kKeyHref[] = "href";
constexpr char kKeyPercent[] = "percent";
constexpr char kKeyEngines[] = "engines";
constexpr char kKeyKeywords[] = "keywords";
constexpr char kKeyRank[] = "rank";
constexpr char kKeyMark[] = "mark";

std::string ReadString(const std::string& file, const std::string& section, const char* key) {
  return GetPrivateProfileString(section.c_str(), key, "", file);
}

// A number of the file, or `def` when the key is missing or holds no number. Numbers beyond the
// range are clamped rather than wrapped: a damaged file then still sorts sensibly.
int64_t ReadNumber(const std::string& file, const std::string& section, const char* key,
                   int64_t def) {
  return ParseDecimal64(ReadString(file, section, key)).value_or(def);
}

int ReadInt(const std::string& file, const std::string& section, const char* key, int def) {
  return ClampToInt(ReadNumber(file, section, key, def));
}

bool WriteString(const std::string& file, const std::string& section, const char* key,
                 const std::string& value) {
  return WritePrivateProfileString(section.c_str(), key, value.c_str(), file);
}

bool WriteNumber(const std::string& file, const std::string& section, const char* key,
                 int64_t value) {
  return WriteString(file, section, key, DecimalText(value));
}

// The average position of the merged hits; 1 when there is none to average.
int64_t AveragePosition(const ResultScore& score) {
  if (score.rank >= 1 && score.engines >= 1) {
    return score.rank / score.engines;
  }
  return 1;
}

int EnginesAtLeastOne(const ResultScore& score) {
  return score.engines < 1 ? 1 : score.engines;
}

// Appends a token's text, and a blank after a text token.
void AppendToken(std::string& out, const PageToken& token) {
  out += token.text();
  if (token.tagId() == kTextTokenId) {
    out += ' ';
  }
}

}  // namespace

std::string MarkSearchWords(std::string_view part, std::string_view searchWords,
                            std::string_view format) {
  PageScanner scanner(part);
  std::string marked;
  // The scanner trims the blanks around a text: one goes back between it and what follows.
  bool blankDue = false;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    const int id = token->tagId();
    if (id == kTagR || id == kTagR + kEndTagBit) {
      continue;
    }
    if (blankDue) {
      marked += ' ';
    }
    if (id == kTextTokenId) {
      marked += HighlightSearchWords(token->text(), searchWords, format);
    } else {
      marked += token->text();
    }
    blankDue = id == kTextTokenId;
  }
  return marked;
}

void ResultScore::Reset() {
  engines = 0;
  keywords = 0;
  percent = -1;
  rank = 0;
}

std::string EngineNameOf(const EngineHit& hit) {
  return hit.engine != nullptr ? hit.engine->DisplayName() : std::string();
}

SearchResult::SearchResult(const EngineHit& hit) : href(GetHttpHref(hit)) {
  AddEngineName(EngineNameOf(hit));
  if (hit.text.size() > text.size()) {
    text = hit.text;
  }
  score.rank = hit.position;
  score.engines = 1;
}

SearchResult::SearchResult(const std::string& resultsFile, const std::string& sectionName) {
  // Only a section name that is an index itself gives one; a name beyond int is no index.
  std::optional<int64_t> number = ParseDecimal64(sectionName);
  index = number && *number >= 0 && *number <= INT_MAX ? static_cast<int>(*number) : -1;
  text = ReadString(resultsFile, sectionName, kKeyResult);
  // Names up to the first empty piece, each once. A set keeps a list of many names linear.
  const std::string list = ReadString(resultsFile, sectionName, kKeyEngineList);
  std::unordered_set<std::string_view> seen;
  size_t start = 0;
  while (start < list.size()) {
    size_t bar = list.find('|', start);
    if (bar == std::string::npos) {
      bar = list.size();
    }
    if (bar == start) {
      break;
    }
    std::string_view name(list.data() + start, bar - start);
    if (seen.insert(name).second) {
      engines.emplace_back(name);
    }
    start = bar + 1;
  }
  visited = ReadNumber(resultsFile, sectionName, kKeyVisited, -1);
  href = ReadString(resultsFile, sectionName, kKeyHref);
  score.percent = ReadInt(resultsFile, sectionName, kKeyPercent, -1);
  score.engines = ReadInt(resultsFile, sectionName, kKeyEngines, 0);
  score.keywords = ReadInt(resultsFile, sectionName, kKeyKeywords, 0);
  score.rank = ReadInt(resultsFile, sectionName, kKeyRank, 0);
  score.mark = ReadInt(resultsFile, sectionName, kKeyMark, kMarkRanked);
}

void SearchResult::AddEngineName(const std::string& name) {
  for (const std::string& engine : engines) {
    if (engine == name) {
      return;
    }
  }
  engines.push_back(name);
}

void SearchResult::Merge(const EngineHit& hit) {
  AddEngineName(EngineNameOf(hit));
  if (hit.text.size() > text.size()) {
    text = hit.text;
  }
  score.rank = ClampToInt(SaturatingAdd(score.rank, hit.position));
  score.engines = ClampToInt(SaturatingAdd(score.engines, 1));
}

bool SearchResult::MatchesHit(const EngineHit& hit) const {
  return href == GetHttpHref(hit);
}

bool SearchResult::Save(const std::string& resultsFile, const std::string& sectionName) const {
  bool ok = true;
  // No text is written as no key; one left from an older result of this section must go, or it
  // would be read back as this result's text.
  ok &= WritePrivateProfileString(sectionName.c_str(), kKeyResult,
                                  text.empty() ? nullptr : ProfileQuoted(text).c_str(),
                                  resultsFile);
  ok &= WriteString(resultsFile, sectionName, kKeyEngineList, ProfileQuoted(EngineNames("|")));
  ok &= WriteNumber(resultsFile, sectionName, kKeyVisited, visited);
  ok &= WriteString(resultsFile, sectionName, kKeyHref, ProfileQuoted(href));
  ok &= WriteNumber(resultsFile, sectionName, kKeyPercent, score.percent);
  ok &= WriteNumber(resultsFile, sectionName, kKeyEngines, score.engines);
  ok &= WriteNumber(resultsFile, sectionName, kKeyKeywords, score.keywords);
  ok &= WriteNumber(resultsFile, sectionName, kKeyRank, score.rank);
  ok &= WriteNumber(resultsFile, sectionName, kKeyMark, score.mark);
  return ok;
}

int64_t SearchResult::SortValue(int key) const {
  switch (key) {
    case kSortByRank:
      return 10000 - AveragePosition(score);
    case kSortByEngines:
      return EnginesAtLeastOne(score);
    case kSortByPercent:
      return int64_t{score.percent} * 100;
    case kSortByCombined:
      return CombinedScore();
    case kSortByKeywords:
      return score.keywords;
    default:
      return 0;
  }
}

int SearchResult::CombinedScore() const {
  const double engineRoot = std::sqrt(static_cast<double>(EnginesAtLeastOne(score)));
  const int64_t a = static_cast<int64_t>(std::trunc(10.0 * engineRoot));
  // Wide arithmetic: scores read from a damaged file may be anywhere in the range of int.
  const int64_t b = a + score.percent + int64_t{5} * score.keywords;
  const double averageRoot = std::sqrt(static_cast<double>(AveragePosition(score)));
  int64_t c = static_cast<int64_t>(std::trunc(static_cast<double>(b) - 2.0 * averageRoot));
  if (score.mark == kMarkRelevant) {
    c += 10000;
  } else if (score.mark == kMarkIrrelevant) {
    c -= 10000;
  }
  return ClampToInt(c);
}

bool SearchResult::OpensLocally() const {
  if (engines.empty() || !HasApp() || App().categoryTree == nullptr) {
    return false;
  }
  Tree::Iterator it(App().categoryTree->root(), true, false);
  while (const TreeNode* node = it.Next()) {
    const auto* engine = dynamic_cast<const EngineDefinition*>(node);
    if (engine != nullptr && engine->DisplayName() == engines.front()) {
      return engine->Data()->local != 0;
    }
  }
  return false;
}

void SearchResult::Visit() {
  const bool local = OpensLocally();
  {
    std::lock_guard lock(App().resultsLock);
    visited = GetClock().Now();
  }
  OpenInBrowser(WindowHandle{}, href, local);
  if (owner != nullptr) {
    owner->SaveResult(*this);
  }
}

std::string SearchResult::ResultTitle() const {
  return ResultTitleOf(text);
}

std::string SearchResult::ResultSummaryText() const {
  return ResultSummaryTextOf(text);
}

std::string SearchResult::DisplayHtml() const {
  return DisplayHtmlOf(text);
}

std::string ResultTitleOf(const std::string& text) {
  PageScanner scanner(text);
  std::string title;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    const int id = token->tagId();
    if (id == kTextTokenId || id == kTagA) {
      AppendToken(title, *token);
    } else if (id == kTagA + kEndTagBit) {
      title += token->text();
      break;
    }
  }
  return title;
}

std::string ResultSummaryTextOf(const std::string& text) {
  enum class Walk { kBeforeTitle, kInTitle, kAfterTitle };
  PageScanner scanner(text);
  std::string summary;
  Walk walk = Walk::kBeforeTitle;
  bool anchorSeen = false;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    const int id = token->tagId();
    if (id == kTagR || id == kTagR + kEndTagBit) {
      summary += token->text();
    } else if (id == kTextTokenId) {
      if (walk != Walk::kInTitle) {
        AppendToken(summary, *token);
      }
    } else if (id == kTagA) {
      if (!anchorSeen) {
        anchorSeen = true;
        walk = Walk::kInTitle;
      } else {
        summary += token->text();
      }
    } else if (id == kTagA + kEndTagBit) {
      walk = Walk::kAfterTitle;
      summary += token->text();
    }
  }
  return summary;
}

std::string SearchResult::ResultPlainText() const {
  PageScanner scanner(text);
  std::string plain;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    if (token->tagId() == kTextTokenId) {
      AppendToken(plain, *token);
    }
  }
  return plain;
}

std::string SearchResult::EngineNames(std::string_view separator) const {
  std::string names;
  for (const std::string& engine : engines) {
    names += engine;
    names += separator;
  }
  return names;
}

std::string DisplayHtmlOf(const std::string& text) {
  return "<b>" + ResultTitleOf(text) + "</b><p>" + ResultSummaryTextOf(text);
}

std::string SearchResult::LinkHtml() const {
  std::string shown = href;
  if (shown.size() > kMaxLinkText) {
    shown.resize(kMaxLinkText);
    shown += "...";
  }
  return "<a href=\"" + href + "\">" + shown + "</a>";
}

}  // namespace tulix
