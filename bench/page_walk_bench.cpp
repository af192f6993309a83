// How fast a search job gets through one fetched result page: the saved pages of real engines,
// each walked with its engine's definition exactly as a job walks its first page (first request
// built, page scanned, links made absolute, every token stepped through the script, actions
// carried out, results extracted and handed over). Reported as pages per second and
// microseconds per page, with the hits each walk gives as a check that the walk did its work.
//
// A page whose own definition is missing is walked with a definition of the same engine (the
// part of the name before "-"), so the large pages of engines with a newer markup count too;
// such a walk may find nothing, but it still pays for every token.
//
// The definitions are found in tests/fixtures/engines of the source tree, the pages in the
// shared fixtures folder; TULIX_ENGINE_FIXTURES and TULIX_FIXTURES point elsewhere.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/engine_definition.h"
#include "engine/script_actions.h"
#include "engine/script_runner.h"
#include "engine/search_walk.h"

namespace {

namespace fs = std::filesystem;

// The query each saved page was fetched for, so search-word highlighting does its real work.
struct PageQuery {
  const char* page;
  const char* query;
};
const PageQuery kQueries[] = {
    {"ask-1", "fellow"},
    {"bing-1", "does caffeine affect sleep"},
    {"bing-2", "bing"},
    {"duckduckgo-1", "foo"},
    {"duckduckgo-2", "does caffeine affect sleep"},
    {"duckduckgo-3", "what happened"},
    {"google-1", "google"},
    {"mojeek-1", "javascript tutorial"},
    {"yahoo-1", "snow"},
    {"yahoo-2", "javascript tutorial"},
};

std::string QueryFor(const std::string& page) {
  for (const PageQuery& entry : kQueries) {
    if (page == entry.page) {
      return entry.query;
    }
  }
  return "search";
}

fs::path FolderFromEnvironment(const char* variable, const fs::path& fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr ? fs::path(value) : fallback;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

class CountingSink : public tulix::HitSink {
 public:
  bool AcceptHit(const tulix::EngineHit&) override { return true; }
  void AddEngineHit(const tulix::EngineHit&) override { ++kept; }
  void DroppedHit(const tulix::EngineHit&, const char*) override { ++dropped; }
  int kept = 0;
  int dropped = 0;
};

struct Walk {
  std::string label;
  std::string html;
  std::unique_ptr<tulix::EngineDefinition> engine;
  tulix::SearchQuery search;
};

// A program folder of its own, with the definitions copied into its categories folder where
// their state files are looked up; removed at the end.
class BenchWorld {
 public:
  BenchWorld() {
    std::random_device random;
    m_folder = fs::temp_directory_path() / ("tulix-walk-bench-" + std::to_string(random()));
    fs::create_directories(m_folder / "categories");
    m_app = std::make_unique<tulix::TulixApplication>(m_folder.string(),
                                                      (m_folder / "registry.db").string());
    m_scope = std::make_unique<tulix::ScopedApplication>(*m_app);
  }
  ~BenchWorld() {
    m_scope.reset();
    m_app.reset();
    std::error_code error;
    fs::remove_all(m_folder, error);
  }
  BenchWorld(const BenchWorld&) = delete;
  BenchWorld& operator=(const BenchWorld&) = delete;

  fs::path categories() const { return m_folder / "categories"; }

 private:
  fs::path m_folder;
  std::unique_ptr<tulix::TulixApplication> m_app;
  std::unique_ptr<tulix::ScopedApplication> m_scope;
};

// The definition for a page: its own, else the first of the same engine.
fs::path DefinitionFor(const std::string& page, const std::vector<fs::path>& definitions) {
  for (const fs::path& ini : definitions) {
    if (ini.stem() == page) {
      return ini;
    }
  }
  const std::string engine = page.substr(0, page.find('-'));
  for (const fs::path& ini : definitions) {
    if (ini.stem().string().substr(0, ini.stem().string().find('-')) == engine) {
      return ini;
    }
  }
  return {};
}

std::vector<Walk> LoadWalks(const BenchWorld& world) {
  const fs::path pages =
      FolderFromEnvironment("TULIX_FIXTURES", fs::path(TULIX_FIXTURES_DIR)) / "serp";
  const fs::path engines =
      FolderFromEnvironment("TULIX_ENGINE_FIXTURES", fs::path(TULIX_ENGINE_FIXTURES_DIR));
  std::vector<fs::path> definitions;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(engines, error)) {
    if (entry.path().extension() == ".ini") {
      definitions.push_back(entry.path());
    }
    if (entry.path().extension() == ".ini" || entry.path().extension() == ".states") {
      fs::copy_file(entry.path(), world.categories() / entry.path().filename(),
                    fs::copy_options::overwrite_existing, error);
    }
  }
  std::sort(definitions.begin(), definitions.end());

  std::vector<Walk> walks;
  for (const auto& entry : fs::directory_iterator(pages, error)) {
    if (entry.path().extension() != ".html") {
      continue;
    }
    const std::string page = entry.path().stem().string();
    const fs::path ini = DefinitionFor(page, definitions);
    if (ini.empty()) {
      continue;
    }
    Walk walk;
    walk.label = page == ini.stem() ? page : page + "(" + ini.stem().string() + ")";
    walk.html = ReadFile(entry.path());
    walk.engine = std::make_unique<tulix::EngineDefinition>();
    walk.engine->SetFilePath((world.categories() / ini.filename()).string());
    walk.engine->Load();
    walk.search.text = QueryFor(page);
    walk.search.perEngine = 1000;  // never stop a walk early for having enough
    walks.push_back(std::move(walk));
  }
  std::sort(walks.begin(), walks.end(),
            [](const Walk& a, const Walk& b) { return a.label < b.label; });
  return walks;
}

// What a search job does for its first page, fresh runner and walk included: a job starts
// with both, so their set-up (the first request, the states read from the file) is part of
// what one page costs.
void WalkPage(benchmark::State& state, const Walk& walk) {
  int hits = 0;
  for (auto _ : state) {
    CountingSink sink;
    tulix::SearchWalk search(*walk.engine, walk.search, sink);
    tulix::ScriptRunner runner(*walk.engine);
    tulix::RequestSpec request = search.BuildNextRequest(runner);
    search.ProcessPage(runner, request, walk.html);
    hits = sink.kept + sink.dropped;
    benchmark::DoNotOptimize(hits);
  }
  state.counters["pages/s"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  // The inverse of the rate: seconds per page, printed with its prefix ("412.3u" is 412.3 us).
  state.counters["time/page"] = benchmark::Counter(
      1, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["hits"] = hits;
  state.counters["KB"] = static_cast<double>(walk.html.size()) / 1024;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * walk.html.size()));
}

}  // namespace

int main(int argc, char** argv) {
  // The world and the walks live as long as the benchmarks that point at them: to the end of
  // main.
  BenchWorld world;
  std::vector<Walk> walks = LoadWalks(world);
  for (const Walk& walk : walks) {
    benchmark::RegisterBenchmark(("PageWalk/" + walk.label).c_str(),
                                 [&walk](benchmark::State& s) { WalkPage(s, walk); });
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
