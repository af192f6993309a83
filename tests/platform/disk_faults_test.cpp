// What a full or failing disk and a killed process leave behind. Every write call of a search
// save, a settings save and an engine install is made to fail in turn, with ENOSPC and with
// EIO: the old file must stay byte for byte, still load as before, and the failure must be
// reported. A child process saving a large search is killed at random moments: the search must
// then load as either the old or the new one, whole.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "jobs/job_test_support.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "results/results_fixture.h"
#include "update/upgrade_job.h"
#include "update_server_process.h"
#include "write_faults.h"

namespace tulix {
namespace {

using test::ReadFileBytes;
using test::WriteFaults;
using test::WriteFileBytes;

constexpr int kErrors[] = {ENOSPC, EIO};

// One line on standard output and the test's properties, so the counts show in every report.
void Report(const char* what, int runs, int faults, int lost) {
  ::testing::Test::RecordProperty("runs", runs);
  ::testing::Test::RecordProperty("faults_injected", faults);
  ::testing::Test::RecordProperty("files_lost", lost);
  std::printf("[ counts   ] %s: %d runs, %d faults injected, %d files lost\n", what, runs, faults,
              lost);
  std::fflush(stdout);
}

// What one run with a failing write came to.
struct FaultRun {
  bool injected = false;
  bool whole = false;  // the old file came through unchanged and loads as before
  std::string detail;  // said when the file did not come through
};

// Runs `attempt(error, k)` for each error and each of the `calls` write calls a clean run made,
// the attempt arming write k to fail; then reports the counts. Every run must have met its fault
// and kept the old file.
void ForEveryWriteFault(const char* what, int calls,
                        const std::function<FaultRun(int error, int k)>& attempt) {
  int runs = 0;
  int faults = 0;
  int lost = 0;
  for (int error : kErrors) {
    for (int k = 1; k <= calls; ++k) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", write " + std::to_string(k));
      const FaultRun run = attempt(error, k);
      ++runs;
      faults += run.injected ? 1 : 0;
      lost += run.whole ? 0 : 1;
      EXPECT_TRUE(run.injected);
      EXPECT_TRUE(run.whole) << run.detail;
    }
  }
  Report(what, runs, faults, lost);
  EXPECT_EQ(faults, runs);
  EXPECT_EQ(lost, 0);
}

// Names in `folder` other than `keep`: temporary files a failed replacement left behind.
std::vector<std::string> StrayFiles(const std::string& folder, const std::string& keep) {
  std::vector<std::string> stray;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename() != keep) {
      stray.push_back(entry.path().filename().string());
    }
  }
  return stray;
}

// ---- saved searches ----

// A search as the loader reads it back from its file.
struct StoredSearch {
  std::string name;
  int found = 0;
  std::vector<std::string> hrefs;
  bool operator==(const StoredSearch&) const = default;
};

class DiskFaultSearch : public test::ResultsTest {
 protected:
  void AddHits(const std::string& host, int count) {
    for (int i = 0; i < count; ++i) {
      m_search->AddEngineHit(Hit(i % 2 == 0 ? m_alpha : m_beta,
                                 "http://" + host + "/page" + std::to_string(i), i % 50 + 1,
                                 "blue whale " + host + " result " + std::to_string(i)));
    }
  }
  // Saves `oldCount` results from one host, then leaves `newCount` others from another host in
  // memory, as a rerun that has just ended; returns what each state loads as.
  void PrepareOldAndNew(int oldCount, int newCount) {
    AddHits("old.test", oldCount);
    ASSERT_TRUE(m_search->SaveResultsAndSettings());
    m_oldBytes = FileText();
    m_old = Load();
    ASSERT_EQ(m_old.hrefs.size(), static_cast<size_t>(oldCount));
    m_search->PrepareRerun();
    AddHits("new.test", newCount);
    m_new = {m_search->settings.name, newCount, {}};
    for (const auto& result : m_search->current()) {
      m_new.hrefs.push_back(result->href);
    }
  }
  // Puts the old file back and forgets what the profile cache holds of it.
  void RestoreOld() {
    WriteFileBytes(Path(), m_oldBytes);
    ClearProfileCache();
  }
  static std::string Path() { return ToFileSystemPath(SearchFile()); }
  static std::string Folder() { return ToFileSystemPath(GetSearchesFolder()); }

