// The upgrade job end to end on loopback: run by a real job manager, against the real update
// server process and against a scripted server for what a real one would never send.
#include "update/upgrade_job.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "engine/browser.h"
#include "engine/page_fetcher.h"
#include "jobs/job_test_support.h"
#include "platform/http.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "recording_shell.h"
#include "tls_loopback_server.h"
#include "update_server_process.h"
#include "wire_server.h"

namespace tulix {
namespace {

using namespace std::chrono_literals;
using test::HttpReply;
using test::ReadFileBytes;
using test::WireReply;
using test::WireRequest;
using test::WriteFileBytes;

constexpr char kNewVersionNotice[] = "An Update of Tulix is now available for download.";

std::string DemoEngine() {
  return ReadFileBytes(std::string(TULIX_FIXTURES_DIR) + "/../data/categories/web/demo.ini");
}

class UpgradeJobTest : public test::JobSystemTest {
 protected:
  void SetUp() override {
    JobSystemTest::SetUp();
    std::filesystem::create_directories(ToFileSystemPath(GetCategoriesFolder()));
    m_app->settings().BrowserNewWindow = 0;
    m_shell = std::make_shared<test::RecordingShell>();
    SetShellLauncher(m_shell);
    StartSystem(3);
  }
  void TearDown() override {
    EXPECT_TRUE(WaitForBrowserRequests(20s));
    SetShellLauncher(nullptr);
    SetUpgradeJobStarter(nullptr);
    JobSystemTest::TearDown();
    ClearProfileCache();
  }

  void UseServer(const std::string& address) {
    m_app->registry().SetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer",
                                address);
  }
  static std::string Installed(const std::string& name) {
    return ToFileSystemPath(JoinPath(GetCategoriesFolder(), name));
  }
  static void Write(const std::string& name, std::string_view text) {
    std::filesystem::create_directories(std::filesystem::path(Installed(name)).parent_path());
    WriteFileBytes(Installed(name), text);
  }
  void ScanCategories() { m_app->categoryTree = ScanCategoryTree(); }

  // Runs the job through the job manager until its result has been handled.
  void Run(const std::shared_ptr<CUpgradeCategoryJob>& job) {
    manager().AddJob(job);
    FirstTick();
    Tick();
    ASSERT_TRUE(WaitFor([&] { return job->successes + job->failures > 0; }));
  }

  std::shared_ptr<test::RecordingShell> m_shell;
};

// A scripted server: answers by request target.
class ScriptedServerTest : public UpgradeJobTest {
 protected:
  void StartServer(std::function<WireReply(const std::string& target)> answer) {
    m_server = std::make_unique<test::WireServer>(
        [answer = std::move(answer)](const WireRequest& request, size_t) {
          const std::string& line = request.requestLine;
          const size_t start = line.find(' ') + 1;
          return answer(line.substr(start, line.rfind(' ') - start));
        });
    UseServer("127.0.0.1:" + std::to_string(m_server->Port()));
  }
  std::vector<std::string> Targets() const {
    std::vector<std::string> targets;
    for (const WireRequest& request : m_server->Requests()) {
      targets.push_back(request.requestLine.substr(4, request.requestLine.rfind(' ') - 4));
    }
    return targets;
  }

