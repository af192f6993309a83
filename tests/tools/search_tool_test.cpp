// tulix-search run as a user runs it: a child process on a fresh program folder, with engines
// served by this test on loopback and published by a real tulix-update-server.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "loopback_server.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "results/saved_search.h"
#include "test_support.h"
#include "update_server_process.h"

extern char** environ;

namespace tulix {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

struct Outcome {
  int status = -1;  // exit status, -1 when killed or not started
  std::string out;
  std::string err;
};

// A started tulix-search; its output goes to files that Finish reads.
class SearchProcess {
 public:
  SearchProcess(const std::vector<std::string>& args, const std::string& scratch)
      : m_out(scratch + ".out"), m_err(scratch + ".err") {
    std::vector<std::string> all = {TULIX_SEARCH_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~SearchProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  void Kill() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
    }
  }
  // True once the process has ended (it is then reaped).
  bool Exited() {
    if (m_pid > 0 && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
      m_pid = -1;
      m_reaped = true;
    }
    return m_reaped;
  }
  Outcome Finish() {
    Outcome outcome;
    if (m_pid > 0 && ::waitpid(m_pid, &m_status, 0) == m_pid) {
      m_reaped = true;
    }
    if (m_reaped && WIFEXITED(m_status)) {
      outcome.status = WEXITSTATUS(m_status);
    }
    m_pid = -1;
    outcome.out = test::ReadFileBytes(m_out);
    outcome.err = test::ReadFileBytes(m_err);
    return outcome;
  }

 private:
  std::string m_out;
  std::string m_err;
  pid_t m_pid = -1;
  int m_status = 0;
  bool m_reaped = false;
};

// Written an hour ago: the update server holds back files changed in the current second.
void WritePublished(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  test::WriteFileBytes(path.string(), text);
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

// An engine whose script makes a result of every li element and follows no links.
std::string EngineText(const std::string& name, int port, const std::string& extra = "") {
  return "[main]\nname=" + name + "\nhost=127.0.0.1\nport=" + std::to_string(port) +
         "\nobject=/" + name + "?q=%Q&n=%R\nTrimLeadingNumbers=0\n" + extra +
         "[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
         "[RESULT]\n1=TAG|START|/li|SENDRESULT|\n";
}

class SearchToolTest : public test::TulixTest {
 protected:
  // What the engines answer.
  enum class Mode { kNormal, kEmpty, kMany, kFail };

  void SetUp() override {
    TulixTest::SetUp();
    m_engines->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      Serve(request, response);
    });
    m_engines.Start();
    m_published = m_temp.File("published");
    // Three engines whose results overlap: alpha has 1-10, beta 5-14, gamma 9-18.
    WritePublished(m_published + "/web.cat", "[main]\nEngineCount=3\nPerEngine=20\n");
    for (const std::string name : {"alpha", "beta", "gamma"}) {
      WritePublished(m_published + "/web/" + name + ".ini", EngineText(name, m_engines.Port()));
    }
    WritePublished(m_published + "/shops.cat", "[main]\n");
    WritePublished(m_published + "/shops/till.ini",
                   EngineText("till", m_engines.Port(), "sitetype=1\n"));
    m_server = std::make_unique<test::ServerProcess>(
        std::vector<std::string>{"--port", "0", m_published}, m_temp.File("server.log"));
    RegistryStore(m_registry)
        .SetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer",
                   "127.0.0.1:" + std::to_string(m_server->Port()));
    // The test reads the stored searches as the program does, in a world of its own.
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope = std::make_unique<ScopedApplication>(*m_app);
  }
  void TearDown() override {
    m_scope.reset();
    m_app.reset();
    ClearProfileCache();
    TulixTest::TearDown();
  }

  void Serve(const httplib::Request& request, httplib::Response& response) {
    const std::string engine = request.path.substr(1);
    {
      std::lock_guard lock(m_mutex);
      m_queries.push_back(request.get_param_value("q"));
    }
    if (m_mode == Mode::kFail) {
      response.status = 500;
      return;
    }
    const int first = engine == "alpha" ? 1 : engine == "beta" ? 5 : 9;
    const int count = m_mode == Mode::kEmpty ? 0 : m_mode == Mode::kMany ? 200 : 10;
    std::string page = "<html><body><ul>";
    for (int i = first; i < first + count; ++i) {
      const std::string n = std::to_string(i);
      page += "<li><a href=http://r.test/" + n + ">Whale number " + n + "</a> blue whale</li>";
    }
    response.set_content(page + "</ul></body></html>", "text/html");
  }

  Outcome Search(const std::vector<std::string>& args) {
    SearchProcess process(args, m_temp.File("run" + std::to_string(++m_runs)));
    return process.Finish();
  }

  std::string SearchesFolder() const { return m_home + "/searches"; }
  std::vector<std::string> SearchFiles() const {
    std::vector<std::string> files;
    if (fs::exists(SearchesFolder())) {
      for (const auto& entry : fs::directory_iterator(SearchesFolder())) {
        if (entry.path().extension() == ".ini") {
          files.push_back(entry.path().string());
        }
      }
    }
    return files;
  }

  test::ScopedNoProxy m_noProxy;
  std::unique_ptr<test::ServerProcess> m_server;
  std::string m_published;
  std::atomic<Mode> m_mode{Mode::kNormal};
  std::mutex m_mutex;
  std::vector<std::string> m_queries;
  int m_runs = 0;
  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
  // Last, so that it stops before anything its handler uses goes.
  test::LoopbackServer m_engines;
};

