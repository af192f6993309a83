#include "engine/browser.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "definitions/engine_definition.h"
#include "engine/page_fetcher.h"
#include "loopback_server.h"
#include "platform/http.h"
#include "platform/paths.h"
#include "platform/shell.h"
#include "recording_shell.h"
#include "test_support.h"
#include "tls_loopback_server.h"
#include "wire_server.h"

namespace tulix {
namespace {

using namespace std::chrono_literals;
using test::ReadFileBytes;
using test::WriteFileBytes;

using test::RecordingShell;

class LineRecorder : public LogUserInterface {
 public:
  void ShowStatus(const std::string& line) override {
    std::lock_guard lock(m_mutex);
    status.push_back(line);
  }
  void ShowMessageBox(const std::string& line) override {
    std::lock_guard lock(m_mutex);
    boxes.push_back(line);
  }
  std::vector<std::string> status;
  std::vector<std::string> boxes;

 private:
  std::mutex m_mutex;
};

using Server = test::LoopbackServer;

class BrowserTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app.emplace(m_home, m_registry);
    m_scope.emplace(*m_app);
    m_app->settings().BrowserNewWindow = 0;
    m_shell = std::make_shared<RecordingShell>();
    SetShellLauncher(m_shell);
    SetLogUserInterface(&m_ui);
    const char* tmp = std::getenv("TMPDIR");
    m_savedTmp = tmp != nullptr ? std::optional<std::string>(tmp) : std::nullopt;
    m_tmp = m_temp.File("tmp");
    std::filesystem::create_directories(m_tmp);
    setenv("TMPDIR", m_tmp.c_str(), 1);
  }
  void TearDown() override {
    EXPECT_TRUE(WaitForBrowserRequests(20s));
    SetLogUserInterface(nullptr);
    SetShellLauncher(nullptr);
    SetBrowserLauncher(nullptr);
    if (m_savedTmp) {
      setenv("TMPDIR", m_savedTmp->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    m_scope.reset();
    m_app.reset();
    TulixTest::TearDown();
  }

  // Opens with download and waits for the request to end; returns what was opened.
  std::vector<std::string> Open(const std::string& address, bool download) {
    m_shell->opened.clear();
    OpenInBrowser(WindowHandle{}, address, download);
    EXPECT_TRUE(WaitForBrowserRequests(20s));
    return m_shell->opened;
  }
  std::string Saved(const std::string& name) const { return m_tmp + "/" + name; }

  // The server's handlers may wait on these, so they go after it; the server goes after the
  // application, whose session must close its kept-alive connections before the server stops.
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_arrived = false;  // guarded by m_mutex
  bool m_release = false;  // guarded by m_mutex
  Server m_server;
  std::optional<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scope;
  std::shared_ptr<RecordingShell> m_shell;
  LineRecorder m_ui;
  std::string m_tmp;
  std::optional<std::string> m_savedTmp;
};

TEST_F(BrowserTest, FailedBrowserLookupReportsAndOpensNothing) {
  m_app->settings().BrowserNewWindow = 1;
  struct Case {
    int code;
    std::string line;
  };
  const Case cases[] = {
      {kShellErrorNoAssociation, "Error: Cannot find file association for http://a/ (error:31)"},
      {kShellErrorFileNotFound, "Error: Cannot find file for http://a/ (error:2)"},
      {0, "Error: Cannot find browser for http://a/ (error:0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    m_shell->answer.code = c.code;
    EXPECT_FALSE(OpenInBrowser(WindowHandle{}, "http://a/", true));
    EXPECT_EQ(m_ui.status.back(), c.line);
    EXPECT_EQ(m_ui.boxes.back(), c.line);
  }
  ASSERT_TRUE(WaitForBrowserRequests(20s));
  EXPECT_TRUE(m_shell->started.empty());
  EXPECT_TRUE(m_shell->opened.empty());
  EXPECT_EQ(m_shell->lookedUp.back(), JoinPath(m_home, "index.htm"));
}

TEST_F(BrowserTest, NewWindowStartsTheBrowserThenOpensTheAddress) {
  m_app->settings().BrowserNewWindow = 1;
  m_shell->answer = {kShellFound, {"/usr/bin/web browser", "--profile", "p"}};
  const std::string address = "http://h/?q=a b&c=$(x)";
  EXPECT_EQ(Open(address, false), std::vector<std::string>{address});
  EXPECT_EQ(m_shell->started, (std::vector<std::vector<std::string>>{
                                  {"/usr/bin/web browser", "--profile", "p", "--new-window"}}));

  // Without a new window there is no lookup and no start: the address goes to the opener as is.
  m_app->settings().BrowserNewWindow = 0;
  m_shell->lookedUp.clear();
  m_shell->started.clear();
  EXPECT_EQ(Open("http://h/x", false), std::vector<std::string>{"http://h/x"});
  EXPECT_TRUE(m_shell->lookedUp.empty());
  EXPECT_TRUE(m_shell->started.empty());

  // Engines' home pages arrive the same way once the launcher is installed.
  InstallEngineBrowserLauncher();
  LaunchBrowser("http://home.example/");
  ASSERT_TRUE(WaitForBrowserRequests(20s));
  EXPECT_EQ(m_shell->opened.back(), "http://home.example/");
}

// Redirect chains of every length from /r/0 (no redirect) to /r/7; odd hops send an absolute
// address, even ones a relative one that must keep the server's port and folder.
TEST_F(BrowserTest, DownloadFollowsAtMostFiveRedirectsThenNeeds200) {
  Server& server = m_server;
  const std::string body(3000, 'b');
  server->Get(R"(/r/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
    int left = std::stoi(req.matches[1]);
    if (left == 0) {
      res.set_content(body, "text/html");
      return;
    }
    res.status = left % 3 == 0 ? 303 : (left % 2 == 0 ? 301 : 302);
    std::string next = std::to_string(left - 1);
    res.set_header("Location", left % 2 == 1 ? server.Address("/r/" + next) : next);
  });
  server->Get("/to-missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/missing");
  });
  server->Get("/no-location",
              [](const httplib::Request&, httplib::Response& res) { res.status = 302; });
  server->Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("not here", "text/html");
  });
  server.Start();

  EXPECT_EQ(Open(server.Address("/r/5"), true), std::vector<std::string>{Saved("tulix0.htm")});
  EXPECT_EQ(ReadFileBytes(Saved("tulix0.htm")), body);

  // Each failure opens the address itself and leaves no file behind.
  for (const char* object : {"/r/6", "/r/7", "/to-missing", "/no-location"}) {
    SCOPED_TRACE(object);
    EXPECT_EQ(Open(server.Address(object), true), std::vector<std::string>{server.Address(object)});
    EXPECT_FALSE(FileExists(Saved("tulix1.htm")));
  }

  // A first answer that is no redirect is taken whatever its status.
  EXPECT_EQ(Open(server.Address("/missing"), true), std::vector<std::string>{Saved("tulix1.htm")});
  EXPECT_EQ(ReadFileBytes(Saved("tulix1.htm")), "not here");
}