  std::unique_ptr<test::WireServer> m_server;
};

TEST_F(ScriptedServerTest, EmptyListAsksNothingMoreAndSucceeds) {
  Write("web.cat", "[main]\n");
  ScanCategories();
  m_app->settings().MyDomains = "uk,com";
  StartServer([](const std::string&) { return HttpReply(200, "0"); });
  auto job = std::make_shared<CUpgradeCategoryJob>(FindCategoryByName("web"));
  EXPECT_EQ(job->GetName(), "Checking for new/changed web search engines ");
  EXPECT_TRUE(job->UpgradesCategory("web"));
  EXPECT_FALSE(job->UpgradesCategory("news"));
  Run(job);

  ASSERT_EQ(m_server->RequestCount(), 1u);
  const WireRequest request = m_server->Requests()[0];
  EXPECT_EQ(request.requestLine,
            "GET /tulix/getupgradelist.php?ctimestamp=&timestamp=&category=web&v=1.500&d=uk,com"
            "&a=0 HTTP/1.1");
  EXPECT_EQ(request.Header("Accept"), "text/*");
  EXPECT_EQ(request.Header("Accept-Encoding"), "");
  EXPECT_EQ(request.Header("User-Agent"), kSessionAgent);
  EXPECT_EQ(job->successes, 1);
  EXPECT_TRUE(m_log.Has("Upgrades completed successfully"));
  EXPECT_EQ(job->NewestStamp(), "");
  EXPECT_EQ(GetCategoryTimestamp(), "");
}

TEST_F(ScriptedServerTest, ADueCategoryAddsAJobThatSaysItUpgradesIt) {
  Write("web.cat", "[main]\n");
  Write("web/news.cat", "[main]\n");
  std::filesystem::create_directories(Installed("web/news"));
  std::filesystem::create_directories(Installed("web"));
  ScanCategories();
  InstallUpgradeJobStarter();
  CategoryNode* news = FindCategoryByName("news");
  ASSERT_NE(news, nullptr);
  ASSERT_TRUE(news->StartUpdateIfNeeded());
  ASSERT_EQ(manager().JobCount(), 1u);
  EXPECT_TRUE(manager().JobAt(0)->UpgradesCategory("news"));
  EXPECT_FALSE(manager().JobAt(0)->UpgradesCategory("web"));

  CUpgradeCategoryJob several(FindCategoryByName("web"), "news|shopping|");
  EXPECT_EQ(several.GetName(), "Checking for new/changed web search engines news, shopping");
  EXPECT_TRUE(several.UpgradesCategory("shopping"));
  EXPECT_FALSE(several.UpgradesCategory("shop"));
}

TEST_F(ScriptedServerTest, EngineOfUnknownCategoryBringsItsCategoryFileFirst) {
  ScanCategories();  // no category at all
  std::string demo = DemoEngine();
  int lists = 0;
  StartServer([&](const std::string& target) {
    if (target.starts_with("/tulix/getupgradelist.php")) {
      // The same notice on every list: the user hears of it once per run.
      return HttpReply(200, ++lists == 1 ? "1\r\nweb|alpha.ini|7|x\r\nweb|skipped.ini||\r\n"
                                           "|http://www.example.com/new.html|8|\r\n"
                                           "|http:evil|3|\r\n"
                                         : "1\n");
    }
    if (target == "/tulix/categories/web.cat") {
      return HttpReply(200, "[main]\norder=100\n");
    }
    if (target == "/tulix/categories/web/alpha.ini") {
      return HttpReply(200, demo);
    }
    return HttpReply(404, "");
  });
  auto job = CUpgradeCategoryJob::MakeFullDownload();
  Run(job);

  EXPECT_EQ(Targets(), (std::vector<std::string>{
                           "/tulix/getupgradelist.php?ctimestamp=&timestamp=&category=web&"
                           "v=1.500&d=&a=1",
                           "/tulix/categories/web.cat", "/tulix/categories/web/alpha.ini"}));
  ASSERT_EQ(job->Files().size(), 4u);
  EXPECT_EQ(job->Files()[0].path, "web.cat");
  EXPECT_EQ(job->Files()[1].path, "web\\alpha.ini");
  EXPECT_EQ(job->Files()[1].extra, "x");
  EXPECT_EQ(ReadFileBytes(Installed("web/alpha.ini")), demo);
  ASSERT_NE(FindCategoryByName("web"), nullptr);
  EXPECT_NE(dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\alpha")), nullptr);
  EXPECT_TRUE(WaitForBrowserRequests(20s));
  EXPECT_EQ(m_shell->opened, std::vector<std::string>{"http://www.example.com/new.html"});
  // The address that is no plain http one was refused, so the run counts as failed.
  EXPECT_EQ(m_log.CountContaining("Problem completing upgrades"), 1);
  EXPECT_EQ(GetCategoryTimestamp(), "8");

  Run(std::make_shared<CUpgradeCategoryJob>(FindCategoryByName("web")));
  EXPECT_EQ(lists, 2);
  const std::vector<std::string> boxes = m_log.Boxes();
  EXPECT_EQ(std::count(boxes.begin(), boxes.end(), kNewVersionNotice), 1);
}

// The browser library has no window to show web pages in: it skips them, says who asks ("b=1"),
// and names its job after the category alone.
TEST_F(ScriptedServerTest, InTheBrowserLibraryWebPagesAreSkippedAndTheListAskedWithB) {
  ScanCategories();
  std::string demo = DemoEngine();
  StartServer([&](const std::string& target) {
    if (target.starts_with("/tulix/getupgradelist.php")) {
      return HttpReply(200, "0\nweb|alpha.ini|7|\nweb|news.htm|7|\nweb|offer.php|7|\n"
                            "web|guide.html|7|\n|http://www.example.com/new.html|8|\n");
    }
    if (target == "/tulix/categories/web.cat") {
      return HttpReply(200, "[main]\norder=100\n");
    }
    if (target == "/tulix/categories/web/alpha.ini") {
      return HttpReply(200, demo);
    }
    return HttpReply(200, "<html>a page</html>");
  });
  RunUpgradeJobsInBrowserLibrary(true);
  auto job = CUpgradeCategoryJob::MakeFullDownload();
  RunUpgradeJobsInBrowserLibrary(false);
  EXPECT_EQ(job->GetName(), "Checking for new/changed search engines web");
  Run(job);

  EXPECT_EQ(Targets(), (std::vector<std::string>{
                           "/tulix/getupgradelist.php?ctimestamp=&timestamp=&category=web&"
                           "v=1.500&d=&a=1&b=1",
                           "/tulix/categories/web.cat", "/tulix/categories/web/alpha.ini"}));
  EXPECT_EQ(ReadFileBytes(Installed("web/alpha.ini")), demo);
  EXPECT_FALSE(FileExists(Installed("web/news.htm")));
  EXPECT_EQ(m_log.CountContaining("Problem completing upgrades"), 0);
  EXPECT_EQ(GetCategoryTimestamp(), "8");
  EXPECT_TRUE(WaitForBrowserRequests(20s));
  EXPECT_TRUE(m_shell->opened.empty());
}

TEST_F(ScriptedServerTest, RedirectsAreFollowedOnceAndOnlyToHttp) {
  Write("web.cat", "[main]\n");
  ScanCategories();
  std::string base;
  StartServer([&](const std::string& target) {
    if (target.starts_with("/tulix/getupgradelist.php")) {
      return HttpReply(302, "", {"Location: " + base + "/moved-list"});
    }
    if (target == "/moved-list") {
      return HttpReply(200, "0\n|notes.txt|5|\n|other.txt|6|\n");
    }
    if (target == "/tulix/categories/notes.txt") {
      return HttpReply(302, "", {"Location: file:///etc/passwd"});
    }
    if (target == "/tulix/categories/other.txt") {
      return HttpReply(303, "", {"Location: " + base + "/again"});
    }
    if (target == "/again") {
      return HttpReply(301, "", {"Location: " + base + "/third"});
    }
    return HttpReply(200, "never");
  });
  base = "http://127.0.0.1:" + std::to_string(m_server->Port());
  Run(std::make_shared<CUpgradeCategoryJob>(FindCategoryByName("web")));

  EXPECT_EQ(Targets(), (std::vector<std::string>{
                           "/tulix/getupgradelist.php?ctimestamp=&timestamp=&category=web&"
                           "v=1.500&d=&a=0",
                           "/moved-list", "/tulix/categories/notes.txt",
                           "/tulix/categories/other.txt", "/again"}));
  EXPECT_FALSE(FileExists(JoinPath(GetCategoriesFolder(), "notes.txt")));
  EXPECT_FALSE(FileExists(JoinPath(GetCategoriesFolder(), "other.txt")));
  EXPECT_EQ(m_log.CountContaining("Problem completing upgrades"), 1);
}

// An update server given as an https root is asked over TLS, and a certificate it cannot
// vouch for ends the check with the reason logged and nothing installed.
TEST_F(UpgradeJobTest, AnHttpsUpdateServerIsAskedOverTlsAndMustHaveAGoodCertificate) {
  test::ScopedEnvironmentValue caFile("TULIX_CA_FILE",
                                      test::TestCertificates::Shared().CaFile().c_str());
  Write("web.cat", "[main]\n");
  ScanCategories();
  auto serve = [](test::TlsLoopbackServer& server) {
    server->set_keep_alive_max_count(1);
    server->Get("/tulix/getupgradelist.php",
                [](const httplib::Request&, httplib::Response& response) {
                  response.set_content("0\n|notes.txt|5|\n", "text/plain");
                });
    server->Get("/tulix/categories/notes.txt",
                [](const httplib::Request&, httplib::Response& response) {
                  response.set_content("secure notes", "text/plain");
                });
    server.Start();
  };
  test::TlsLoopbackServer good(test::TestCertificates::Shared().Good());
  serve(good);
  UseServer("https://localhost:" + std::to_string(good.Port()) + "/");
  Run(std::make_shared<CUpgradeCategoryJob>(FindCategoryByName("web")));
  EXPECT_EQ(ReadFileBytes(Installed("notes.txt")), "secure notes");
  EXPECT_TRUE(m_log.Has("Upgrades completed successfully"));

  std::filesystem::remove(Installed("notes.txt"));
  test::TlsLoopbackServer expired(test::TestCertificates::Shared().Expired());
  serve(expired);
  UseServer("https://127.0.0.1:" + std::to_string(expired.Port()));
  testing::internal::CaptureStderr();
  Run(std::make_shared<CUpgradeCategoryJob>(FindCategoryByName("web")));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Error: Cannot make a secure connection to the update server 127.0.0.1 (SSL "
                     "certificate problem: certificate has expired)"),
            std::string::npos)
      << log;
  EXPECT_FALSE(FileExists(JoinPath(GetCategoriesFolder(), "notes.txt")));
}

TEST_F(ScriptedServerTest, BadFilesNeverReplaceGoodOnesNorLeaveTheFolder) {
  Write("web.cat", "[main]\n");
  Write("web/alpha.ini", "GOOD");
  ScanCategories();
  GetSession().SetTimeouts(2000ms, 300ms);
  StartServer([](const std::string& target) {
    if (target.starts_with("/tulix/getupgradelist.php")) {
      return HttpReply(200,
                       "0\nweb|alpha.ini|5|\nweb|big.ini|5|\n..|evil.txt|5|\n"
                       "web|..\\..\\evil.txt|5|\n|/tmp/evil.txt|5|\nweb|run.exe|6|\n"
                       "web|cut.ini|5|\n");
    }
    if (target == "/tulix/categories/web/alpha.ini") {
      // Headers and a part of the body, then nothing more.
      return WireReply{"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n[main]\nhost=", false, true};
    }
    if (target == "/tulix/categories/web/big.ini") {
      return HttpReply(200, std::string(kMaxUpgradeFileBytes + 1, 'x'));
    }
    if (target == "/tulix/categories/web/cut.ini") {
      return WireReply{"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n[main]\n", true};
    }
    return HttpReply(200, "MZ");
  });
  const auto started = std::chrono::steady_clock::now();
  Run(std::make_shared<CUpgradeCategoryJob>(FindCategoryByName("web")));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);

