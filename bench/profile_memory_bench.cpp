// What a long session of opening saved searches costs in memory: 200 saved searches of 500
// results each, loaded one after another the way the results view loads them (every key of
// every result), with the profile cache at its default bound and with no bound at all. Each
// run happens in a fresh child process, so that one run's heap does not hide the next one's
// growth. Reported: the growth of the resident set (rss_growth_MB), what the cache held at the
// end (cache_MB, cache_files), and the time the loading took.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "platform/profile_file.h"

namespace tulix {
namespace {

constexpr int kSearches = 200;
constexpr int kResults = 500;

constexpr const char* kResultKeys[] = {"result",  "enginelist", "visited", "href", "percent",
                                       "engines", "keywords",   "rank",    "mark"};

// The saved searches, written once, removed at exit.
class SearchFolder {
 public:
  SearchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tulix-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      return;
    }
    m_path = pattern;
    for (int s = 0; s < kSearches; ++s) {
      std::ofstream(File(s), std::ios::binary) << SearchText(s);
    }
  }
  ~SearchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  std::string File(int search) const { return m_path + "/" + std::to_string(search) + ".srh"; }

 private:
  // A saved search as the program writes it: settings, summary, the list of result sections
  // and one section per result.
  static std::string SearchText(int search) {
    const std::string n = std::to_string(search);
    // Appended piece by piece: "literal" + std::string trips a false -Wrestrict in GCC 12 at -O3.
    std::string text = "[Main]\r\nName=search words ";
    text += n;
    text += "\r\nCategory=web\r\nType=1\r\nShopping=50\r\nEngineCount=12\r\nPerEngine=50\r\n";
    text += "[ResultSummary]\r\nFound=";
    text += std::to_string(kResults);
    text += "\r\n[results]\r\n";
    for (int r = 1; r <= kResults; ++r) {
      const std::string position = std::to_string(r);
      text.append(position).append("=").append(position).append("\r\n");
    }
    for (int r = 1; r <= kResults; ++r) {
      const std::string position = std::to_string(r);
      const std::string id = n + "-" + position;
      text.append("[").append(position).append("]\r\n");
      text.append("result=<r>Search</r> words and more about result ").append(id);
      text.append(" from the pages that several engines found\r\n");
      text.append("enginelist=Engine one|Engine two|Engine three\r\nvisited=0\r\n");
      text.append("href=http://www.example").append(std::to_string(r % 37));
      text.append(".com/pages/").append(id).append("/index.html\r\n");
      text.append("percent=").append(std::to_string(r % 100));
      text.append("\r\nengines=3\r\nkeywords=2\r\nrank=").append(std::to_string(r * 3));
      text.append("\r\nmark=0\r\n");
    }
    return text;
  }

  std::string m_path;
};

const SearchFolder& Searches() {
  static SearchFolder folder;
  return folder;
}

size_t ResidentBytes() {
  long pages = 0;
  long resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
      resident = 0;
    }
    std::fclose(statm);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Loads every search as the results view does; returns the characters read, -1 on a miss.
int64_t LoadAll() {
  int64_t total = 0;
  for (int s = 0; s < kSearches; ++s) {
    const std::string file = Searches().File(s);
    total += GetPrivateProfileString("Main", "Name", "_empty_", file).size();
    total += GetPrivateProfileInt("ResultSummary", "Found", 0, file);
    for (int position = 1;; ++position) {
      const std::string section =
          GetPrivateProfileString("results", std::to_string(position).c_str(), "", file);
      if (section.empty()) {
        break;
      }
      for (const char* key : kResultKeys) {
        std::string value = GetPrivateProfileString(section.c_str(), key, "", file);
        if (value.empty()) {
          return -1;
        }
        total += static_cast<int64_t>(value.size());
      }
    }
  }
  return total;
}

struct RunFigures {
  double seconds = 0;
  double rssGrowth = 0;
  double cacheBytes = 0;
  double cacheFiles = 0;
  int64_t read = 0;
};

// One load in a child process that starts from the state of this one.
bool RunInChild(bool bounded, RunFigures* figures) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    if (!bounded) {
      SetProfileCacheLimits(std::numeric_limits<size_t>::max(), std::numeric_limits<size_t>::max());
    }
    RunFigures f;
    size_t before = ResidentBytes();
    auto start = std::chrono::steady_clock::now();
    f.read = LoadAll();
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f.rssGrowth = static_cast<double>(ResidentBytes() - before);
    ProfileCacheUsage usage = GetProfileCacheUsage();
    f.cacheBytes = static_cast<double>(usage.bytes);
    f.cacheFiles = static_cast<double>(usage.files);
    bool sent = write(pipeFds[1], &f, sizeof f) == static_cast<ssize_t>(sizeof f);
    _exit(sent ? 0 : 1);
  }
  close(pipeFds[1]);
  bool ok = pid > 0 &&
            read(pipeFds[0], figures, sizeof *figures) == static_cast<ssize_t>(sizeof *figures);
  close(pipeFds[0]);
  int status = 0;
  ok = pid > 0 && waitpid(pid, &status, 0) == pid && ok && WIFEXITED(status) &&
       WEXITSTATUS(status) == 0 && figures->read > 0;
  return ok;
}

void BM_LoadSearchesOneAfterAnother(benchmark::State& state) {
  const bool bounded = state.range(0) != 0;
  Searches();
  RunFigures f;
  for (auto _ : state) {
    if (!RunInChild(bounded, &f)) {
      state.SkipWithError("the loading child failed");
      return;
    }
    state.SetIterationTime(f.seconds);
  }
  constexpr double kMb = 1024.0 * 1024.0;
  state.counters["rss_growth_MB"] = f.rssGrowth / kMb;
  state.counters["cache_MB"] = f.cacheBytes / kMb;
  state.counters["cache_files"] = f.cacheFiles;
  state.SetLabel(bounded ? "default bound" : "no bound");
}
BENCHMARK(BM_LoadSearchesOneAfterAnother)
    ->ArgName("bounded")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