TEST_F(BrowserTest, DownloadSendsTheViewingHeadersAndTakesTheNextFreeName) {
  // The request is kept exactly as it arrived, so the header block is checked byte for byte.
  test::WireServer server([](const test::WireRequest&, size_t) {
    return test::HttpReply(200, "page", {}, /*close=*/true);
  });
  const std::string address = "http://127.0.0.1:" + std::to_string(server.Port()) + "/page?x=1";
  WriteFileBytes(Saved("tulix0.htm"), "zero");
  WriteFileBytes(Saved("tulix1.htm"), "one");

  EXPECT_EQ(Open(address, true), std::vector<std::string>{Saved("tulix2.htm")});
  EXPECT_EQ(ReadFileBytes(Saved("tulix0.htm")), "zero");
  EXPECT_EQ(ReadFileBytes(Saved("tulix1.htm")), "one");
  EXPECT_EQ(ReadFileBytes(Saved("tulix2.htm")), "page");

  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].raw,
            "GET /page?x=1 HTTP/1.1\r\n"
            "Host: 127.0.0.1:" +
                std::to_string(server.Port()) +
                "\r\n"
                "Accept-Encoding:\r\n"
                "Accept: audio/x-aiff, audio/basic, audio/midi, audio/mpeg, audio/wav, image/jpeg, "
                "image/gif, image/jpg, image/png, image/mng, image/bmp, text/plain, text/html, "
                "text/htm\r\n"
                "User-Agent: Quendral\r\n\r\n");
}

