#include "tools/demo_engines/corpus_index.h"

#include <algorithm>

#include "base/ascii_case.h"

namespace tulix::demo {
namespace {

bool IsWordByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
         (byte >= 'A' && byte <= 'Z') || byte >= 128;
}

}  // namespace

std::vector<std::string> SplitWords(std::string_view text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !IsWordByte(text[i])) {
      ++i;
    }
    const size_t start = i;
    while (i < text.size() && IsWordByte(text[i])) {
      ++i;
    }
    if (i > start) {
      words.push_back(AsciiLowerCopy(text.substr(start, i - start)));
    }
  }
  return words;
}

CorpusIndex::CorpusIndex(std::vector<Document> documents) : m_documents(std::move(documents)) {
  m_sequences.resize(m_documents.size());
  m_titleLengths.resize(m_documents.size());
  for (uint32_t doc = 0; doc < m_documents.size(); ++doc) {
    AddDocument(doc);
    // FNV-1a of the address.
    uint32_t hash = 2166136261u;
    for (char c : m_documents[doc].address) {
      hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    m_authority.push_back(hash);
  }
}

void CorpusIndex::AddDocument(uint32_t doc) {
  std::vector<uint32_t>& sequence = m_sequences[doc];
  auto add = [&](const std::string& text, bool inTitle) {
    for (std::string& word : SplitWords(text)) {
      auto [it, added] = m_words.try_emplace(std::move(word), m_postings.size());
      if (added) {
        m_postings.emplace_back();
      }
      std::vector<Posting>& postings = m_postings[it->second];
      if (postings.empty() || postings.back().doc != doc) {
        postings.push_back({doc, 0, 0});
      }
      ++(inTitle ? postings.back().title : postings.back().text);
      sequence.push_back(it->second);
    }
  };
  add(m_documents[doc].title, true);
  m_titleLengths[doc] = static_cast<uint32_t>(sequence.size());
  sequence.push_back(kNoWord);
  add(m_documents[doc].text, false);
}

uint32_t CorpusIndex::WordId(const std::string& word) const {
  auto it = m_words.find(AsciiLowerCopy(word));
  return it == m_words.end() ? kNoWord : it->second;
}

bool CorpusIndex::HasPhrase(uint32_t doc, const std::vector<uint32_t>& phrase,
                            bool titlesOnly) const {
  const std::vector<uint32_t>& sequence = m_sequences[doc];
  const auto end = titlesOnly ? sequence.begin() + m_titleLengths[doc] : sequence.end();
  return std::search(sequence.begin(), end, phrase.begin(), phrase.end()) != end;
}

std::vector<Match> CorpusIndex::Find(const std::vector<std::string>& words, MatchMode mode,
                                     bool titlesOnly) const {
  std::vector<uint32_t> phrase;
  std::vector<uint32_t> distinct;
  for (const std::string& word : words) {
    const uint32_t id = WordId(word);
    if (id == kNoWord && mode != MatchMode::kAnyWords) {
      return {};
    }
    phrase.push_back(id);
    if (id != kNoWord && std::find(distinct.begin(), distinct.end(), id) == distinct.end()) {
      distinct.push_back(id);
    }
  }
  if (distinct.empty()) {
    return {};
  }

  // Collect per document through a slot table: one pass over each word's postings.
  std::vector<int32_t> slot(m_documents.size(), -1);
  std::vector<Match> found;
  for (uint32_t id : distinct) {
    for (const Posting& posting : m_postings[id]) {
      if (titlesOnly && posting.title == 0) {
        continue;
      }
      int32_t& at = slot[posting.doc];
      if (at < 0) {
        at = static_cast<int32_t>(found.size());
        Match match;
        match.doc = posting.doc;
        match.length = static_cast<uint32_t>(m_sequences[posting.doc].size() - 1);
        found.push_back(match);
      }
      Match& match = found[at];
      match.titleHits += posting.title;
      match.textHits += titlesOnly ? 0 : posting.text;
      match.wordsFound += 1;
    }
  }

  const auto wanted = static_cast<uint32_t>(distinct.size());
  std::erase_if(found, [&](const Match& match) {
    switch (mode) {
      case MatchMode::kAnyWords:
        return false;
      case MatchMode::kAllWords:
        return match.wordsFound < wanted;
      case MatchMode::kExactPhrase:
        return match.wordsFound < wanted || !HasPhrase(match.doc, phrase, titlesOnly);
    }
    return true;
  });
  std::sort(found.begin(), found.end(),
            [](const Match& a, const Match& b) { return a.doc < b.doc; });
  return found;
}

}  // namespace tulix::demo
