// The HTML the simulated engines answer with: a home page with a search form and the result
// pages, each engine in its own markup. Besides the results, every result page carries what
// real pages carry and an engine definition must step over: navigation, a sponsored link, a
// repeated search form, related searches or a pager.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "tools/demo_engines/corpus_index.h"
#include "tools/demo_engines/engines.h"

namespace tulix::demo {

// Text made safe inside an element or a quoted attribute.
std::string HtmlEscape(std::string_view text);
// Text as a query value: letters, digits and "-._~" stay, a blank becomes "+", the rest %XX.
std::string QueryEscape(std::string_view text);

// The address (path and query) of the page of `query` that starts at `offset`.
std::string PageAddress(const DemoEngine& engine, const EngineQuery& query, int offset);

// The engine's home page: its name and a search form (for kPostedForm, a form that posts).
std::string RenderHomePage(const DemoEngine& engine);
// One page of results.
std::string RenderResultPage(const DemoEngine& engine, const CorpusIndex& index,
                             const EngineQuery& query, const ResultPage& page);

}  // namespace tulix::demo
