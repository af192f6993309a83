// The result list of one saved search under the load of a real search and of the results view:
// - 20 engines of 250 hits each, half of the addresses shared by every engine, merged into one
//   search from 4 threads (hits per second);
// - one hit merged into, or added to, a list that already holds 1,000, 5,000 or 20,000 results
//   (the time per hit must not grow with the length);
// - keyword scoring of an ordinary result, and of a 300 KB text against 10,000 search words;
// - sorting 5,000 results by each key;
// - saving and loading a search of 5,000 results (loading with the profile cache cleared, as a
//   freshly started program reads it).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/application.h"
#include "definitions/engine_definition.h"
#include "platform/profile_file.h"
#include "results/result_sort.h"
#include "results/saved_search.h"
#include "results/search_hit_sink.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;

constexpr int kEngines = 20;
constexpr int kHitsPerEngine = 250;
constexpr int kThreads = 4;

// A program folder of its own with the application installed, and the engines hits come from.
class World {
 public:
  World() {
    std::string pattern = (fs::temp_directory_path() / "tulix-results-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      m_path = pattern;
    }
    m_app = std::make_unique<TulixApplication>(m_path, m_path + "/registry.db");
    m_scope = std::make_unique<ScopedApplication>(*m_app);
    for (int i = 0; i < kEngines; ++i) {
      auto engine = std::make_unique<EngineDefinition>();
      engine->name = "engine" + std::to_string(i);
      engines.push_back(std::move(engine));
    }
  }
  ~World() {
    m_scope.reset();
    m_app.reset();
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }

  // A fresh search in the folder, submitted as a search is before its jobs run.
  std::unique_ptr<SavedSearch> NewSearch(const std::string& file) {
    auto search = std::make_unique<SavedSearch>();
    search->settings.name = "blue whale migration";
    search->SetFilePath(m_path + "/" + file + ".ini");
    std::error_code ec;
    fs::remove(m_path + "/" + file + ".ini", ec);
    ClearProfileCache();
    search->PrepareRerun();
    return search;
  }

  std::vector<std::unique_ptr<EngineDefinition>> engines;

 private:
  std::string m_path;
  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

World& TheWorld() {
  static World world;
  return world;
}

EngineHit MakeHit(const EngineDefinition* engine, const std::string& address, int position) {
  EngineHit hit;
  hit.engine = engine;
  hit.address = address;
  hit.position = position;
  hit.text = "<a href=" + address +
             ">The <r>blue</r> <r>whale</r> and its long journey</a> Every year the largest "
             "animal on earth travels thousands of miles between feeding and breeding waters; "
             "researchers follow the <r>migration</r> with tags and hydrophones.";
  return hit;
}

// Half of each engine's addresses are shared by all engines, the other half its own.
std::string AddressOf(int engine, int hit) {
  if (hit % 2 == 0) {
    return "http://shared.example/page/" + std::to_string(hit);
  }
  return "http://engine" + std::to_string(engine) + ".example/page/" + std::to_string(hit);
}

void BM_MergeFromFourThreads(benchmark::State& state) {
  World& world = TheWorld();
  // The hits are made before the clock runs: extracting them is the script's work.
  std::vector<std::vector<EngineHit>> hits(kEngines);
  for (int e = 0; e < kEngines; ++e) {
    for (int i = 0; i < kHitsPerEngine; ++i) {
      hits[e].push_back(MakeHit(world.engines[e].get(), AddressOf(e, i), i + 1));
    }
  }
  size_t results = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto search = world.NewSearch("merge");
    state.ResumeTiming();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        SearchHitSink sink(*search);
        for (int e = t; e < kEngines; e += kThreads) {
          for (const EngineHit& hit : hits[e]) {
            if (sink.AcceptHit(hit)) {
              sink.AddEngineHit(hit);
            }
          }
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    results = search->current().size();
  }
  state.SetItemsProcessed(state.iterations() * kEngines * kHitsPerEngine);
  state.counters["results"] = static_cast<double>(results);
}
BENCHMARK(BM_MergeFromFourThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

// A search whose current list holds `length` results, and as many in its previous list.
std::unique_ptr<SavedSearch> FilledSearch(int length) {
  World& world = TheWorld();
  auto search = world.NewSearch("filled");
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < length; ++i) {
      search->AddEngineHit(
          MakeHit(world.engines[i % kEngines].get(),
                  "http://r" + std::to_string(round) + ".example/" + std::to_string(i), 1));
    }
    if (round == 0) {
      search->PrepareRerun();
    }
  }
  return search;
}

