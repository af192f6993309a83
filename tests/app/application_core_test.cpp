// Starting and stopping the application core. Start-up opens the log, which takes over standard
// error, so each start runs in a child process of its own; the parent looks at what it left in
// the program folder and the settings store.
#include "app/application_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "jobs/job_manager.h"
#include "platform/event_loop.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "test_support.h"
#include "update/upgrade_job.h"
#include "update_server_process.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;

constexpr char kChildFlag[] = "TULIX_CORE_CHILD";

bool InChild() {
  const char* flag = std::getenv(kChildFlag);
  return flag != nullptr && *flag != '\0';
}

std::string BehaviourKey() {
  return std::string(kRegistryRoot) + "\\Behaviour";
}

// Written an hour ago: the update server holds back files changed in the current second.
void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  test::WriteFileBytes(path.string(), text);
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

// The child's settings before its start, from its environment (unset: left alone).
constexpr char kChildUpdateServer[] = "TULIX_CORE_UPDATE_SERVER";
constexpr char kChildBundledSet[] = "TULIX_CORE_BUNDLED_SET";
constexpr char kChildManifest[] = "TULIX_CORE_MANIFEST";

const char* ChildSetting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// An engine set as the update server publishes it and as it is bundled: a web category with
// one engine, `engine`.ini.
void WriteEngineSet(const fs::path& folder, const std::string& engine = "demo") {
  WriteFile(folder / "web.cat", "[main]\nEngineCount=3\n");
  WriteFile(folder / "web" / (engine + ".ini"), "[main]\nname=Demo\nhost=127.0.0.1\n");
}

// The bundled data folder a default program folder is seeded from: a real and a demo set, told
// apart by their engines' names.
fs::path WriteBundledData(const fs::path& data) {
  WriteEngineSet(data / "engines" / "real", "bundled-real");
  WriteEngineSet(data / "engines" / "demo", "bundled-demo");
  return data;
}

// The child: a start on a fresh folder downloads the engines from the update server (which
// publishes the folder the flag names, with the manifest TULIX_CORE_MANIFEST when given), then
// an orderly shutdown. Runs only when the parent test starts it.
TEST(ApplicationCoreChild, StartsDownloadsAndStops) {
  if (!InChild()) {
    return;
  }
  const fs::path published = fs::path(std::getenv(kChildFlag));
  test::ScopedNoProxy noProxy;
  std::vector<std::string> serverOptions = {"--port", "0", published.string()};
  if (const char* manifest = ChildSetting(kChildManifest)) {
    serverOptions.insert(serverOptions.begin(), {"--manifest", manifest});
  }
  test::ServerProcess server(serverOptions, JoinPath(ProgramFolder(), "update-server.log"));
  ASSERT_GT(server.Port(), 0);

  StdEventLoop loop;
  ApplicationCore core(loop);
  StartupOptions options;
  options.jobs.manager.firstTickMs = 1;
  options.jobs.manager.tickMs = 5;
  options.jobs.dispatcherPause = std::chrono::milliseconds(0);
  // The server's address is the user's setting, read by the download; set it before the start.
  {
    TulixApplication seed(ProgramFolder(), "");
    seed.registry().SetString(BehaviourKey(), "UpdateServer",
                              "127.0.0.1:" + std::to_string(server.Port()));
  }
  ASSERT_EQ(core.Start(options), StartResult::kStarted);
  ASSERT_NE(core.engineDownload(), nullptr);
  CJobManager& manager = *App().jobManager;
  ASSERT_TRUE(loop.RunUntil([&] { return manager.IndexOf(core.engineDownload().get()) < 0; },
                            std::chrono::seconds(30)));
  {
    auto hold = ReadCategoryTree();
    ASSERT_NE(FindCategoryByName("web"), nullptr);
  }
  App().settings().MaxTasks = 7;  // shutdown stores the settings
  core.Shutdown();
  EXPECT_FALSE(HasApp());
}

// The child: a program folder found by the default rule is seeded from a bundled set; the
// update server and the bundled set to start with come from the environment.
TEST(ApplicationCoreChild, SeedsADefaultProgramFolder) {
  if (!InChild()) {
    return;
  }
  if (const char* server = ChildSetting(kChildUpdateServer)) {
    TulixApplication seed(ProgramFolder(), "");
    seed.registry().SetString(BehaviourKey(), "UpdateServer", server);
  }
  StdEventLoop loop;
  ApplicationCore core(loop);
  StartupOptions options;
  options.jobs.startDispatcher = false;
  if (const char* set = ChildSetting(kChildBundledSet)) {
    options.bundledEngineSet = set;
  }
  ASSERT_EQ(core.Start(options), StartResult::kStarted);
  EXPECT_EQ(core.engineDownload(), nullptr);  // the seeded set needs no download
  EXPECT_EQ(GetEngineSetVersion(), 1.5);
  auto hold = ReadCategoryTree();
  EXPECT_NE(FindCategoryByName("web"), nullptr);
}

// The child: a second start while the first copy runs ends at once and touches nothing.
TEST(ApplicationCoreChild, ASecondCopyEndsAtOnce) {
  if (!InChild()) {
    return;
  }
  StdEventLoop loop;
  ApplicationCore first(loop);
  StartupOptions options;
  options.singleInstance = true;
  options.checkEngines = false;
  options.jobs.startDispatcher = false;
  ASSERT_EQ(first.Start(options), StartResult::kStarted);
  ASSERT_NE(first.singleInstance(), nullptr);
  StdEventLoop otherLoop;
  ApplicationCore second(otherLoop);
  EXPECT_EQ(second.Start(options), StartResult::kAnotherCopyRuns);
  EXPECT_FALSE(second.started());
  EXPECT_EQ(&App(), &first.app());  // the first copy's world is untouched
  // Without the single-instance wish, as the command line starts, a second start works.
  first.Shutdown();
  options.singleInstance = false;
  EXPECT_EQ(second.Start(options), StartResult::kStarted);
}