TEST_F(BrowserTest, DownloadWorksOverHttpsAndFromHttpToHttps) {
  test::ScopedEnvironmentValue caFile("TULIX_CA_FILE",
                                      test::TestCertificates::Shared().CaFile().c_str());
  test::TlsLoopbackServer secure(test::TestCertificates::Shared().Good());
  secure->set_keep_alive_max_count(1);
  secure->Get("/page", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("secure page", "text/html");
  });
  secure.Start();
  test::WireServer plain([&](const test::WireRequest&, size_t) {
    return test::HttpReply(302, "", {"Location: " + secure.AddressByName("/page")}, true);
  });

  EXPECT_EQ(Open(secure.Address("/page"), true), std::vector<std::string>{Saved("tulix0.htm")});
  EXPECT_EQ(ReadFileBytes(Saved("tulix0.htm")), "secure page");
  EXPECT_EQ(Open("http://127.0.0.1:" + std::to_string(plain.Port()) + "/moved", true),
            std::vector<std::string>{Saved("tulix1.htm")});
  EXPECT_EQ(ReadFileBytes(Saved("tulix1.htm")), "secure page");
}

TEST_F(BrowserTest, PasswordPromptCancelOpensNothingAndRetrySaves) {
  Server& server = m_server;
  server->Get("/secret", [](const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Authorization") == "Basic dXNlcjpwdw==") {  // user:pw
      res.set_content("secret page", "text/html");
    } else {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Basic realm=\"r\"");
    }
  });
  server.Start();
  std::atomic<int> prompts{0};
  GetSession().SetCredentialsPrompt([&](const std::string&, HttpCredentials&) {
    ++prompts;
    return false;
  });
  EXPECT_TRUE(Open(server.Address("/secret"), true).empty());
  EXPECT_EQ(prompts.load(), 1);
  EXPECT_FALSE(FileExists(Saved("tulix0.htm")));

  // A wrong password asks again; the right one gets the page.
  GetSession().SetCredentialsPrompt([&](const std::string&, HttpCredentials& credentials) {
    credentials = {"user", ++prompts == 2 ? "wrong" : "pw"};
    return true;
  });
  EXPECT_EQ(Open(server.Address("/secret"), true), std::vector<std::string>{Saved("tulix0.htm")});
  EXPECT_EQ(prompts.load(), 3);
  EXPECT_EQ(ReadFileBytes(Saved("tulix0.htm")), "secret page");
}

// The end of the program must not wait for a slow server, and nothing may open afterwards.
TEST_F(BrowserTest, CancelAbortsADownloadInProgress) {
  Server& server = m_server;
  std::mutex& mutex = m_mutex;
  std::condition_variable& changed = m_changed;
  bool& arrived = m_arrived;
  bool& release = m_release;
  server->Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    std::unique_lock lock(mutex);
    arrived = true;
    changed.notify_all();
    changed.wait_for(lock, 20s, [&] { return release; });
    res.set_content("late", "text/html");
  });
  server.Start();

  OpenInBrowser(WindowHandle{}, server.Address("/slow"), true);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return arrived; }));
  }
  CancelBrowserRequests();
  EXPECT_TRUE(WaitForBrowserRequests(20s));
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  EXPECT_TRUE(m_shell->opened.empty());
  EXPECT_FALSE(FileExists(Saved("tulix0.htm")));
}

