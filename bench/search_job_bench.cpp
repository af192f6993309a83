// How fast one search job gets through its pages: the saved result page yahoo-1.html, served
// ten times over from a loopback server, each copy led by a link to the next, walked with its
// engine's definition (yahoo-1.ini and its states, with one line added that queues the next
// copy). One iteration is the job's whole work routine, as a worker runs it: ten fetches, ten
// walks, and the hits of each page filtered and merged into a saved search.
//
// Where the time goes is measured by taking the routine apart: the ten fetches alone (the page
// fetcher over loopback) and the ten walks alone (the same pages from memory, with the same
// filter and merge). The "pages/s" counter (in real time: a job waits for its server) is the
// figure to compare; "time/page" is its inverse.
//
// The definitions are found in tests/fixtures of the source tree; TULIX_FIXTURES points
// elsewhere.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "base/application.h"
#include "engine/page_fetcher.h"
#include "engine/script_runner.h"
#include "engine/search_job.h"
#include "engine/search_walk.h"
#include "results/result_filter.h"
#include "results/saved_search.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;

constexpr int kPages = 10;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The definition with its server moved to loopback and its state file beside it.
std::string LoopbackDefinition(const std::string& ini, uint16_t port) {
  std::istringstream lines(ini);
  std::string text;
  for (std::string line; std::getline(lines, line);) {
    for (const char* key : {"host=", "port=", "home=", "statepath="}) {
      if (line.rfind(key, 0) == 0) {
        line.clear();
      }
    }
    text += line + "\n";
    if (line.rfind("[main]", 0) == 0) {
      text += "host=127.0.0.1\nport=" + std::to_string(port) + "\nstatepath=bench.states\n";
    }
  }
  return text;
}

// A program folder of its own with the engine in its categories folder, a loopback server
// with the pages, and a result filter; removed at the end.
class BenchWorld {
 public:
  BenchWorld() {
    unsetenv("http_proxy");  // a proxy from the environment would measure the proxy
    const char* fixtures = std::getenv("TULIX_FIXTURES");
    const fs::path root = fixtures != nullptr ? fs::path(fixtures) : fs::path(TULIX_FIXTURES_DIR);
    page = ReadFile(root / "serp" / "yahoo-1.html");

    m_server.set_tcp_nodelay(true);
    m_server.set_keep_alive_max_count(1000000);
    m_server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      response.set_content(PageAt(request.path), "text/html");
    });
    m_port = static_cast<uint16_t>(m_server.bind_to_any_port("127.0.0.1"));
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    while (!m_server.is_running()) {
      std::this_thread::yield();
    }

    std::random_device random;
    m_folder = fs::temp_directory_path() / ("tulix-job-bench-" + std::to_string(random()));
    fs::create_directories(m_folder / "categories");
    m_app =
        std::make_unique<TulixApplication>(m_folder.string(), (m_folder / "registry.db").string());
    m_scope.emplace(*m_app);
    m_app->resultFilter = std::make_shared<ResultFilter>(*m_app);

    std::ofstream(m_folder / "categories" / "bench.ini")
        << LoopbackDefinition(ReadFile(root / "engines" / "yahoo-1.ini"), m_port);
    // The next copy is queued from the link in front of each page.
    std::string states = ReadFile(root / "engines" / "yahoo-1.states");
    const size_t firstLine = states.find("[START]\n1=");
    states.insert(states.find('\n', states.find('\n', firstLine) + 1) + 1,
                  "2=SEARCHTEXT|START|^<a class=benchnext|SENDRESULTPAGETAG|\n");
    std::ofstream(m_folder / "categories" / "bench.states") << states;
    engine.SetFilePath((m_folder / "categories" / "bench.ini").string());
    engine.Load();
  }

  ~BenchWorld() {
    m_server.stop();
    m_thread.join();
    m_scope.reset();
    m_app.reset();
    std::error_code error;
    fs::remove_all(m_folder, error);
  }

  // Copy n (1 for the first request) of the page, led by a link to copy n + 1 but the last.
  std::string PageAt(const std::string& path) const {
    const int n = path.rfind("/p", 0) == 0 ? std::atoi(path.c_str() + 2) : 1;
    if (n >= kPages) {
      return page;
    }
    return "<a class=benchnext href=/p" + std::to_string(n + 1) + ">next</a>" + page;
  }

  // A fresh search, as a new run of a search starts with an empty list.
  std::unique_ptr<SavedSearch> NewSearch() const {
    auto search = std::make_unique<SavedSearch>();
    search->settings.name = "snow";
    search->settings.perEngine = 1000;  // never stop early for having enough
    search->SetFilePath((m_folder / "search.ini").string());
    return search;
  }

  uint16_t Port() const { return m_port; }

  std::string page;
  EngineDefinition engine;

 private:
  httplib::Server m_server;
  std::thread m_thread;
  uint16_t m_port = 0;
  fs::path m_folder;
  std::unique_ptr<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scope;
};

BenchWorld& World() {
  static BenchWorld world;
  return world;
}

void CountPages(benchmark::State& state, int pages) {
  state.counters["pages/s"] =
      benchmark::Counter(pages, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["time/page"] = benchmark::Counter(
      pages, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The job's work routine: fetch, walk and merge, page after page.
void BM_SearchJob(benchmark::State& state) {
  BenchWorld& world = World();
  int pages = 0;
  int hits = 0;
  for (auto _ : state) {
    std::unique_ptr<SavedSearch> search = world.NewSearch();
    auto job = std::make_shared<CSearchJob>(world.engine, *search);
    CSearchJob::RunSearch(*job);
    pages = job->Walk().PagesFetched();
    hits = job->GetResultCount();
  }
  if (pages != kPages) {
    state.SkipWithError("the job did not walk every page");
  }
  CountPages(state, kPages);
  state.counters["hits"] = hits;
}
BENCHMARK(BM_SearchJob)->Unit(benchmark::kMillisecond)->UseRealTime();

// The fetches alone.
void BM_Fetches(benchmark::State& state) {
  BenchWorld& world = World();
  bool ok = true;
  for (auto _ : state) {
    int pagesFetched = 0;
    for (int n = 1; n <= kPages; ++n) {
      RequestSpec request;
      request.host = "127.0.0.1";
      request.port = world.Port();
      request.object = n == 1 ? "/search?p=snow" : "/p" + std::to_string(n);
      std::string page;
      ok = FetchPage(nullptr, request, page, pagesFetched) == kFetchOk && ok;
    }
  }
  if (!ok) {
    state.SkipWithError("a fetch failed");
  }
  CountPages(state, kPages);
}
BENCHMARK(BM_Fetches)->Unit(benchmark::kMillisecond)->UseRealTime();

// The walks alone, with the filter and the merge, from pages already in memory.
void BM_Walks(benchmark::State& state) {
  BenchWorld& world = World();
  std::string pages[kPages];
  for (int n = 1; n <= kPages; ++n) {
    pages[n - 1] = world.PageAt("/p" + std::to_string(n));
  }
  for (auto _ : state) {
    std::unique_ptr<SavedSearch> search = world.NewSearch();
    const SearchQuery query = search->Query();
    std::unique_ptr<HitSink> sink = search->MakeHitSink();
    SearchWalk walk(world.engine, query, *sink);
    ScriptRunner runner(world.engine);
    for (const std::string& page : pages) {
      RequestSpec request = walk.BuildNextRequest(runner);
      walk.ProcessPage(runner, request, page);
    }
    benchmark::DoNotOptimize(walk.AcceptedHits());
  }
  CountPages(state, kPages);
}
BENCHMARK(BM_Walks)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