  EXPECT_EQ(Targets().size(), 5u) << "the list, alpha, big, run.exe and cut: no unsafe name";
  EXPECT_EQ(ReadFileBytes(Installed("web/alpha.ini")), "GOOD");
  EXPECT_FALSE(FileExists(JoinPath(GetCategoriesFolder(), "web\\big.ini")));
  EXPECT_FALSE(FileExists(JoinPath(GetCategoriesFolder(), "web\\cut.ini")));
  EXPECT_EQ(ReadFileBytes(Installed("web/run.exe")), "MZ");
  EXPECT_TRUE(m_shell->started.empty());
  EXPECT_FALSE(FileExists(JoinPath(GetProgramFolder(), "evil.txt")));
  EXPECT_FALSE(FileExists(JoinPath(GetCategoriesFolder(), "evil.txt")));
  EXPECT_EQ(m_log.CountContaining("Problem completing upgrades"), 1);
}

TEST_F(ScriptedServerTest, AServerThatHangsOnEveryFileMeetsTheTimeLimit) {
  Write("web.cat", "[main]\n");
  ScanCategories();
  GetSession().SetTimeouts(2000ms, 300ms);
  std::string list = "0\n";
  for (int i = 0; i < 100000; ++i) {
    list += "web|e" + std::to_string(i) + ".ini|" + std::to_string(i + 1) + "|\n";
  }
  StartServer([&](const std::string& target) {
    if (target.starts_with("/tulix/getupgradelist.php")) {
      return HttpReply(200, list);
    }
    return WireReply{"", false, true};
  });
  auto job = std::make_shared<CUpgradeCategoryJob>(FindCategoryByName("web"));
  job->SetTimeLimit(1500ms);
  const auto started = std::chrono::steady_clock::now();
  Run(job);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_LT(m_server->RequestCount(), 20u);
  EXPECT_EQ(m_log.CountContaining("Problem completing upgrades"), 1);
}

