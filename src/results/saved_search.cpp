#include "results/saved_search.h"

#include <climits>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "base/application.h"
#include "base/ascii_case.h"
#include "base/decimal_number.h"
#include "definitions/word_lists.h"
#include "platform/profile_file.h"
#include "platform/trace.h"
#include "results/result_filter.h"
#include "results/search_hit_sink.h"

namespace tulix {

namespace {

constexpr char kMainSection[] = "Main";
constexpr char kSummarySection[] = "ResultSummary";
constexpr char kResultsSection[] = "results";

std::recursive_mutex& ResultsLock() {
  return App().resultsLock;
}

bool DeleteSection(const std::string& file, const std::string& section) {
  return WritePrivateProfileString(section.c_str(), nullptr, nullptr, file);
}

std::string ResultsKey(const std::string& file, int position) {
  return GetPrivateProfileString(kResultsSection, DecimalText(position).c_str(), "", file);
}

// Removes the sections the `results` list names, then the list. A damaged list may name a
// section of the settings; those are never removed with the results.
void ClearStoredResults(const std::string& file) {
  for (int position = 1;; ++position) {
    const std::string section = ResultsKey(file, position);
    if (section.empty()) {
      break;
    }
    if (!EqualsIgnoringCase(section, kMainSection) &&
        !EqualsIgnoringCase(section, kSummarySection) &&
        !EqualsIgnoringCase(section, kResultsSection)) {
      DeleteSection(file, section);
    }
  }
  DeleteSection(file, kResultsSection);
}

// Hands out the indexes of unsaved results: one more than the highest in the list, counting
// up. Should the highest already be the largest int (a hand-edited file), the lowest index no
// result uses is taken instead, so that no two results ever share a section.
class IndexAllocator {
 public:
  explicit IndexAllocator(const ResultList& list) {
    for (const auto& result : list) {
      if (result->index > m_highest) {
        m_highest = result->index;
      }
    }
    if (m_highest == INT_MAX) {
      for (const auto& result : list) {
        if (result->index >= 0) {
          m_used.insert(result->index);
        }
      }
    }
  }

  int Next() {
    if (m_highest < INT_MAX) {
      return ++m_highest;
    }
    while (m_used.count(m_lowestFree) != 0) {
      ++m_lowestFree;
    }
    m_used.insert(m_lowestFree);
    return m_lowestFree;
  }

