// What the two script-walk targets share: the engine definitions written for the saved result
// pages of tests/fixtures, and a walk of one page with a definition, as a search job walks the
// page of its first request, with every hit handed over checked on the way.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/settings.h"
#include "definitions/engine_definition.h"
#include "engine/script_actions.h"
#include "engine/script_runner.h"
#include "engine/search_walk.h"
#include "fuzz_support.h"
#include "platform/paths.h"
#include "platform/profile_file.h"

namespace tulix::fuzz {

// The fixture engines, each with a saved page of its own under the same name.
inline constexpr const char* kFixtureEngines[] = {
    "ask-1",   "bing-2",    "brave-1",     "duckduckgo-1", "duckduckgo-2", "duckduckgo-3",
    "google-1", "mojeek-1", "startpage-1", "yahoo-1",      "yahoo-2",      "yandex-1"};
inline constexpr size_t kFixtureEngineCount = std::size(kFixtureEngines);

inline std::string FixtureEnginePath(const std::string& name, const char* extension) {
  return std::string(TULIX_FUZZ_FIXTURES_DIR) + "/engines/" + name + extension;
}

inline std::string FixturePagePath(const std::string& name) {
  return std::string(TULIX_FUZZ_FIXTURES_DIR) + "/serp/" + name + ".html";
}

inline std::string FixtureBytes(const std::string& path) {
  std::optional<std::string> bytes = ReadWholeFile(path);
  FUZZ_CHECK(bytes.has_value());
  return *bytes;
}

// Writes `bytes` as `name` in the categories folder of the fuzz application (made on first use).
inline std::string WriteCategoryFile(const std::string& name, std::string_view bytes) {
  FuzzApplication();
  const std::string path = JoinPath(GetCategoriesFolder(), name);
  FUZZ_CHECK(MakeFolders(GetCategoriesFolder()));
  FUZZ_CHECK(WriteFileAtomically(path, bytes));
  return path;
}

// Checks what a script hands over: every hit kept carries an address that parses as http and
// holds no byte that would break a request line, a stored results file or the hit's mark-up,
// and hits are numbered 1, 2, 3, ... with a share between 0 and 100.
class CheckingSink : public HitSink {
 public:
  bool AcceptHit(const EngineHit& hit) override {
    FUZZ_CHECK(!GetHttpHref(hit).empty());
    for (unsigned char c : hit.address) {
      FUZZ_CHECK(c > 32 && c != 127 && c != '"' && c != '<' && c != '>');
    }
    return true;
  }
  void AddEngineHit(const EngineHit& hit) override {
    FUZZ_CHECK(hit.position == ++m_accepted);
    FUZZ_CHECK(hit.percent >= 0 && hit.percent <= 100);
  }

 private:
  int m_accepted = 0;
};

// Walks `page` with `engine` as the page of the first request for "fuzz words", then builds
// the requests the script queued, as the job would next.
inline void WalkPage(const EngineDefinition& engine, std::string_view page) {
  SearchQuery search;
  search.text = "fuzz words";
  search.perEngine = 1000;  // never stop the walk early
  CheckingSink sink;
  SearchWalk walk(engine, search, sink);
  ScriptRunner runner(engine);
  RequestSpec request = walk.BuildNextRequest(runner);
  walk.MarkFetched(request);
  walk.ProcessPage(runner, request, page);
  for (int i = 0; i < 4 && walk.HasQueuedRequests(); ++i) {
    RequestSpec next = walk.BuildNextRequest(runner);
    walk.MarkFetched(next);
  }
}

}  // namespace tulix::fuzz
