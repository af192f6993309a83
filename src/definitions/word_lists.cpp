#include "definitions/word_lists.h"

#include <bitset>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "base/application.h"
#include "base/settings.h"
#include "base/token_splitter.h"
#include "platform/profile_file.h"

namespace tulix {

namespace {

// Decimal text to int as the C library's atoi reads it (leading blanks, a sign, digits, anything
// after them ignored, no digits gives 0), except that a value out of range is clamped instead
// of being undefined: keyword files come from outside.
int ToInt(const std::string& text) {
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) {
    return INT_MAX;
  }
  if (value < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(value);
}

void LoadKeywordList(const char* key, WeightedWordList* list) {
  if (list == nullptr) {
    return;
  }
  std::string value =
      GetPrivateProfileString("main", key, "", GetKeywordsFile(), kMaxKeywordValue + 1);
  WeightedWordList fresh;
  fresh.AddEntries(value);
  list->Swap(fresh);
}

}  // namespace

std::vector<std::string> SplitWords(std::string_view text, std::string_view separators) {
  std::bitset<256> isSeparator;
  for (char c : separators) {
    isSeparator.set(static_cast<unsigned char>(c));
  }
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && isSeparator.test(static_cast<unsigned char>(text[pos]))) {
      ++pos;
    }
    size_t start = pos;
    while (pos < text.size() && !isSeparator.test(static_cast<unsigned char>(text[pos]))) {
      ++pos;
    }
    if (pos > start) {
      words.emplace_back(text.substr(start, pos - start));
    }
  }
  return words;
}

std::vector<std::string> SplitDomains(std::string_view text, std::string_view separators) {
  std::vector<std::string> pieces;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t used = 0;
    std::string piece = GetToken(text.substr(pos), separators, false, &used);
    if (piece.empty()) {
      break;
    }
    pieces.push_back(std::move(piece));
    pos += used;
  }
  return pieces;
}

WeightedWord WeightedWord::Parse(std::string_view entryText) {
  WeightedWord entry;
  size_t used = 0;
  size_t pos = 0;
  entry.word = GetToken(entryText, ":", false, &used);
  pos += used;
  if (!entry.word.empty() && (entry.word[0] == '+' || entry.word[0] == '-')) {
    entry.sign = entry.word[0];
    entry.word.erase(0, 1);
  }
  if (pos < entryText.size()) {
    std::string weight = GetToken(entryText.substr(pos), ":", false, &used);
    pos += used;
    if (!weight.empty()) {
      entry.weight = ToInt(weight);
    }
  }
  if (pos < entryText.size()) {
    std::string level = GetToken(entryText.substr(pos), ":", false, &used);
    if (!level.empty()) {
      entry.level = ToInt(level);
    }
  }
  return entry;
}

void WeightedWordList::AddEntries(std::string_view text) {
  std::string rest(text);
  while (!rest.empty()) {
    size_t before = rest.size();
    std::string entry = PopToken(rest, " ", false);
    // Blanks at the end of the text leave an empty piece, which is no entry.
    if (!entry.empty()) {
      AddEntry(entry);
    }
    if (rest.size() >= before) {
      break;  // the splitter always consumes something; never loop on a surprise
    }
  }
}

void WeightedWordList::AddEntry(std::string_view entryText) {
  auto entry = std::make_unique<WeightedWord>(WeightedWord::Parse(entryText));
  std::unique_lock lock(m_lock);
  int index = FindLocked(entry->word);
  if (index >= 0) {
    *m_entries[index] = *entry;
  } else {
    m_entries.push_back(std::move(entry));
  }
}

int WeightedWordList::Find(std::string_view word) const {
  std::shared_lock lock(m_lock);
  return FindLocked(word);
}

int WeightedWordList::FindLocked(std::string_view word) const {
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (m_entries[i]->word == word) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void WeightedWordList::RemoveAll() {
  std::vector<std::unique_ptr<WeightedWord>> old;
  {
    std::unique_lock lock(m_lock);
    old.swap(m_entries);
  }
  // The entries are freed here, outside the lock.
}

int WeightedWordList::size() const {
  std::shared_lock lock(m_lock);
  return static_cast<int>(m_entries.size());
}

std::optional<WeightedWord> WeightedWordList::Get(int index) const {
  std::shared_lock lock(m_lock);
  if (index < 0 || static_cast<size_t>(index) >= m_entries.size()) {
    return std::nullopt;
  }
  return *m_entries[index];
}

std::optional<WeightedWord> WeightedWordList::Lookup(std::string_view word) const {
  std::shared_lock lock(m_lock);
  int index = FindLocked(word);
  if (index < 0) {
    return std::nullopt;
  }
  return *m_entries[index];
}

std::vector<WeightedWord> WeightedWordList::Snapshot() const {
  std::shared_lock lock(m_lock);
  std::vector<WeightedWord> copies;
  copies.reserve(m_entries.size());
  for (const auto& entry : m_entries) {
    copies.push_back(*entry);
  }
  return copies;
}

void WeightedWordList::ForEach(const std::function<void(const WeightedWord&)>& visit) const {
  std::shared_lock lock(m_lock);
  for (const auto& entry : m_entries) {
    visit(*entry);
  }
}

void WeightedWordList::Swap(WeightedWordList& other) {
  if (&other == this) {
    return;
  }
  std::scoped_lock lock(m_lock, other.m_lock);
  m_entries.swap(other.m_entries);
}

void LoadBadKeywords() {
  LoadKeywordList("badkeywords", App().badKeywords.get());
}

void LoadShoppingKeywords() {
  LoadKeywordList("shoppingkeywords", App().shoppingKeywords.get());
}

}  // namespace tulix