class ApplicationCoreTest : public test::TulixTest {};

TEST_F(ApplicationCoreTest, AFreshFolderGetsItsEnginesFromTheUpdateServer) {
  const fs::path published = fs::path(m_temp.path()) / "published";
  WriteEngineSet(published);
  // A stale index file is emptied at every start.
  WriteFile(fs::path(m_home) / "index.htm", "stale");

  ASSERT_EQ(test::RunChildTest("ApplicationCoreChild.StartsDownloadsAndStops",
                               {std::string(kChildFlag) + "=" + published.string()}),
            0);
  EXPECT_EQ(test::ReadFileBytes(m_home + "/index.htm"), "");
  EXPECT_TRUE(fs::exists(fs::path(m_home) / "categories" / "web" / "demo.ini"));
  EXPECT_NE(test::ReadFileBytes(m_home + "/tulix.log")
                .find("Tulix needs to download search engines, please be patient whilst this "
                      "process takes place"),
            std::string::npos);
  RegistryStore store(m_registry);
  EXPECT_EQ(store.GetString(BehaviourKey(), "Path", ""), m_home);
  EXPECT_EQ(store.GetDword(std::string(kRegistryRoot) + "\\Tasks", "MaxTasks", 0), 7u);
}

TEST_F(ApplicationCoreTest, OnlyOneDesktopCopyRunsAtOnce) {
  EXPECT_EQ(test::RunChildTest("ApplicationCoreChild.ASecondCopyEndsAtOnce",
                               {std::string(kChildFlag) + "=1"}),
            0);
}

// Without an update server nothing else could supply engines: the real set is seeded. A set
// the start-up options name is seeded whether a server is set or not.
TEST_F(ApplicationCoreTest, ADefaultProgramFolderIsSeededFromTheRealSetWithoutAnUpdateServer) {
  const fs::path data = WriteBundledData(fs::path(m_temp.path()) / "data");
  const fs::path dataHome = fs::path(m_temp.path()) / "xdg";
  ASSERT_EQ(test::RunChildTest("ApplicationCoreChild.SeedsADefaultProgramFolder",
                               {std::string(kChildFlag) + "=1", "TULIX_HOME=",
                                "XDG_DATA_HOME=" + dataHome.string(),
                                "TULIX_DATA=" + data.string()}),
            0);
  const fs::path web = dataHome / "tulix" / "categories" / "web";
  EXPECT_TRUE(fs::exists(web / "bundled-real.ini"));
  EXPECT_FALSE(fs::exists(web / "bundled-demo.ini"));
  EXPECT_FALSE(fs::exists(dataHome / "tulix" / "categories.seeding"));

  const fs::path otherHome = fs::path(m_temp.path()) / "xdg-other";
  ASSERT_EQ(test::RunChildTest("ApplicationCoreChild.SeedsADefaultProgramFolder",
                               {std::string(kChildFlag) + "=1", "TULIX_HOME=",
                                "XDG_DATA_HOME=" + otherHome.string(),
                                "TULIX_DATA=" + data.string(),
                                std::string(kChildUpdateServer) + "=127.0.0.1:1",
                                std::string(kChildBundledSet) + "=" +
                                    (data / "engines" / "demo").string()}),
            0);
  EXPECT_TRUE(fs::exists(otherHome / "tulix" / "categories" / "web" / "bundled-demo.ini"));
  EXPECT_FALSE(fs::exists(otherHome / "tulix" / "categories" / "web" / "bundled-real.ini"));
}

// With an update server set nothing is seeded, and the start-up engine check installs the set
// that server publishes: here the bundled real set, as tulix-update-server serves it with its
// manifest, every file of it, the manifest left out.
TEST_F(ApplicationCoreTest, ADefaultProgramFolderWithAnUpdateServerDownloadsItsSet) {
  const fs::path data = WriteBundledData(fs::path(m_temp.path()) / "data");
  const fs::path dataHome = fs::path(m_temp.path()) / "xdg";
  const fs::path realSet = TULIX_REAL_ENGINE_SET_DIR;
  ASSERT_EQ(test::RunChildTest("ApplicationCoreChild.StartsDownloadsAndStops",
                               {std::string(kChildFlag) + "=" + realSet.string(), "TULIX_HOME=",
                                "XDG_DATA_HOME=" + dataHome.string(),
                                "TULIX_DATA=" + data.string(),
                                std::string(kChildManifest) + "=" +
                                    (realSet / "manifest.txt").string()}),
            0);
  const fs::path categories = dataHome / "tulix" / "categories";
  EXPECT_FALSE(fs::exists(categories / "web" / "bundled-real.ini"));
  EXPECT_FALSE(fs::exists(categories / "manifest.txt"));
  size_t installed = 0;
  for (const auto& entry : fs::recursive_directory_iterator(realSet)) {
    if (!entry.is_regular_file() || entry.path().filename() == "manifest.txt") {
      continue;
    }
    const fs::path relative = entry.path().lexically_relative(realSet);
    SCOPED_TRACE(relative.string());
    ASSERT_TRUE(fs::exists(categories / relative));
    const std::string sent = test::ReadFileBytes(entry.path().string());
    std::string kept = test::ReadFileBytes((categories / relative).string());
    if (relative.extension() == ".cat") {
      kept.resize(std::min(kept.size(), sent.size()));  // the category's stamps are added
    }
    EXPECT_EQ(kept, sent);
    ++installed;
  }
  EXPECT_EQ(installed, 20u);  // web.cat, README.md and nine engines with their scripts
}

}  // namespace
}  // namespace tulix