// A request keeps what it needs: it finishes even when the application object went first.
TEST_F(BrowserTest, RequestOutlivesTheApplicationObject) {
  m_server->Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    std::unique_lock lock(m_mutex);
    m_arrived = true;
    m_changed.notify_all();
    m_changed.wait_for(lock, 20s, [&] { return m_release; });
    res.set_content("late", "text/html");
  });
  m_server.Start();
  OpenInBrowser(WindowHandle{}, m_server.Address("/slow"), true);
  {
    std::unique_lock lock(m_mutex);
    ASSERT_TRUE(m_changed.wait_for(lock, 20s, [&] { return m_arrived; }));
  }
  m_scope.reset();
  m_app.reset();
  {
    std::lock_guard lock(m_mutex);
    m_release = true;
  }
  m_changed.notify_all();
  ASSERT_TRUE(WaitForBrowserRequests(20s));
  EXPECT_EQ(m_shell->opened, std::vector<std::string>{Saved("tulix0.htm")});
  EXPECT_EQ(ReadFileBytes(Saved("tulix0.htm")), "late");
}

// Runs only as the child process of ProgramCanEndWhileADownloadRuns.
TEST(BrowserExit, Child) {
  const char* address = std::getenv("TULIX_EXIT_CHILD_ADDRESS");
  const char* marker = std::getenv("TULIX_EXIT_CHILD_MARKER");
  if (address == nullptr || marker == nullptr) {
    return;
  }
  test::TempFolder folder;
  SetShellLauncher(std::make_shared<RecordingShell>());
  {
    TulixApplication app(folder.path(), folder.File("registry.db"));
    ScopedApplication scope(app);
    app.settings().BrowserNewWindow = 0;
    OpenInBrowser(WindowHandle{}, address, true);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!FileExists(marker) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(FileExists(marker));
  }
  // The application object is gone and the download still waits for its answer as the program
  // ends.
}

TEST_F(BrowserTest, ProgramCanEndWhileADownloadRuns) {
  const std::string marker = m_temp.File("arrived");
  m_server->Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    WriteFileBytes(marker, "");
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, 20s, [&] { return m_release; });
    res.set_content("late", "text/html");
  });
  m_server.Start();
  EXPECT_EQ(test::RunChildTest("BrowserExit.Child",
                               {"TULIX_EXIT_CHILD_ADDRESS=" + m_server.Address("/slow"),
                                "TULIX_EXIT_CHILD_MARKER=" + marker}),
            0);
  EXPECT_TRUE(FileExists(marker));
  {
    std::lock_guard lock(m_mutex);
    m_release = true;
  }
  m_changed.notify_all();
}

TEST(BrowserNames, NextNumberedNameCountsInDecimal) {
  const std::pair<const char*, const char*> cases[] = {
      {"tulix0.htm", "tulix1.htm"},
      {"tulix9.htm", "tulix10.htm"},
      {"tulix199.htm", "tulix200.htm"},
      {"page.htm", "page1.htm"},
      {"tulix0", "tulix1"},
      {"a.b\\c7", "a.b\\c8"},
      {"tulix99999999999999999999.htm", "tulix100000000000000000000.htm"},
      {"tulix007.htm", "tulix8.htm"},
  };
  for (const auto& [name, next] : cases) {
    EXPECT_EQ(NextNumberedName(name), next) << name;
  }
}

// Threads saving at once never share a name and never overwrite each other's page.
TEST(BrowserNames, ConcurrentSavesGetDistinctFiles) {
  test::TempFolder folder;
  constexpr int kThreads = 6;
  constexpr int kEach = 15;
  std::mutex mutex;
  std::set<std::string> paths;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string content = std::to_string(t) + "/" + std::to_string(i);
        std::optional<std::string> path =
            SaveAsNewNumberedFile(folder.path(), "tulix0.htm", content);
        ASSERT_TRUE(path);
        EXPECT_EQ(ReadFileBytes(ToFileSystemPath(*path)), content);
        std::lock_guard lock(mutex);
        paths.insert(*path);
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(paths.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_FALSE(SaveAsNewNumberedFile(folder.File("no-such-folder"), "tulix0.htm", "x"));
}

}  // namespace
}  // namespace tulix
