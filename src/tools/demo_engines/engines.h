// The simulated search engines: what each is called, which markup its pages use, what its
// request parameters are named, and how it ranks the documents that match a query. Every
// engine ranks differently, so one document gets different ranks from different engines.
//
// Thread safety: the engine table is constant; Search is a pure function of its arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/demo_engines/corpus_index.h"

namespace tulix::demo {

enum class PageStyle {
  kTable,       // results as rows of a table, with a "Next" link
  kList,        // results as items of a list, pages by number
  kNestedDivs,  // results as nested divisions, pages by result offset
  kPostedForm,  // a search form that must be posted; results as headings and paragraphs
  kRedirected,  // the search address redirects to the results page; a definition list
};

struct DemoEngine {
  const char* name;   // also the first step of its paths: /name/...
  const char* label;  // shown on its pages
  PageStyle style;
  const char* searchPath;  // where a search goes (for kPostedForm: the form's action)
  const char* queryParam;
  const char* modeParam;   // "all", "any" or "phrase"; a query in double quotes is a phrase too
  const char* countParam;  // results per page
  const char* pageParam;   // page number from 1, or the offset of the first result from 0
  bool pageIsOffset;
  // True when `a` ranks above `b`; the order is total, so every query has one ranking.
  bool (*ranksBefore)(const Match& a, const Match& b, const CorpusIndex& index);
};

// Results per page unless the request asks for a number, and the most a page holds.
inline constexpr int kDefaultPerPage = 10;
inline constexpr int kMaxPerPage = 100;
// A parameter every engine understands: "title" searches the titles only.
inline constexpr const char kFieldParam[] = "in";

const std::vector<DemoEngine>& AllEngines();
// The engine of that name; null when there is none.
const DemoEngine* FindEngine(std::string_view name);

struct EngineQuery {
  std::string text;  // the words as asked, without phrase quotes
  MatchMode mode = MatchMode::kAllWords;
  bool titlesOnly = false;
  int perPage = kDefaultPerPage;
  int offset = 0;  // rank of the page's first result, from 0
};

// "any" and "or" give any words, "phrase" and "exact" the phrase, anything else all words.
MatchMode ParseMode(std::string_view text);
const char* ModeName(MatchMode mode);

struct ResultPage {
  std::vector<uint32_t> docs;  // the page's documents, best first
  size_t total = 0;            // documents matching in all
  bool hasNext = false;        // more results follow this page
};

// Every match of the query ranked by the engine, best first.
std::vector<uint32_t> RankAll(const DemoEngine& engine, const CorpusIndex& index,
                              const EngineQuery& query);
// The query's page of the engine's ranking.
ResultPage Search(const DemoEngine& engine, const CorpusIndex& index, const EngineQuery& query);

}  // namespace tulix::demo