  // The search's file read by a fresh search object, as the program reads it at start-up.
  static StoredSearch Load() {
    ClearProfileCache();
    SavedSearch loaded;
    loaded.SetFilePath(SearchFile());
    loaded.Load();
    loaded.LoadResults();
    std::lock_guard lock(App().resultsLock);
    StoredSearch stored{loaded.settings.name, loaded.settings.found, {}};
    for (const auto& result : loaded.current()) {
      stored.hrefs.push_back(result->href);
    }
    return stored;
  }

  std::string m_oldBytes;
  StoredSearch m_old;
  StoredSearch m_new;
};

TEST_F(DiskFaultSearch, AFailedWriteKeepsTheOldSearchAndIsReported) {
  PrepareOldAndNew(1000, 1500);
  RestoreOld();
  int calls = 0;
  {
    WriteFaults count(Folder());
    ASSERT_TRUE(m_search->SaveResultsAndSettings());
    calls = count.Calls();
  }
  ASSERT_GT(calls, 1) << "the writes of a save are not seen, or the file is too small";
  ASSERT_EQ(Load(), m_new);

  ForEveryWriteFault("search save", calls, [&](int error, int k) {
    RestoreOld();
    FaultRun run;
    bool saved = true;
    {
      WriteFaults fault(Folder(), k, error);
      saved = m_search->SaveResultsAndSettings();
      run.injected = fault.Injected();
    }
    EXPECT_FALSE(saved) << "a save that did not reach the disk was reported as done";
    run.whole = FileText() == m_oldBytes && Load() == m_old;
    EXPECT_EQ(StrayFiles(Folder(), "search.ini"), std::vector<std::string>{});
    return run;
  });
}

// The child's save must run with no other thread of ours in the process: a lock held by a
// thread that fork did not copy would never be let go. The thread sanitizer's runtime keeps a
// thread of its own, which handles fork itself.
#if defined(__SANITIZE_THREAD__)
constexpr int kRuntimeThreads = 1;
#else
constexpr int kRuntimeThreads = 0;
#endif

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) {
      return std::stoi(line.substr(8));
    }
  }
  return -1;
}

TEST_F(DiskFaultSearch, AKilledSaveLeavesTheOldSearchOrTheNewOne) {
  PrepareOldAndNew(1000, 5000);
  ASSERT_LE(ThreadCount(), 1 + kRuntimeThreads);
  // The child is a copy of this process, made with the new results in memory, so that it
  // starts saving at once and the kill moments spread over the save itself.
  auto startSave = [&]() -> pid_t {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::_exit(m_search->SaveResultsAndSettings() ? 0 : 1);
    }
    return pid;
  };

  using Clock = std::chrono::steady_clock;
  Clock::duration longest{};
  std::string newBytes;
  for (int i = 0; i < 3; ++i) {
    RestoreOld();
    const auto started = Clock::now();
    const pid_t pid = startSave();
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    longest = std::max(longest, Clock::now() - started);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    newBytes = FileText();
    ASSERT_EQ(Load(), m_new);
  }

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // A little past the longest save, so that some children finish before the kill.
  std::uniform_int_distribution<int64_t> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(longest).count() * 11 / 10);
  constexpr int kRuns = 200;
  int killed = 0;
  int oldKept = 0;
  int newWritten = 0;
  int lost = 0;
  for (int run = 0; run < kRuns; ++run) {
    RestoreOld();
    const auto delay = std::chrono::microseconds(moment(random));
    const pid_t pid = startSave();
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    killed += WIFSIGNALED(status) ? 1 : 0;
    // A killed save leaves its temporary file; it is not the search.
    for (const std::string& name : StrayFiles(Folder(), "search.ini")) {
      std::filesystem::remove(Folder() + "/" + name);
    }
    const std::string bytes = FileText();
    const StoredSearch loaded = Load();
    if (bytes == m_oldBytes && loaded == m_old) {
      ++oldKept;
    } else if (bytes == newBytes && loaded == m_new) {
      ++newWritten;
    } else {
      ++lost;
      ADD_FAILURE() << "run " << run << ", killed after " << delay.count() << " us: the file holds "
                    << bytes.size() << " bytes and loads " << loaded.hrefs.size() << " results";
    }
  }
  std::printf(
      "[ counts   ] killed save: longest clean save %lld ms, %d killed, %d old kept, "
      "%d new written\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()),
      killed, oldKept, newWritten);
  Report("killed save", kRuns, killed, lost);
  EXPECT_EQ(lost, 0);
  // The kill moments spread over the measured save: unless saves became several times faster
  // than measured, most children die mid-save. Fewer would mean the test proved little.
  EXPECT_GE(killed, kRuns / 4);
}