// Gives a published file a modification time (its stamp on the server).
void SetStamp(const std::string& path, time_t stamp) {
  const timespec times[2] = {{stamp, 0}, {stamp, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST_F(UpgradeJobTest, FullDownloadFromTheUpdateServerThenOnlyNewerFiles) {
  ScanCategories();  // an empty program folder
  const std::string published = m_temp.File("published");
  std::filesystem::create_directories(published + "/web");
  WriteFileBytes(published + "/web.cat", "[main]\norder=100\n");
  WriteFileBytes(published + "/web/alpha.ini", DemoEngine());
  WriteFileBytes(published + "/web/beta.ini", DemoEngine());
  WriteFileBytes(published + "/sites.sit", "[main]\n");
  SetStamp(published + "/web.cat", 1700000000);
  SetStamp(published + "/web/alpha.ini", 1700000050);
  SetStamp(published + "/web/beta.ini", 1700000100);
  SetStamp(published + "/sites.sit", 1700000020);
  test::ServerProcess server({"--port", "0", published}, m_temp.File("server.log"));
  UseServer("http://127.0.0.1:" + std::to_string(server.Port()));

  auto full = CUpgradeCategoryJob::MakeFullDownload();
  Run(full);
  EXPECT_TRUE(m_log.Has("Upgrades completed successfully"));
  EXPECT_EQ(full->Files().size(), 4u);
  EXPECT_EQ(ReadFileBytes(Installed("web/beta.ini")), DemoEngine());
  EXPECT_TRUE(FileExists(JoinPath(GetCategoriesFolder(), "web.cat")));
  auto* alpha = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\alpha"));
  ASSERT_NE(alpha, nullptr);
  EXPECT_TRUE(alpha->Load());
  EXPECT_EQ(GetCategoryTimestamp(), "1700000100");
  EXPECT_EQ(GetEngineSetVersion(), 1.5);
  CategoryNode* web = FindCategoryByName("web");
  ASSERT_NE(web, nullptr);
  EXPECT_EQ(web->timestamp, "1700000100");
  EXPECT_NE(web->lastUpdateCheck, -1);

  // Only what changed since is asked for and fetched.
  WriteFileBytes(published + "/web/alpha.ini", DemoEngine() + "; changed\n");
  SetStamp(published + "/web/alpha.ini", 1700000200);
  auto check = std::make_shared<CUpgradeCategoryJob>(web);
  Run(check);
  ASSERT_EQ(check->Files().size(), 1u);
  EXPECT_EQ(check->Files()[0].path, "web\\alpha.ini");
  EXPECT_EQ(ReadFileBytes(Installed("web/alpha.ini")), DemoEngine() + "; changed\n");
  EXPECT_EQ(GetCategoryTimestamp(), "1700000200");
  EXPECT_EQ(m_log.Count("Upgrades completed successfully"), 2);
  const std::string log = ReadFileBytes(m_temp.File("server.log"));
  EXPECT_NE(log.find("ctimestamp=1700000100&timestamp=1700000100&category=web&v=1.500&d=&a=0"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace tulix