// A hit whose address is in the list: found and merged.
void BM_MergeHitAtLength(benchmark::State& state) {
  const int length = static_cast<int>(state.range(0));
  auto search = FilledSearch(length);
  const EngineDefinition* engine = TheWorld().engines[0].get();
  std::vector<EngineHit> hits;
  for (int i = 0; i < 1000; ++i) {
    hits.push_back(MakeHit(engine, "http://r1.example/" + std::to_string(i * 7919 % length), 1));
  }
  size_t next = 0;
  for (auto _ : state) {
    search->AddEngineHit(hits[next]);
    next = (next + 1) % hits.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MergeHitAtLength)->Arg(1000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMicrosecond);

// A hit with a new address: looked for in both lists, then added. The added results are taken
// out again, unclocked, after each thousand so the list keeps its length.
void BM_NewHitAtLength(benchmark::State& state) {
  const int length = static_cast<int>(state.range(0));
  auto search = FilledSearch(length);
  const EngineDefinition* engine = TheWorld().engines[0].get();
  constexpr int kBatch = 1000;
  std::vector<EngineHit> hits;
  for (int i = 0; i < kBatch; ++i) {
    hits.push_back(MakeHit(engine, "http://new.example/" + std::to_string(i), 1));
  }
  int added = 0;
  for (auto _ : state) {
    search->AddEngineHit(hits[added]);
    if (++added == kBatch) {
      state.PauseTiming();
      ResultList& current = search->current();
      while (current.size() > static_cast<size_t>(length)) {
        current.Delete(current.at(current.size() - 1));
      }
      added = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewHitAtLength)->Arg(1000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMicrosecond);

void BM_ScoreKeywords(benchmark::State& state) {
  auto search = TheWorld().NewSearch("score");
  SearchResult result(MakeHit(TheWorld().engines[0].get(), "http://x.example/", 1));
  for (auto _ : state) {
    search->ScoreKeywords(result);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(result.text.size()));
}
BENCHMARK(BM_ScoreKeywords)->Unit(benchmark::kMicrosecond);

// A 300 KB text against 10,000 search words.
void BM_ScoreKeywordsLargeText(benchmark::State& state) {
  auto search = TheWorld().NewSearch("score");
  search->settings.name.clear();
  for (int i = 0; i < 10000; ++i) {
    search->settings.name += "word" + std::to_string(i) + " ";
  }
  SearchResult result(MakeHit(TheWorld().engines[0].get(), "http://x.example/", 1));
  result.text = "<a href=http://x.example/>title</a>";
  for (int i = 0; result.text.size() < 300 * 1024; ++i) {
    result.text += " word" + std::to_string(i % 20000) + " filler";
  }
  for (auto _ : state) {
    search->ScoreKeywords(result);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(result.text.size()));
}
BENCHMARK(BM_ScoreKeywordsLargeText)->Unit(benchmark::kMillisecond);

// 5,000 results with scores spread as a real search spreads them.
std::unique_ptr<SavedSearch> ScoredSearch(const std::string& file) {
  World& world = TheWorld();
  auto search = world.NewSearch(file);
  for (int e = 0; e < kEngines; ++e) {
    for (int i = 0; i < kHitsPerEngine; ++i) {
      search->AddEngineHit(MakeHit(world.engines[e].get(), AddressOf(e, i), i + 1));
    }
  }
  for (int i = 0; search->current().size() < 5000; ++i) {
    search->AddEngineHit(
        MakeHit(world.engines[0].get(), "http://more.example/" + std::to_string(i), i % 200 + 1));
  }
  int n = 0;
  for (const auto& result : search->current()) {
    result->score.keywords = n % 13 - 3;
    result->score.percent = n % 101;
    result->score.mark = n % 17 == 0 ? kMarkRelevant : kMarkRanked;
    ++n;
  }
  return search;
}

void BM_Sort5000(benchmark::State& state) {
  const int key = static_cast<int>(state.range(0));
  auto search = ScoredSearch("sort");
  for (auto _ : state) {
    benchmark::DoNotOptimize(SortedResults(search->current(), key));
  }
  state.SetLabel(SortHeadingWord(key));
  state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_Sort5000)->DenseRange(1, 5)->Unit(benchmark::kMicrosecond);

void BM_Save5000(benchmark::State& state) {
  auto search = ScoredSearch("save");
  for (auto _ : state) {
    if (!search->SaveAllResults()) {
      state.SkipWithError("saving failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_Save5000)->Unit(benchmark::kMillisecond);

void BM_Load5000(benchmark::State& state) {
  auto saved = ScoredSearch("load");
  saved->SaveAllResults();
  size_t loaded = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ClearProfileCache();
    auto search = std::make_unique<SavedSearch>();
    search->SetFilePath(saved->ResultsFile());
    state.ResumeTiming();
    search->LoadResults();
    loaded = search->current().size();
    state.PauseTiming();
    search.reset();
    state.ResumeTiming();
  }
  state.counters["results"] = static_cast<double>(loaded);
  state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_Load5000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