TEST_F(SearchToolTest, SearchesMergesStoresAndRunsTheSameSearchAgain) {
  Outcome first = Search({"--json", "blue", "whale"});
  ASSERT_EQ(first.status, 0) << first.err;
  // 18 addresses, of which 5-10 and 9-14 were found by two engines and 9 and 10 by three.
  EXPECT_NE(first.out.find("\"found\":18"), std::string::npos) << first.out;
  // The engines are listed in the order their hits arrived, which the jobs running side by side
  // decide.
  const size_t nine = first.out.find("\"address\":\"http://r.test/9\",\"engines\":[");
  ASSERT_NE(nine, std::string::npos) << first.out;
  const std::string engines = first.out.substr(nine, first.out.find(']', nine) - nine);
  for (const char* engine : {"\"alpha\"", "\"beta\"", "\"gamma\""}) {
    EXPECT_NE(engines.find(engine), std::string::npos) << engines;
  }
  EXPECT_NE(first.out.find("\"title\":\"Whale number 1\""), std::string::npos);
  ASSERT_EQ(SearchFiles().size(), 1u);

  // The list names the stored search; a mark set on it survives the next run.
  Outcome list = Search({"--list"});
  ASSERT_EQ(list.status, 0);
  const std::string name = list.out.substr(0, 14);
  EXPECT_NE(list.out.find("18 results  blue whale"), std::string::npos) << list.out;
  ASSERT_EQ(Search({"--mark", name, "1", "relevant"}).status, 0);
  Outcome again = Search({"--json", "--sort", "rank", "blue", "whale"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(SearchFiles().size(), 1u);
  const size_t marked = again.out.find("\"mark\":\"relevant\"");
  ASSERT_NE(marked, std::string::npos);
  EXPECT_EQ(again.out.find("\"mark\":\"relevant\"", marked + 1), std::string::npos);

  Outcome shown = Search({"--show", name});
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.out.find("marked relevant"), std::string::npos) << shown.out;
  EXPECT_EQ(Search({"--show", "19990101000000"}).status, 2);
  EXPECT_EQ(Search({"--mark", name, "99", "relevant"}).status, 2);
}

TEST_F(SearchToolTest, BadWordsAndCategoriesGetClearAnswers) {
  EXPECT_EQ(Search({}).status, 2);
  EXPECT_EQ(Search({"   "}).status, 2);
  EXPECT_EQ(Search({"--engines", "0", "whale"}).status, 2);
  EXPECT_EQ(Search({"--sort", "size", "whale"}).status, 2);

  Outcome unknown = Search({"--category", "../../etc", "whale"});
  EXPECT_EQ(unknown.status, 3);
  EXPECT_NE(unknown.err.find("there is no category \"../../etc\""), std::string::npos);
  EXPECT_TRUE(SearchFiles().empty());

  // The category's only engine is a shop, which a low shopping slider keeps out.
  EXPECT_EQ(Search({"--category", "shops", "--shopping", "1", "whale"}).status, 4);

  // Placeholders and quotes in the words reach the engines as words, not as placeholders.
  Outcome odd = Search({"%Q%R%%", "\"quoted\"", "100%"});
  EXPECT_EQ(odd.status, 0) << odd.err;
  {
    std::lock_guard lock(m_mutex);
    ASSERT_FALSE(m_queries.empty());
    EXPECT_EQ(m_queries.back(), "%q%r%% quoted 100%");  // the word splitter drops quotes
  }
  // Very long words still make a search, stored with its words whole, though this server
  // refuses so long an address, as many do.
  const std::string longWords(10000, 'w');
  Outcome longSearch = Search({longWords});
  EXPECT_EQ(longSearch.status, 5) << longSearch.err;
  bool stored = false;
  for (const std::string& file : SearchFiles()) {
    stored |= test::ReadFileBytes(file).find("Name=" + longWords + "\r\n") != std::string::npos;
  }
  EXPECT_TRUE(stored);
}

TEST_F(SearchToolTest, FailuresOfEnginesAndStorageAreReported) {
  m_mode = Mode::kEmpty;
  Outcome nothing = Search({"whale"});
  EXPECT_EQ(nothing.status, 1);
  EXPECT_NE(nothing.err.find("nothing found"), std::string::npos);

  m_mode = Mode::kFail;
  Outcome failed = Search({"whale"});
  EXPECT_EQ(failed.status, 5);
  EXPECT_NE(failed.err.find("every engine failed"), std::string::npos) << failed.err;

  // A file where the searches folder should be: the search runs, shows what it found and
  // says it could not be stored.
  m_mode = Mode::kNormal;
  fs::remove_all(SearchesFolder());
  test::WriteFileBytes(SearchesFolder(), "");
  Outcome unstored = Search({"whale"});
  EXPECT_EQ(unstored.status, 6);
  EXPECT_NE(unstored.out.find("Whale number 1"), std::string::npos);
  EXPECT_NE(unstored.err.find("could not be stored"), std::string::npos) << unstored.err;
}

TEST_F(SearchToolTest, TwoProcessesSearchingTheSameWordsBothFinish) {
  ASSERT_EQ(Search({"blue", "whale"}).status, 0);  // engines installed, one stored search
  SearchProcess one({"blue", "whale"}, m_temp.File("one"));
  SearchProcess two({"blue", "whale"}, m_temp.File("two"));
  EXPECT_EQ(one.Finish().status, 0);
  EXPECT_EQ(two.Finish().status, 0);
  ASSERT_EQ(SearchFiles().size(), 1u);
  ClearProfileCache();
  SavedSearch search;
  search.SetFilePath(SearchFiles()[0]);
  search.LoadSettings();
  search.LoadResults();
  EXPECT_EQ(search.settings.found, 18);
  EXPECT_EQ(search.current().size(), 18u);
}

// Every entry of the results list names a section with an address, and Found agrees.
void ExpectWholeSearchFile(const std::string& file) {
  ClearProfileCache();
  SavedSearch search;
  search.SetFilePath(file);
  search.LoadSettings();
  EXPECT_EQ(search.settings.name, "blue whale") << file;
  int listed = 0;
  for (int i = 1;; ++i) {
    const std::string section = GetPrivateProfileString("results", std::to_string(i).c_str(), "",
                                                        file);
    if (section.empty()) {
      break;
    }
    ++listed;
    EXPECT_FALSE(GetPrivateProfileString(section.c_str(), "href", "", file).empty())
        << "entry " << i << " names no stored result";
  }
  EXPECT_TRUE(listed == 0 || listed == search.settings.found)
      << listed << " listed, " << search.settings.found << " found";
}

TEST_F(SearchToolTest, KillingTheProgramWhileItSavesLeavesAReadableSearch) {
  m_mode = Mode::kMany;
  const std::vector<std::string> args = {"--per-engine", "200", "blue", "whale"};
  ASSERT_EQ(Search(args).status, 0);
  ASSERT_EQ(SearchFiles().size(), 1u);
  const std::string file = SearchFiles()[0];
  ExpectWholeSearchFile(file);
  // Each run replaces the file several times (moving the old results aside, then the new
  // ones); kill it as the n-th replacement begins.
  int killed = 0;
  for (int n = 1; n <= 3; ++n) {
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, SearchesFolder().c_str(), IN_CREATE), 0);
    SearchProcess run(args, m_temp.File("kill" + std::to_string(n)));
    int seen = 0;
    const auto deadline = SteadyClock::now() + std::chrono::seconds(20);
    while (seen < n && !run.Exited() && SteadyClock::now() < deadline) {
      pollfd ready{watch, POLLIN, 0};
      if (::poll(&ready, 1, 100) != 1) {
        continue;
      }
      alignas(inotify_event) char buffer[4096];
      const ssize_t length = ::read(watch, buffer, sizeof buffer);
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && std::string(event->name).find(".tmp") != std::string::npos) {
          ++seen;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (!run.Exited()) {
      ++killed;
      run.Kill();
    }
    run.Finish();
    ::close(watch);
    ExpectWholeSearchFile(file);
  }
  EXPECT_GE(killed, 1);
  // Whatever was killed, the next run completes and stores everything.
  ASSERT_EQ(Search(args).status, 0);
  ExpectWholeSearchFile(file);
  EXPECT_EQ(GetPrivateProfileInt("ResultSummary", "Found", 0, file), 208);
}

}  // namespace
}  // namespace tulix
