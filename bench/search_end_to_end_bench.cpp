// A whole search, end to end, against the demo engines on loopback: five engines of the demo
// set, three pages of ten results each, every page answered 10 ms late by the server. One
// iteration submits the stored search again (its old results move aside, the jobs are
// scheduled, fetch, walk, merge) and ends when the search has been stored.
//
// The job manager runs at two pacings: the desktop program's (first tick after 4 s, a tick every
// 500 ms, the dispatcher resting 1 s after each job) and the command line's (tulix-search).
// Counters, in milliseconds: first_result (submit to the first merged hit), stored (submit to the
// stored search), engines (what the engines themselves take when all five are asked at once:
// the slowest engine's three fetches, measured one after another before the runs; a little
// over 3 x 10 ms, as each server also searches and writes its page) and overhead_pct (stored
// over engines). MaxTasks is 5 so that all five engines
// run at once, as the engines' own time assumes.
//
// Where the time goes: BM_EnginesAlone runs the five jobs' work routines on five threads without
// the job manager (fetching, walking and merging, no scheduling, no storing); BM_WalkPages walks
// the fifteen pages from memory (scanning and merging alone); BM_StoreSearch stores the search
// (the results and the settings, as its end does).
//
// Needs tulix-demo-engines (built with the benchmarks) and the demo engine set of data/.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/application_core.h"
#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/tree.h"
#include "engine/page_fetcher.h"
#include "engine/script_runner.h"
#include "engine/search_job.h"
#include "engine/search_walk.h"
#include "jobs/job_manager.h"
#include "platform/event_loop.h"
#include "results/saved_search.h"
#include "results/search_hit_sink.h"

#include "tool_process.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr int kLatencyMs = 10;
constexpr int kPagesPerEngine = 3;
constexpr int kEngines = 5;
constexpr char kWords[] = "text editor";

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

