// How fast an upgrade brings in a whole engine set: 2,000 engine definitions (and their
// category file) downloaded from the real update server on loopback into an empty program
// folder, the way a first start does it. The "files/s" counter is the figure to compare.
//
// Where the time goes is measured by parts: the list request alone (asked and parsed), the
// 2,000 file downloads without installing, and the 2,000 installs without the network. The
// whole run minus the parts is the job's own work (category checks, messages, bookkeeping).
//
// The server is a tulix-update-server process of its own, started once on 127.0.0.1 with a port
// the system picks. The log goes to tulix.log in the bench folder, as the program's does.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "definitions/tree.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "update/update_fetch.h"
#include "update/upgrade_job.h"
#include "update/upgrade_list.h"

#include "tool_process.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;

constexpr int kEngines = 2000;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The published set, the server process and an application object, made once.
class BenchWorld {
 public:
  BenchWorld() {
    unsetenv("http_proxy");
    std::random_device random;
    m_folder = fs::temp_directory_path() / ("tulix-upgrade-bench-" + std::to_string(random()));
    Publish();
    m_server.emplace(std::vector<std::string>{TULIX_UPDATE_SERVER_BINARY, "--port", "0",
                                              (m_folder / "published").string()});
    if (m_server->Port() == 0) {
      std::abort();
    }
    fs::create_directories(m_folder / "home");
    m_app.emplace((m_folder / "home").string(), (m_folder / "registry.db").string());
    m_scope.emplace(*m_app);
    OpenLog((m_folder / "home").string());
    m_app->registry().SetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer",
                                "127.0.0.1:" + std::to_string(m_server->Port()));
  }
  ~BenchWorld() {
    m_app->categoryTree.reset();
    m_scope.reset();
    m_app.reset();
    m_server.reset();
    std::error_code ignored;
    fs::remove_all(m_folder, ignored);
  }

  // An empty categories folder and tree, as before a first download.
  void EmptyProgram() {
    m_app->categoryTree.reset();
    ClearProfileCache();
    fs::remove_all(m_folder / "home" / "categories");
    fs::create_directories(m_folder / "home" / "categories");
    m_app->categoryTree = ScanCategoryTree();
  }

  const std::string& engineText() const { return m_engine; }
  std::string EngineName(int i) const { return "e" + std::to_string(i) + ".ini"; }

 private:
  void Publish() {
    const fs::path web = m_folder / "published" / "web";
    fs::create_directories(web);
    m_engine =
        ReadAll(fs::path(TULIX_FIXTURES_DIR) / ".." / "data" / "categories" / "web" / "demo.ini");
    std::ofstream(m_folder / "published" / "web.cat") << "[main]\norder=100\n";
    for (int i = 0; i < kEngines; ++i) {
      std::ofstream(web / EngineName(i), std::ios::binary) << m_engine;
    }
    // Stamps in the past, so the server lists every file at once.
    const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    for (const auto& entry : fs::recursive_directory_iterator(m_folder / "published")) {
      ::utimensat(AT_FDCWD, entry.path().c_str(), times, 0);
    }
  }

  fs::path m_folder;
  std::string m_engine;
  std::optional<bench::ToolProcess> m_server;
  std::optional<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scope;
};

BenchWorld& World() {
  static BenchWorld world;
  return world;
}

void SetFilesPerSecond(benchmark::State& state, int files) {
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(files), benchmark::Counter::kIsIterationInvariantRate);
}

// The whole first download: list, category file and 2,000 engines, each fetched and installed.
void BM_FullUpgrade(benchmark::State& state) {
  BenchWorld& world = World();
  for (auto _ : state) {
    state.PauseTiming();
    world.EmptyProgram();
    auto job = CUpgradeCategoryJob::MakeFullDownload();
    state.ResumeTiming();
    if (job->RunHere() != kResultSuccess || job->Files().size() != kEngines + 1) {
      state.SkipWithError("the upgrade failed");
      break;
    }
  }
  SetFilesPerSecond(state, kEngines + 1);
}
BENCHMARK(BM_FullUpgrade)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The list request: asked, received and parsed.
void BM_ListOnly(benchmark::State& state) {
  World();
  const std::string object =
      *BuildUpgradeListObject(UpgradeListQuery{"", "", "web", "1.500", "", true}, nullptr);
  for (auto _ : state) {
    std::string text;
    const auto deadline = UpdateClock::now() + std::chrono::minutes(1);
    if (FetchFromUpdateServer(object, kMaxUpgradeListBytes, deadline, text) !=
        UpdateFetchResult::kOk) {
      state.SkipWithError("the list request failed");
      break;
    }
    benchmark::DoNotOptimize(ParseUpgradeList(text));
  }
}
BENCHMARK(BM_ListOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// The 2,000 downloads alone, nothing installed.
void BM_DownloadsOnly(benchmark::State& state) {
  BenchWorld& world = World();
  for (auto _ : state) {
    const auto deadline = UpdateClock::now() + std::chrono::minutes(1);
    for (int i = 0; i < kEngines; ++i) {
      std::string body;
      if (FetchFromUpdateServer(UpgradeFileObject("web\\" + world.EngineName(i)),
                                kMaxUpgradeFileBytes, deadline, body) != UpdateFetchResult::kOk) {
        state.SkipWithError("a download failed");
        return;
      }
    }
  }
  SetFilesPerSecond(state, kEngines);
}
BENCHMARK(BM_DownloadsOnly)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The 2,000 installs alone, from memory into an empty program.
void BM_InstallsOnly(benchmark::State& state) {
  BenchWorld& world = World();
  for (auto _ : state) {
    state.PauseTiming();
    world.EmptyProgram();
    InstallCategory("web.cat", "[main]\norder=100\n", "1700000000");
    state.ResumeTiming();
    for (int i = 0; i < kEngines; ++i) {
      InstallEngineDefinition("web\\" + world.EngineName(i), world.engineText());
    }
  }
  SetFilesPerSecond(state, kEngines);
}
BENCHMARK(BM_InstallsOnly)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
