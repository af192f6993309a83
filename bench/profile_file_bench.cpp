// Saving and loading a saved search as the results views do: N result sections of 9 keys each,
// written in one batch, then read back key by key from the warm cache and, after the cache was
// cleared, as a freshly started program would. 20,000 sections should cost about four times
// what 5,000 do.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/profile_file.h"

namespace tulix {
namespace {

constexpr const char* kKeys[] = {"result",  "enginelist", "visited", "href", "percent",
                                 "engines", "keywords",   "rank",    "mark"};

// A folder of its own for the benchmark's file, removed at exit.
class BenchFolder {
 public:
  BenchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tulix-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      m_path = pattern;
    }
  }
  ~BenchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

const BenchFolder& Folder() {
  static BenchFolder folder;
  return folder;
}

std::string ValueOf(int section, int key) {
  const std::string n = std::to_string(section);
  switch (key) {
    case 0:
      return "Result title number " + n + " about the <r>search</r> words";
    case 3:
      return "http://www.example.com/pages/" + n + "/index.html?q=search+words";
    case 6:
      return "search words";
    default:
      return std::to_string(section * 9 + key);
  }
}

void WriteSearch(const std::string& file, int sections) {
  ProfileBatch batch(file);
  for (int s = 0; s < sections; ++s) {
    const std::string section = std::to_string(s);
    for (int k = 0; k < 9; ++k) {
      WritePrivateProfileString(section.c_str(), kKeys[k], ValueOf(s, k).c_str(), file);
    }
  }
}

// Reads every key back; returns the number of characters read so the work is not optimised
// away, or -1 when a value differs from what was written.
int64_t ReadSearch(const std::string& file, int sections) {
  int64_t total = 0;
  for (int s = 0; s < sections; ++s) {
    const std::string section = std::to_string(s);
    for (int k = 0; k < 9; ++k) {
      std::string value = GetPrivateProfileString(section.c_str(), kKeys[k], "", file);
      if (value != ValueOf(s, k)) {
        return -1;
      }
      total += static_cast<int64_t>(value.size());
    }
  }
  return total;
}

std::string FreshFile(int sections) {
  const std::string file = Folder().File("search" + std::to_string(sections) + ".ini");
  ::unlink(file.c_str());
  ClearProfileCache();
  return file;
}

void SetCounters(benchmark::State& state, int sections) {
  state.counters["keys"] = sections * 9.0;
  state.counters["per_key"] = benchmark::Counter(
      sections * 9.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_WriteInOneBatch(benchmark::State& state) {
  const int sections = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    const std::string file = FreshFile(sections);
    state.ResumeTiming();
    WriteSearch(file, sections);
  }
  SetCounters(state, sections);
}

void BM_ReadWarm(benchmark::State& state) {
  const int sections = static_cast<int>(state.range(0));
  const std::string file = FreshFile(sections);
  WriteSearch(file, sections);
  ReadSearch(file, sections);
  for (auto _ : state) {
    int64_t read = ReadSearch(file, sections);
    if (read < 0) {
      state.SkipWithError("a value read back differs");
      break;
    }
    benchmark::DoNotOptimize(read);
  }
  SetCounters(state, sections);
}

void BM_ReadCold(benchmark::State& state) {
  const int sections = static_cast<int>(state.range(0));
  const std::string file = FreshFile(sections);
  WriteSearch(file, sections);
  for (auto _ : state) {
    ClearProfileCache();  // as a new process: the first read parses the file
    int64_t read = ReadSearch(file, sections);
    if (read < 0) {
      state.SkipWithError("a value read back differs");
      break;
    }
    benchmark::DoNotOptimize(read);
  }
  SetCounters(state, sections);
}

// On a shared machine the fastest of several repetitions (--benchmark_repetitions=N) is the
// figure least disturbed by other work.
double Fastest(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

void Configure(benchmark::internal::Benchmark* b) {
  b->Arg(5000)->Arg(20000)->Iterations(3)->Unit(benchmark::kMillisecond);
  b->ComputeStatistics("min", Fastest);
}

BENCHMARK(BM_WriteInOneBatch)->Apply(Configure);
BENCHMARK(BM_ReadWarm)->Apply(Configure);
BENCHMARK(BM_ReadCold)->Apply(Configure);

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
