#include "tools/demo_engines/engines.h"

#include <algorithm>

#include "base/ascii_case.h"

namespace tulix::demo {
namespace {

// Title words first, then text words; ties in corpus order.
bool TitlesFirst(const Match& a, const Match& b, const CorpusIndex&) {
  if (a.titleHits != b.titleHits) {
    return a.titleHits > b.titleHits;
  }
  if (a.textHits != b.textHits) {
    return a.textHits > b.textHits;
  }
  return a.doc < b.doc;
}

// Share of the document's words that are query words; ties by address.
bool Density(const Match& a, const Match& b, const CorpusIndex& index) {
  const uint64_t left = uint64_t{a.titleHits + a.textHits} * (b.length + 5);
  const uint64_t right = uint64_t{b.titleHits + b.textHits} * (a.length + 5);
  if (left != right) {
    return left > right;
  }
  const std::string& ea = index.Documents()[a.doc].address;
  const std::string& eb = index.Documents()[b.doc].address;
  return ea != eb ? ea < eb : a.doc < b.doc;
}

// Most distinct words, then the shortest document; ties latest in the corpus first.
bool ShortestCovering(const Match& a, const Match& b, const CorpusIndex&) {
  if (a.wordsFound != b.wordsFound) {
    return a.wordsFound > b.wordsFound;
  }
  if (a.length != b.length) {
    return a.length < b.length;
  }
  return a.doc > b.doc;
}

// Text occurrences, then the longest document, as an engine that trusts long pages would.
bool TextFrequency(const Match& a, const Match& b, const CorpusIndex&) {
  if (a.textHits != b.textHits) {
    return a.textHits > b.textHits;
  }
  if (a.length != b.length) {
    return a.length > b.length;
  }
  return a.doc < b.doc;
}

// Distinct words, then the made-up site authority.
bool Authority(const Match& a, const Match& b, const CorpusIndex& index) {
  if (a.wordsFound != b.wordsFound) {
    return a.wordsFound > b.wordsFound;
  }
  const uint32_t left = index.Authority(a.doc);
  const uint32_t right = index.Authority(b.doc);
  return left != right ? left > right : a.doc < b.doc;
}

const std::vector<DemoEngine> kEngines = {
    {"tabula", "Tabula", PageStyle::kTable, "/tabula/search", "q", "m", "n", "p", false,
     TitlesFirst},
    {"listel", "Listel", PageStyle::kList, "/listel/find", "words", "type", "num", "page", false,
     Density},
    {"nidus", "Nidus", PageStyle::kNestedDivs, "/nidus/query", "query", "mode", "count", "start",
     true, ShortestCovering},
    {"postbox", "Postbox", PageStyle::kPostedForm, "/postbox/results", "q", "match", "per", "page",
     false, TextFrequency},
    {"relay", "Relay", PageStyle::kRedirected, "/relay/search", "s", "how", "k", "pg", false,
     Authority},
};

}  // namespace

const std::vector<DemoEngine>& AllEngines() {
  return kEngines;
}

const DemoEngine* FindEngine(std::string_view name) {
  for (const DemoEngine& engine : kEngines) {
    if (name == engine.name) {
      return &engine;
    }
  }
  return nullptr;
}

MatchMode ParseMode(std::string_view text) {
  if (EqualsIgnoringCase(text, "any") || EqualsIgnoringCase(text, "or")) {
    return MatchMode::kAnyWords;
  }
  if (EqualsIgnoringCase(text, "phrase") || EqualsIgnoringCase(text, "exact")) {
    return MatchMode::kExactPhrase;
  }
  return MatchMode::kAllWords;
}

const char* ModeName(MatchMode mode) {
  switch (mode) {
    case MatchMode::kAnyWords:
      return "any";
    case MatchMode::kExactPhrase:
      return "phrase";
    case MatchMode::kAllWords:
      break;
  }
  return "all";
}

std::vector<uint32_t> RankAll(const DemoEngine& engine, const CorpusIndex& index,
                              const EngineQuery& query) {
  std::vector<Match> matches = index.Find(SplitWords(query.text), query.mode, query.titlesOnly);
  std::sort(matches.begin(), matches.end(),
            [&](const Match& a, const Match& b) { return engine.ranksBefore(a, b, index); });
  std::vector<uint32_t> docs;
  docs.reserve(matches.size());
  for (const Match& match : matches) {
    docs.push_back(match.doc);
  }
  return docs;
}

ResultPage Search(const DemoEngine& engine, const CorpusIndex& index, const EngineQuery& query) {
  const std::vector<uint32_t> ranked = RankAll(engine, index, query);
  ResultPage page;
  page.total = ranked.size();
  const size_t first = std::min(ranked.size(), static_cast<size_t>(std::max(0, query.offset)));
  const size_t last = std::min(ranked.size(), first + static_cast<size_t>(query.perPage));
  page.docs.assign(ranked.begin() + static_cast<std::ptrdiff_t>(first),
                   ranked.begin() + static_cast<std::ptrdiff_t>(last));
  page.hasNext = last < ranked.size();
  return page;
}

}  // namespace tulix::demo