// ---- settings ----

class DiskFaultSettings : public test::TulixTest {
 protected:
  void TearDown() override {
    Close();
    TulixTest::TearDown();
  }
  void Open() {
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope = std::make_unique<ScopedApplication>(*m_app);
    SetLogUserInterface(&m_log);
  }
  void Close() {
    SetLogUserInterface(nullptr);
    m_scope.reset();
    m_app.reset();
  }
  static void Choose(int maxTasks, const std::string& charset) {
    App().settings().MaxTasks = maxTasks;
    App().settings().EncodingCharset = charset;
  }

  test::LogRecorder m_log;
  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

TEST_F(DiskFaultSettings, AFailedWriteKeepsTheStoredSettingsAndIsReported) {
  Open();
  Choose(4, "old-charset");
  ASSERT_TRUE(SaveSettings());
  Close();  // the last connection folds the journal into the database file
  const std::string oldBytes = ReadFileBytes(m_registry);

  int calls = 0;
  Open();
  {
    WriteFaults count(m_temp.path());
    Choose(9, "new-charset");
    ASSERT_TRUE(SaveSettings());
    calls = count.Calls();
  }
  Close();
  ASSERT_GT(calls, 0) << "the writes of the settings store are not seen";

  ForEveryWriteFault("settings save", calls, [&](int error, int k) {
    WriteFileBytes(m_registry, oldBytes);
    Open();
    const std::string reported = "Cannot store the settings in " + m_registry;
    const int reportedBefore = m_log.CountContaining(reported);
    FaultRun run;
    bool saved = true;
    {
      WriteFaults fault(m_temp.path(), k, error);
      Choose(9, "new-charset");
      saved = SaveSettings();
      run.injected = fault.Injected();
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(m_log.CountContaining(reported), reportedBefore + 1);
    Close();
    Open();
    LoadSettings();
    const bool kept =
        App().settings().MaxTasks == 4 && App().settings().EncodingCharset == "old-charset";
    Close();
    EXPECT_TRUE(kept) << "the settings read back are not the old ones";
    run.whole = kept && ReadFileBytes(m_registry) == oldBytes;
    return run;
  });
}

// ---- engine install ----

std::string Engine(const std::string& host) {
  return "[main]\nhost=" + host + "\nport=80\nverb=1\nobject=/search?q=%Q&n=%R&p=1\n";
}

class DiskFaultInstall : public test::JobSystemTest {
 protected:
  void SetUp() override {
    JobSystemTest::SetUp();
    StartSystem(3);
  }
  void TearDown() override {
    JobSystemTest::TearDown();
    ClearProfileCache();
  }
  static std::string Installed(const std::string& name) {
    return ToFileSystemPath(JoinPath(GetCategoriesFolder(), name));
  }
  // The installed set before the update: the category checked up to stamp 1700000000.
  void InstallOld() {
    std::filesystem::create_directories(Installed("web"));
    for (const auto& [name, text] : m_old) {
      WriteFileBytes(Installed(name), text);
    }
    m_app->registry().SetString(std::string(kRegistryRoot) + "\\Categories", "timestamp",
                                "1700000000");
    ClearProfileCache();
    m_app->categoryTree = ScanCategoryTree();
  }
  // Runs an upgrade of the web category through the job manager until its result is handled;
  // returns what the log wrote meanwhile.
  std::string RunUpgrade() {
    auto job = std::make_shared<CUpgradeCategoryJob>(FindCategoryByName("web"));
    testing::internal::CaptureStderr();
    manager().AddJob(job);
    FirstTick();
    Tick();
    EXPECT_TRUE(WaitFor([&] { return job->successes + job->failures > 0; }));
    return testing::internal::GetCapturedStderr();
  }
  std::string LoadedHost(const std::string& engine) {
    auto* node = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\" + engine));
    return node != nullptr && node->Load() ? node->Data()->host : std::string();
  }

  const std::vector<std::pair<std::string, std::string>> m_old = {
      {"web.cat", "[main]\norder=100\ntimestamp=1700000000\n"},
      {"web/alpha.ini", Engine("old-alpha.test")},
      {"web/beta.ini", Engine("old-beta.test")}};
};

TEST_F(DiskFaultInstall, AFailedWriteKeepsTheOldFileAndIsReported) {
  const std::string published = m_temp.File("published");
  std::filesystem::create_directories(published + "/web");
  WriteFileBytes(published + "/web.cat", m_old[0].second);
  WriteFileBytes(published + "/web/alpha.ini", Engine("new-alpha.test"));
  WriteFileBytes(published + "/web/beta.ini", Engine("new-beta.test"));
  const std::pair<const char*, time_t> stamps[] = {
      {"/web.cat", 1700000000}, {"/web/alpha.ini", 1700000100}, {"/web/beta.ini", 1700000100}};
  for (const auto& [file, stamp] : stamps) {
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (published + file).c_str(), times, 0), 0);
  }
  test::ServerProcess server({"--port", "0", published}, m_temp.File("server.log"));
  m_app->registry().SetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer",
                              "http://127.0.0.1:" + std::to_string(server.Port()));

  // Only the files below the categories folder count: the settings store has a test of its own.
  const std::string folder = Installed("");
  InstallOld();
  int calls = 0;
  {
    WriteFaults count(folder);
    const std::string log = RunUpgrade();
    calls = count.Calls();
    ASSERT_NE(log.find("Upgrades completed successfully"), std::string::npos) << log;
  }
  ASSERT_EQ(LoadedHost("alpha"), "new-alpha.test");
  ASSERT_EQ(LoadedHost("beta"), "new-beta.test");
  ASSERT_GE(calls, 3) << "two engines and the category's time stamp";

  ForEveryWriteFault("engine install", calls, [&](int error, int k) {
    InstallOld();
    FaultRun run;
    std::string log;
    std::string failed;
    {
      WriteFaults fault(folder, k, error);
      log = RunUpgrade();
      failed = std::string(FileNameOf(fault.FailedPath()));
      run.injected = fault.Injected();
    }
    ClearProfileCache();
    m_app->categoryTree = ScanCategoryTree();
    // Every file is the old one or the new one, whole; a later write of the same run may have
    // replaced the one whose write failed (the category is saved twice).
    bool whole = true;
    for (const std::string engine : {"alpha", "beta"}) {
      const std::string bytes = ReadFileBytes(Installed("web/" + engine + ".ini"));
      const bool isOld = bytes == Engine("old-" + engine + ".test");
      whole &= (isOld || bytes == Engine("new-" + engine + ".test")) &&
               LoadedHost(engine) == (isOld ? "old-" : "new-") + engine + ".test";
      if (failed.starts_with(engine + ".ini")) {
        EXPECT_TRUE(isOld);
        whole &= isOld;
        EXPECT_NE(log.find("Error: Cannot open"), std::string::npos) << log;
        EXPECT_NE(log.find(engine + ".ini for writing, engine not updated"), std::string::npos)
            << log;
        EXPECT_NE(log.find("Error: Problem completing upgrades"), std::string::npos) << log;
      }
    }
    const ProfileText category(ReadFileBytes(Installed("web.cat")));
    const std::string stamp = category.GetString("main", "timestamp", "");
    whole &= category.GetString("main", "order", "") == "100" &&
             (stamp == "1700000000" || stamp == "1700000100");
    if (failed.find("web.cat") != std::string::npos) {
      EXPECT_NE(log.find("Error: Cannot save category"), std::string::npos) << log;
    }
    EXPECT_EQ(StrayFiles(Installed("web"), "alpha.ini"), std::vector<std::string>{"beta.ini"});
    run.whole = whole;
    run.detail = "failed write to " + failed;
    return run;
  });
}

}  // namespace
}  // namespace tulix