double Milliseconds(SteadyClock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

// tulix-demo-engines as a child process on a port the system picks, every page 10 ms late.
class DemoEngines : public bench::ToolProcess {
 public:
  DemoEngines()
      : ToolProcess({TULIX_DEMO_ENGINES_BINARY, "--port", "0", "--latency",
                     std::to_string(kLatencyMs)}) {}
};

DemoEngines& Engines() {
  static DemoEngines engines;
  return engines;
}

// The demo set's web category, its engines pointed at the running demo engines, asking for
// three pages of ten from each.
void WriteCategories(const fs::path& categories, int port) {
  const fs::path demo = fs::path(TULIX_DATA_DIR) / "engines" / "demo";
  fs::create_directories(categories / "web");
  std::ofstream(categories / "web.cat")
      << "[main]\nEngineCount=" << kEngines << "\nPerEngine=" << kPagesPerEngine * 10 << "\n";
  for (const fs::directory_entry& entry : fs::directory_iterator(demo / "web")) {
    std::string text = ReadFile(entry.path());
    for (size_t at = text.find("8381"); at != std::string::npos; at = text.find("8381", at)) {
      text.replace(at, 4, std::to_string(port));
    }
    std::ofstream(categories / "web" / entry.path().filename()) << text;
  }
}

// Records when the first hit of a run arrived and when the run was stored.
class RunWatcher : public SearchViewHooks, public SearchChangeListener {
 public:
  void SearchChanged(SavedSearch& search) override {
    if (search.settings.found > 0 && !m_firstSeen.exchange(true)) {
      m_first = SteadyClock::now();
    }
  }
  void SearchCompleted(SavedSearch&, bool) override {
    stored = SteadyClock::now();
    done = true;
  }
  void Reset() {
    m_firstSeen = false;
    done = false;
  }
  SteadyClock::time_point First() const { return m_first; }

  bool done = false;
  SteadyClock::time_point stored;

 private:
  std::atomic<bool> m_firstSeen{false};
  SteadyClock::time_point m_first;
};

// A program folder of its own with the application core started in it; removed at the end.
class BenchWorld {
 public:
  explicit BenchWorld(const JobSystemOptions& pacing) : m_core(m_loop) {
    unsetenv("http_proxy");  // a proxy from the environment would measure the proxy
    std::random_device random;
    m_folder = fs::temp_directory_path() / ("tulix-e2e-bench-" + std::to_string(random()));
    WriteCategories(m_folder / "categories", Engines().Port());
    StartupOptions options;
    options.programFolder = m_folder.string();
    options.registryPath = (m_folder / "registry.db").string();
    options.checkEngines = false;
    options.jobs = pacing;
    m_core.Start(options);
    App().settings().MaxTasks = kEngines;
    App().searchView = m_watcher;
    SearchSettings settings;
    settings.name = kWords;
    settings.type = kSearchAnyWords;
    settings.category = "web";
    search = FindOrCreateSearch(settings);
    search->SetChangeListener(m_watcher.get());
  }
  ~BenchWorld() {
    search->SetChangeListener(nullptr);
    m_core.Shutdown();
    std::error_code error;
    fs::remove_all(m_folder, error);
  }

  // One run of the search; false when it did not complete.
  bool Run(double* firstMs, double* storedMs) {
    m_watcher->Reset();
    const auto start = SteadyClock::now();
    if (search->Submit(false) != SubmitOutcome::kStarted) {
      return false;
    }
    if (!m_loop.RunUntil([&] { return m_watcher->done; }, std::chrono::seconds(60))) {
      return false;
    }
    *firstMs = Milliseconds(m_watcher->First() - start);
    *storedMs = Milliseconds(m_watcher->stored - start);
    return true;
  }

  std::vector<const EngineDefinition*> WebEngines() const {
    std::vector<const EngineDefinition*> engines;
    auto hold = ReadCategoryTree();
    for (TreeNode* node : Tree::Collect(FindCategoryByName("web"), false, false)) {
      if (auto* engine = dynamic_cast<EngineDefinition*>(node)) {
        engines.push_back(engine);
      }
    }
    return engines;
  }

  SavedSearch* search = nullptr;

 private:
  StdEventLoop m_loop;
  ApplicationCore m_core;
  fs::path m_folder;
  std::shared_ptr<RunWatcher> m_watcher = std::make_shared<RunWatcher>();
};

// The pages of each engine, fetched one after another as its job fetches them.
struct FetchedPages {
  const EngineDefinition* engine;
  std::vector<std::string> pages;
};
// Fetches every engine's pages, walking each to find the next; `slowestMs` is the fetching
// time of the slowest engine: what the engines themselves take when all are asked at once.
std::vector<FetchedPages> FetchEveryPage(BenchWorld& world, double* slowestMs) {
  std::vector<FetchedPages> fetched;
  const SearchQuery query = world.search->Query();
  *slowestMs = 0;
  for (const EngineDefinition* engine : world.WebEngines()) {
    FetchedPages one{engine, {}};
    SearchHitSink sink(*world.search);
    SearchWalk walk(*engine, query, sink);
    ScriptRunner runner(*engine);
    SteadyClock::duration fetching{};
    for (int page = 0; page < kPagesPerEngine; ++page) {
      if (page > 0 && !walk.HasQueuedRequests()) {
        break;
      }
      RequestSpec request = walk.BuildNextRequest(runner);
      std::string text;
      const auto start = SteadyClock::now();
      walk.Fetch(request, text);
      fetching += SteadyClock::now() - start;
      walk.ProcessPage(runner, request, text);
      one.pages.push_back(std::move(text));
    }
    *slowestMs = std::max(*slowestMs, Milliseconds(fetching));
    fetched.push_back(std::move(one));
  }
  return fetched;
}

JobSystemOptions DesktopPacing() {
  return {};
}

void ReportTimes(benchmark::State& state, double engines, double first, double stored,
                 int runs) {
  state.counters["first_result_ms"] = first / runs;
  state.counters["stored_ms"] = stored / runs;
  state.counters["engines_ms"] = engines;
  state.counters["overhead_pct"] = (stored / runs - engines) * 100.0 / engines;
}

void BM_WholeSearch(benchmark::State& state, JobSystemOptions pacing) {
  if (Engines().Port() == 0) {
    state.SkipWithError("tulix-demo-engines did not start");
    return;
  }
  BenchWorld world(pacing);
  double engines = 0;
  FetchEveryPage(world, &engines);
  double first = 0;
  double stored = 0;
  int runs = 0;
  for (auto _ : state) {
    double firstMs = 0;
    double storedMs = 0;
    if (!world.Run(&firstMs, &storedMs)) {
      state.SkipWithError("the search did not complete");
      return;
    }
    first += firstMs;
    stored += storedMs;
    ++runs;
  }
  ReportTimes(state, engines, first, stored, runs);
  state.counters["results"] = world.search->Found();
}
BENCHMARK_CAPTURE(BM_WholeSearch, command_line_pacing, CommandLinePacing())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);
BENCHMARK_CAPTURE(BM_WholeSearch, desktop_pacing, DesktopPacing())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The five work routines at once on threads of their own: fetching, walking and merging.
void BM_EnginesAlone(benchmark::State& state) {
  BenchWorld world(CommandLinePacing());
  const std::vector<const EngineDefinition*> engines = world.WebEngines();
  int pages = 0;
  for (auto _ : state) {
    world.search->PrepareRerun();
    std::vector<std::shared_ptr<CSearchJob>> jobs;
    for (const EngineDefinition* engine : engines) {
      jobs.push_back(std::make_shared<CSearchJob>(*engine, *world.search));
    }
    std::vector<std::thread> threads;
    for (const auto& job : jobs) {
      threads.emplace_back([job] {
        job->SetRunning(kJobRunning);
        CSearchJob::RunSearch(*job);
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    pages = 0;
    for (const auto& job : jobs) {
      pages += job->Walk().PagesFetched();
    }
  }
  state.counters["pages"] = pages;
}
BENCHMARK(BM_EnginesAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The fifteen pages walked from memory with each engine's script, the hits merged.
void BM_WalkPages(benchmark::State& state) {
  BenchWorld world(CommandLinePacing());
  double slowest = 0;
  const std::vector<FetchedPages> fetched = FetchEveryPage(world, &slowest);
  const SearchQuery query = world.search->Query();
  for (auto _ : state) {
    world.search->PrepareRerun();
    for (const FetchedPages& one : fetched) {
      SearchHitSink sink(*world.search);
      SearchWalk walk(*one.engine, query, sink);
      ScriptRunner runner(*one.engine);
      for (const std::string& page : one.pages) {
        RequestSpec request = walk.BuildNextRequest(runner);
        walk.ProcessPage(runner, request, page);
      }
    }
  }
  state.counters["results"] = world.search->Found();
}
BENCHMARK(BM_WalkPages)->Unit(benchmark::kMillisecond)->UseRealTime();

// Storing the search at its end: every result and the settings.
void BM_StoreSearch(benchmark::State& state) {
  BenchWorld world(CommandLinePacing());
  double first = 0;
  double stored = 0;
  if (!world.Run(&first, &stored)) {
    state.SkipWithError("the search did not complete");
    return;
  }
  for (auto _ : state) {
    world.search->SaveAllResults();
    world.search->SaveSettings();
  }
  state.counters["results"] = world.search->Found();
}
BENCHMARK(BM_StoreSearch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
