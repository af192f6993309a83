// The start-up scan of the two trees at the size of a well-used install: a category folder of
// 200 categories holding 2,000 engine files, and a searches folder of 5,000 saved searches in
// 100 folders. Each is scanned with the profile cache warm (the files parsed before) and cold
// (cleared before each scan, as at program start; the system's own file cache stays warm).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/search_folder.h"
#include "definitions/tree_scan.h"
#include "platform/paths.h"
#include "platform/profile_file.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;

constexpr int kTopCategories = 20;
constexpr int kSubCategories = 9;  // per top category: 20 + 180 = 200 categories
constexpr int kEnginesPerCategory = 10;
constexpr int kTopSearchFolders = 10;
constexpr int kSubSearchFolders = 9;  // per top folder: 10 + 90 = 100 folders
constexpr int kSearchesPerFolder = 50;

void Write(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

// A category: its ".cat" file beside its folder, ten engine files inside.
void MakeCategory(const fs::path& folder, int number) {
  fs::create_directories(folder);
  Write(folder.string() + ".cat", "[main]\r\norder=" + std::to_string(100 + number % 7 * 100) +
                                      "\r\nFamilySafe=1\r\nkeywords=news:50 web\r\n");
  for (int e = 0; e < kEnginesPerCategory; ++e) {
    Write(folder / ("engine" + std::to_string(e) + ".ini"),
          "[main]\r\nname=Engine " + std::to_string(e) + "\r\norder=" + std::to_string(e * 10) +
              "\r\nfamilysafe=1\r\nsitetype=0\r\n[states]\r\n0=start\r\n");
  }
}

void MakeSearchFolder(const fs::path& folder, int number) {
  fs::create_directories(folder);
  if (number % 4 == 0) {
    Write(folder.string() + ".sdp", "[main]\r\nfamilysafe=1\r\n");
  }
  for (int s = 0; s < kSearchesPerFolder; ++s) {
    Write(folder / ("2024010100" + std::to_string(1000 + number * kSearchesPerFolder + s) + ".ini"),
          "[Main]\r\nName=search words " + std::to_string(s) +
              "\r\nCategory=web\r\nType=0\r\nShopping=50\r\nEngineCount=5\r\nPerEngine=50\r\n"
              "[ResultSummary]\r\nFound=0\r\n");
  }
}

// A program folder with both trees on disk and an application object pointing at it.
class BenchWorld {
 public:
  BenchWorld() {
    std::string pattern = (fs::temp_directory_path() / "tulix-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      return;
    }
    m_path = pattern;
    m_app = std::make_unique<TulixApplication>(m_path, m_path + "/registry.db");
    m_scope = std::make_unique<ScopedApplication>(*m_app);
    int number = 0;
    for (int t = 0; t < kTopCategories; ++t) {
      fs::path top =
          fs::path(ToFileSystemPath(GetCategoriesFolder())) / ("cat" + std::to_string(t));
      MakeCategory(top, number++);
      for (int s = 0; s < kSubCategories; ++s) {
        MakeCategory(top / ("sub" + std::to_string(s)), number++);
      }
    }
    number = 0;
    for (int t = 0; t < kTopSearchFolders; ++t) {
      fs::path top =
          fs::path(ToFileSystemPath(GetSearchesFolder())) / ("folder" + std::to_string(t));
      MakeSearchFolder(top, number++);
      for (int s = 0; s < kSubSearchFolders; ++s) {
        MakeSearchFolder(top / ("inner" + std::to_string(s)), number++);
      }
    }
  }
  ~BenchWorld() {
    m_scope.reset();
    m_app.reset();
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }

 private:
  std::string m_path;
  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

// Nodes that read their files as categories, engines and saved searches will: a few keys each.
class ReadingNode : public TreeNode {
 public:
  ReadingNode(std::string file, bool folder) : m_file(std::move(file)) {
    kind = folder ? kFolderNode : kLeafNode;
  }
  bool Load() override {
    order = static_cast<int>(GetPrivateProfileInt("main", "order", 0, m_file));
    m_text = GetPrivateProfileString("main", "name", "", m_file);
    m_flag = static_cast<int>(GetPrivateProfileInt("main", "familysafe", 1, m_file));
    return true;
  }

 private:
  std::string m_file;
  std::string m_text;
  int m_flag = 1;
};

TreeNodeFactory CategoryFactory() {
  return {
      [](const std::string& path) -> std::unique_ptr<TreeNode> {
        return std::make_unique<ReadingNode>(JoinPath(GetCategoriesFolder(), path) + ".cat", true);
      },
      [](const std::string& path) -> std::unique_ptr<TreeNode> {
        return std::make_unique<ReadingNode>(JoinPath(GetCategoriesFolder(), path) + ".ini", false);
      }};
}

TreeNodeFactory ReadingSearchFactory() {
  TreeNodeFactory factory = SearchTreeFactory();
  factory.createLeaf = [](const std::string& path) -> std::unique_ptr<TreeNode> {
    return std::make_unique<ReadingNode>(JoinPath(GetSearchesFolder(), path) + ".ini", false);
  };
  return factory;
}

size_t CountNodes(const Tree& tree) {
  return Tree::Collect(tree.root(), true, true).size();
}

void RunScan(benchmark::State& state, const std::string& folder, TreeNodeFactory (*factory)(),
             bool coldCache) {
  size_t nodes = 0;
  for (auto _ : state) {
    if (coldCache) {
      state.PauseTiming();
      ClearProfileCache();
      state.ResumeTiming();
    }
    auto tree = ScanTree(folder, factory());
    nodes = CountNodes(*tree);
    benchmark::DoNotOptimize(tree);
  }
  state.counters["nodes"] = static_cast<double>(nodes);
}

void BM_ScanCategories(benchmark::State& state) {
  RunScan(state, GetCategoriesFolder(), CategoryFactory, false);
}
void BM_ScanCategoriesColdCache(benchmark::State& state) {
  RunScan(state, GetCategoriesFolder(), CategoryFactory, true);
}
void BM_ScanSearches(benchmark::State& state) {
  RunScan(state, GetSearchesFolder(), SearchTreeFactory, false);
}
void BM_ScanSearchesColdCache(benchmark::State& state) {
  RunScan(state, GetSearchesFolder(), SearchTreeFactory, true);
}
void BM_ScanSearchesReadingLeaves(benchmark::State& state) {
  RunScan(state, GetSearchesFolder(), ReadingSearchFactory, false);
}
void BM_ScanSearchesReadingLeavesColdCache(benchmark::State& state) {
  RunScan(state, GetSearchesFolder(), ReadingSearchFactory, true);
}
// The directory walk alone, without nodes or files read.
void BM_RecordSearchesFolder(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(RecordTreeFolder(GetSearchesFolder()));
  }
}

BENCHMARK(BM_ScanCategories)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanCategoriesColdCache)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanSearches)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanSearchesColdCache)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanSearchesReadingLeaves)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanSearchesReadingLeavesColdCache)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSearchesFolder)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tulix

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tulix::BenchWorld world;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
