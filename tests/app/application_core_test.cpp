// Starting and stopping the application core. Start-up opens the log, which takes over standard
// error, so each start runs in a child process of its own; the parent looks at what it left in
// the program folder and the settings store.
#include "app/application_core.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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

// An engine set as the update server publishes it and as it is bundled: a web category with
// one engine.
void WriteEngineSet(const fs::path& folder) {
  WriteFile(folder / "web.cat", "[main]\nEngineCount=3\n");
  WriteFile(folder / "web" / "demo.ini", "[main]\nname=Demo\nhost=127.0.0.1\n");
}

// The child: a start on a fresh folder downloads the engines from the update server, then an
// orderly shutdown. Runs only when the parent test starts it.
TEST(ApplicationCoreChild, StartsDownloadsAndStops) {
  if (!InChild()) {
    return;
  }
  const fs::path published = fs::path(std::getenv(kChildFlag));
  test::ScopedNoProxy noProxy;
  test::ServerProcess server({"--port", "0", published.string()},
                             (published.parent_path() / "server.log").string());
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

// The child: a program folder found by the default rule is seeded from the bundled set.
TEST(ApplicationCoreChild, SeedsADefaultProgramFolder) {
  if (!InChild()) {
    return;
  }
  StdEventLoop loop;
  ApplicationCore core(loop);
  StartupOptions options;
  options.jobs.startDispatcher = false;
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

TEST_F(ApplicationCoreTest, ADefaultProgramFolderIsSeededFromTheBundledEngineSet) {
  const fs::path data = fs::path(m_temp.path()) / "data";
  WriteEngineSet(data / "engines" / "demo");
  const fs::path dataHome = fs::path(m_temp.path()) / "xdg";
  ASSERT_EQ(test::RunChildTest("ApplicationCoreChild.SeedsADefaultProgramFolder",
                               {std::string(kChildFlag) + "=1", "TULIX_HOME=",
                                "XDG_DATA_HOME=" + dataHome.string(),
                                "TULIX_DATA=" + data.string()}),
            0);
  EXPECT_TRUE(fs::exists(dataHome / "tulix" / "categories" / "web" / "demo.ini"));
  EXPECT_FALSE(fs::exists(dataHome / "tulix" / "categories.seeding"));
}

}  // namespace
}  // namespace tulix
