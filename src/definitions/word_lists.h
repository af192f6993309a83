// Word splitting and weighted keyword lists.
//
// The two separator sets cut text into words (result texts, search words, keyword texts) and
// into domains (the user's own domains, an engine's domain list). Text is single-byte, so the
// pound sign among the word separators is the one byte 0xA3.
//
// A WeightedWordList holds keyword entries written as "[+|-]word[:weight[:level]]", separated
// by blanks: the bad-keyword and shopping-keyword lists of keywords.txt, a category's keywords
// and an engine's keywords. The application object holds the two lists of keywords.txt; they are
// read by search jobs on worker threads while the upgrade job may reload them.
//
// Ownership: a list owns its entries and deletes them with itself or on RemoveAll.
//
// Thread safety: SplitWords and SplitDomains are pure. Every member of WeightedWordList may be
// called from any thread: a reader-writer lock inside the list keeps a reader from seeing a
// change half done. For that reason readers get copies (Get, Lookup, Snapshot, ForEach under the
// lock), never a reference that outlives the lock. Replace a list in one step with Swap.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tulix {

// Comma, semicolon, asterisk, ampersand, apostrophe, parentheses, square brackets, minus, plus,
// equals, caret, slash, backslash, bar, hash, tilde, pound sign (0xA3), dollar, blank.
inline constexpr std::string_view kWordSeparators =
    ",;*&'()[]-+=^/\\|#~\xA3"
    "$ ";
// Comma, semicolon, colon, asterisk, ampersand, blank.
inline constexpr std::string_view kDomainSeparators = ",;:*& ";

// The words of `text`: runs of characters that are not in `separators` (a set of bytes), in
// order, never empty.
std::vector<std::string> SplitWords(std::string_view text, std::string_view separators);

// The pieces of `text` between the characters of `separators` (blanks around a piece dropped),
// piece 0, 1, ... up to the first empty piece, which ends the list: "uk,de" gives uk and de,
// "uk,,de" only uk.
std::vector<std::string> SplitDomains(std::string_view text,
                                      std::string_view separators = kDomainSeparators);

// One keyword entry. Heap object: lists own their entries through pointers, and other parts may
// derive their own entries from it.
struct WeightedWord {
  static constexpr int kDefaultWeight = 1000;
  static constexpr int kDefaultLevel = 100;

  WeightedWord() = default;
  WeightedWord(std::string word, char sign, int weight, int level)
      : word(std::move(word)), sign(sign), weight(weight), level(level) {}
  virtual ~WeightedWord() = default;
  WeightedWord(const WeightedWord&) = default;
  WeightedWord& operator=(const WeightedWord&) = default;

  // Parses one entry text: an optional '+' or '-', the word, then optionally ":weight" and
  // ":level" (decimal; an empty or missing piece keeps the default). A sign alone gives an
  // empty word.
  static WeightedWord Parse(std::string_view entryText);

  std::string word;
  char sign = ' ';  // ' ', '+' or '-'
  int weight = kDefaultWeight;
  int level = kDefaultLevel;
};

class WeightedWordList {
 public:
  WeightedWordList() = default;
  ~WeightedWordList() = default;
  WeightedWordList(const WeightedWordList&) = delete;
  WeightedWordList& operator=(const WeightedWordList&) = delete;

  // Adds every blank-separated entry of `text`, in order, as AddEntry does.
  void AddEntries(std::string_view text);
  // Parses one entry; when an entry with the same word (exact comparison) exists, it takes the
  // new entry's word, sign, weight and level; otherwise the new entry is appended.
  void AddEntry(std::string_view entryText);
  // The index of the entry whose word equals `word` exactly, or -1.
  int Find(std::string_view word) const;
  void RemoveAll();

  int size() const;
  bool empty() const { return size() == 0; }
  // A copy of the entry at `index`; nothing when the index is out of range.
  std::optional<WeightedWord> Get(int index) const;
  // A copy of the entry whose word equals `word` exactly.
  std::optional<WeightedWord> Lookup(std::string_view word) const;
  // Copies of all entries, in order.
  std::vector<WeightedWord> Snapshot() const;
  // Calls `visit` for each entry in order while holding the read lock; `visit` must not call
  // back into this list.
  void ForEach(const std::function<void(const WeightedWord&)>& visit) const;

  // Exchanges the entries of the two lists in one step, so readers see either the old or the
  // new list, never a half-built one.
  void Swap(WeightedWordList& other);

 private:
  int FindLocked(std::string_view word) const;

  mutable std::shared_mutex m_lock;
  std::vector<std::unique_ptr<WeightedWord>> m_entries;  // guarded by m_lock
};

// keywords.txt, section main: the longest value read, in characters.
inline constexpr size_t kMaxKeywordValue = 9999;

// Reloads App().badKeywords / App().shoppingKeywords from the keys "badkeywords" and
// "shoppingkeywords" of keywords.txt. A missing file or key gives an empty list. The new list
// replaces the old one in one step. Does nothing when the application holds no such list.
void LoadBadKeywords();
void LoadShoppingKeywords();

}  // namespace tulix