 private:
  int m_highest = -1;
  int m_lowestFree = 0;
  std::unordered_set<int> m_used;
};

}  // namespace

std::string SavedSearch::ResultsFile() const {
  return m_explicitFile.empty() ? FilePath() : m_explicitFile;
}

// ---- settings ----

bool SavedSearch::Load() {
  LoadSettings();
  return true;
}

bool SavedSearch::Save() {
  return SaveSettings();
}

void SavedSearch::LoadSettings() {
  const std::string file = ResultsFile();
  auto readInt = [&](const char* section, const char* key, int def) {
    return static_cast<int>(GetPrivateProfileInt(section, key, def, file));
  };
  SearchSettings loaded;
  loaded.name = GetPrivateProfileString(kMainSection, "Name", "_empty_", file);
  loaded.type = readInt(kMainSection, "Type", kSearchAllWords);
  loaded.category = GetPrivateProfileString(kMainSection, "Category", "_empty_", file);
  loaded.perEngine = readInt(kMainSection, "PerEngine", -1);
  loaded.engineCount = readInt(kMainSection, "EngineCount", -1);
  loaded.shopping = readInt(kMainSection, "Shopping", 50);
  loaded.found = readInt(kSummarySection, "Found", 0);
  std::lock_guard lock(ResultsLock());
  settings = loaded;
}

bool SavedSearch::SaveSettings() {
  const std::string file = ResultsFile();
  ProfileBatch batch(file);
  const bool ok = WriteSettings(file);
  return batch.Commit() && ok;
}

bool SavedSearch::WriteSettings(const std::string& file) {
  SearchSettings saved;
  {
    std::lock_guard lock(ResultsLock());
    saved = settings;
  }
  auto write = [&](const char* section, const char* key, const std::string& value) {
    return WritePrivateProfileString(section, key, value.c_str(), file);
  };
  // The words as typed: an exact phrase in quotes must come back with its quotes.
  bool ok = write(kMainSection, "Name", ProfileQuoted(saved.name));
  ok &= write(kMainSection, "Category", ProfileQuoted(saved.category));
  ok &= write(kMainSection, "Type", DecimalText(saved.type));
  ok &= write(kMainSection, "Shopping", DecimalText(saved.shopping));
  ok &= write(kMainSection, "EngineCount", DecimalText(saved.engineCount));
  ok &= write(kMainSection, "PerEngine", DecimalText(saved.perEngine));
  ok &= write(kSummarySection, "Found", DecimalText(saved.found));
  return ok;
}

std::string SavedSearch::Title() const {
  std::lock_guard lock(ResultsLock());
  return settings.name + " (" + DecimalText(settings.found) + " results)";
}

SearchQuery SavedSearch::Query() const {
  std::lock_guard lock(ResultsLock());
  SearchQuery query;
  query.text = settings.name;
  query.type = settings.type;
  query.category = settings.category;
  if (settings.perEngine != -1) {
    query.perEngine = settings.perEngine;
  }
  return query;
}

std::unique_ptr<HitSink> SavedSearch::MakeHitSink() {
  int shopping;
  {
    std::lock_guard lock(ResultsLock());
    shopping = settings.shopping;
  }
  SearchHitSink::AcceptFunction accept;
  // The sink keeps the filter alive for as long as the job may hand it hits.
  if (std::shared_ptr<ResultFilter> filter = HasApp() ? App().resultFilter : nullptr) {
    accept = [filter, shopping](const EngineHit& hit) { return filter->AcceptHit(shopping, hit); };
  }
  return std::make_unique<SearchHitSink>(*this, std::move(accept));
}

void SavedSearch::EngineFinished(CJob& job, int code) {
  ++m_enginesFinished;
  const auto* searchJob = dynamic_cast<const CSearchJob*>(&job);
  const bool errorPage = searchJob != nullptr && searchJob->Walk().LastStatus() >= 400;
  const bool failed = code != kResultSuccess || errorPage;
  if (failed) {
    ++m_enginesFailed;
  }
  // A job the user stopped says nothing of its engine.
  if (searchJob != nullptr && !job.StopRequested() && HasApp() &&
      App().settings().EngineTimeout > 0) {
    searchJob->Engine().NoteSearchOutcome(failed);
  }
  JobFinished(job);
  Trace("SearchJobHaSExited\n");
}

int SavedSearch::Found() const {
  std::lock_guard lock(ResultsLock());
  return settings.found;
}

void SavedSearch::SetChangeListener(SearchChangeListener* listener) {
  std::lock_guard lock(ResultsLock());
  m_listener = listener;
}

void SavedSearch::TellListener() {
  if (m_listener != nullptr) {
    m_listener->SearchChanged(*this);
  }
}

// ---- merging ----

void SavedSearch::AddEngineHit(const EngineHit& hit) {
  // The address is worked out once, outside the lock; a hit without an http address never
  // becomes a result, whoever hands it over.
  const std::string href = GetHttpHref(hit);
  if (href.empty()) {
    return;
  }
  const bool checkDuplicates = hit.engine == nullptr || hit.engine->Data()->checkDuplicates != 0;
  std::lock_guard lock(ResultsLock());
  SearchResult* result = checkDuplicates ? m_current.FindFirst(href) : nullptr;
  if (result != nullptr) {
    result->Merge(hit);
  } else {
    result = &ReviveOrCreate(hit, checkDuplicates ? href : std::string());
  }
  ScoreKeywords(*result);
  TellListener();
}

// A result of the previous run with this address (none is looked for when `href` is empty)
// comes back with fresh scores, its mark, index, visit time and text kept; otherwise a new
// result is made. Either way the search has found one more.
SearchResult& SavedSearch::ReviveOrCreate(const EngineHit& hit, const std::string& href) {
  SearchResult* old = href.empty() ? nullptr : m_previous.FindFirst(href);
  std::unique_ptr<SearchResult> result;
  if (old != nullptr) {
    result = m_previous.Take(*old);
    result->score.Reset();
    result->Merge(hit);
  } else {
    result = std::make_unique<SearchResult>(hit);
  }
  result->owner = this;
  settings.found = ClampToInt(SaturatingAdd(settings.found, 1));
  return m_current.Append(std::move(result));
}

const std::unordered_map<std::string, int>& SavedSearch::SearchWordCounts(int* wordCount) {
  if (m_countedName != settings.name || m_searchWordTotal == 0) {
    m_countedName = settings.name;
    m_searchWordCounts.clear();
    const std::vector<std::string> words = SplitWords(settings.name, kWordSeparators);
    for (const std::string& word : words) {
      ++m_searchWordCounts[AsciiLowerCopy(word)];
    }
    m_searchWordTotal = static_cast<int>(words.size());
  }
  *wordCount = m_searchWordTotal;
  return m_searchWordCounts;
}

void SavedSearch::ScoreKeywords(SearchResult& result) {
  std::lock_guard lock(ResultsLock());
  result.score.keywords = 0;
  result.score.percent = 0;
  int n = 0;
  const std::unordered_map<std::string, int>& searchWords = SearchWordCounts(&n);
  if (n == 0) {
    return;
  }
  // Every search word is compared with every text word; counting the text's words once and
  // looking each search word and bad keyword up in the counts gives the same sums in time
  // linear in the text and the word lists.
  std::unordered_map<std::string, int64_t> textWords;
  for (const std::string& word : SplitWords(result.ResultPlainText(), kWordSeparators)) {
    ++textWords[AsciiLowerCopy(word)];
  }
  int64_t keywords = 0;
  int64_t matched = 0;
  for (const auto& [word, given] : searchWords) {
    auto found = textWords.find(word);
    if (found != textWords.end()) {
      keywords = SaturatingAdd(keywords, SaturatingMultiply(found->second, given));
      matched += given;
    }
  }
  if (HasApp() && App().badKeywords != nullptr) {
    App().badKeywords->ForEach([&](const WeightedWord& entry) {
      auto found = textWords.find(AsciiLowerCopy(entry.word));
      if (found != textWords.end()) {
        const int64_t penalty = SaturatingMultiply(int64_t{n} + 1, entry.weight) / 200;
        keywords = SaturatingAdd(keywords, SaturatingMultiply(found->second, -penalty));
      }
    });
  }
  result.score.keywords = ClampToInt(keywords);
  result.score.percent = static_cast<int>(matched * 100 / n);
}

// ---- storage ----

void SavedSearch::SaveResult(SearchResult& result) {
  std::lock_guard lock(ResultsLock());
  if (result.index != -1) {
    result.Save(ResultsFile(), DecimalText(result.index));
  }
}

bool SavedSearch::MarkResult(SearchResult& result, int mark) {
  if (mark != kMarkRanked && mark != kMarkRelevant && mark != kMarkIrrelevant) {
    return false;
  }
  std::lock_guard lock(ResultsLock());
  result.score.mark = mark;
  SaveResult(result);
  return true;
}

void SavedSearch::DeleteResult(SearchResult& result, bool redisplay) {
  std::lock_guard lock(ResultsLock());
  const std::string file = ResultsFile();
  ProfileBatch batch(file);
  if (result.index != -1) {
    DeleteSection(file, DecimalText(result.index));
  }
  m_current.Delete(result);
  DeleteSection(file, kResultsSection);
  int position = 1;
  for (const auto& kept : m_current) {
    if (kept->index == -1) {
      continue;
    }
    const std::string section = DecimalText(kept->index);
    WritePrivateProfileString(kResultsSection, DecimalText(position++).c_str(), section.c_str(),
                              file);
    kept->Save(file, section);
  }
  batch.Commit();
  if (redisplay) {
    TellListener();
  }
}

void SavedSearch::PrepareRerun() {
  std::lock_guard lock(ResultsLock());
  // Results never read from the file would otherwise be dropped from it without passing
  // through the previous list, and their marks and visit times would be lost.
  LoadResults();
  const std::string file = ResultsFile();
  ProfileBatch batch(file);
  m_previous.DeleteAll();
  for (auto& result : m_current.RemoveAll()) {
    if (result->index != -1) {
      DeleteSection(file, DecimalText(result->index));
    }
    m_previous.Append(std::move(result));
  }
  DeleteSection(file, kResultsSection);
  batch.Commit();
  settings.found = 0;
  TellListener();
}

void SavedSearch::LoadResults() {
  std::lock_guard lock(ResultsLock());
  if (resultsLoaded == 1) {
    return;
  }
  const std::string file = ResultsFile();
  std::unordered_set<int> indexes;
  for (int position = 1;; ++position) {
    const std::string section = ResultsKey(file, position);
    if (section.empty()) {
      break;
    }
    auto result = std::make_unique<SearchResult>(file, section);
    // A result without an address cannot be shown or merged (its section is missing or
    // damaged); a second entry for one index would share that section with the first.
    if (result->href.empty() || (result->index != -1 && !indexes.insert(result->index).second)) {
      continue;
    }
    result->owner = this;
    m_current.Append(std::move(result));
  }
  resultsLoaded = 1;
}

bool SavedSearch::SaveAllResults() {
  std::lock_guard lock(ResultsLock());
  const std::string file = ResultsFile();
  ProfileBatch batch(file);
  const bool ok = WriteAllResults(file);
  return batch.Commit() && ok;
}

bool SavedSearch::SaveResultsAndSettings() {
  std::lock_guard lock(ResultsLock());
  const std::string file = ResultsFile();
  ProfileBatch batch(file);
  bool ok = WriteAllResults(file);
  ok &= WriteSettings(file);
  return batch.Commit() && ok;
}

bool SavedSearch::WriteAllResults(const std::string& file) {
  std::lock_guard lock(ResultsLock());
  ClearStoredResults(file);
  IndexAllocator indexes(m_current);
  bool ok = true;
  int position = 1;
  for (const auto& result : m_current) {
    if (result->index == -1) {
      result->index = indexes.Next();
    }
    const std::string section = DecimalText(result->index);
    ok &= WritePrivateProfileString(kResultsSection, DecimalText(position++).c_str(),
                                    section.c_str(), file);
    ok &= result->Save(file, section);
  }
  return ok;
}

}  // namespace tulix
