// An inverted index over the demo corpus, built once at start-up, that finds the documents
// holding all, any or the exact sequence of a query's words, counted in the title and the text.
// Words are runs of letters and digits (bytes above 127 count as letters, so UTF-8 words stay
// whole) compared without regard to case (A to Z folded).
//
// Ownership: the index owns the documents. Thread safety: const after construction; any number
// of threads may search at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/demo_engines/corpus.h"

namespace tulix::demo {

enum class MatchMode { kAllWords, kAnyWords, kExactPhrase };

// One document that matched, with what the engines rank by.
struct Match {
  uint32_t doc = 0;         // index into Documents()
  uint32_t titleHits = 0;   // occurrences of query words in the title
  uint32_t textHits = 0;    // occurrences of query words in the text
  uint32_t wordsFound = 0;  // distinct query words found
  uint32_t length = 0;      // words in the title and text
};

// The words of `text`, lower case, in order, repeats kept.
std::vector<std::string> SplitWords(std::string_view text);

class CorpusIndex {
 public:
  explicit CorpusIndex(std::vector<Document> documents);

  // The documents matching `words` in `mode`, in corpus order. With `titlesOnly` a word counts
  // only where it stands in a title. No words, or a word no document holds in all-words or
  // phrase mode, give nothing.
  std::vector<Match> Find(const std::vector<std::string>& words, MatchMode mode,
                          bool titlesOnly) const;

  const std::vector<Document>& Documents() const { return m_documents; }
  // A made-up "site authority" of a document: a number fixed by its address and unrelated to
  // its words, which one engine breaks ties with.
  uint32_t Authority(uint32_t doc) const { return m_authority[doc]; }

 private:
  struct Posting {
    uint32_t doc;
    uint32_t title;  // occurrences in the title
    uint32_t text;   // occurrences in the text
  };
  static constexpr uint32_t kNoWord = UINT32_MAX;

  uint32_t WordId(const std::string& word) const;
  void AddDocument(uint32_t doc);
  bool HasPhrase(uint32_t doc, const std::vector<uint32_t>& phrase, bool titlesOnly) const;

  std::vector<Document> m_documents;
  std::unordered_map<std::string, uint32_t> m_words;
  std::vector<std::vector<Posting>> m_postings;  // by word id, in document order
  // Each document's words as ids: the title's, kNoWord, the text's, so no phrase spans both.
  std::vector<std::vector<uint32_t>> m_sequences;
  std::vector<uint32_t> m_titleLengths;
  std::vector<uint32_t> m_authority;
};

}  // namespace tulix::demo
