#include "engine/search_job.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/settings.h"
#include "definitions/category.h"
#include "engine/page_fetcher.h"
#include "jobs/job_test_support.h"
#include "loopback_server.h"
#include "tls_loopback_server.h"
#include "platform/http.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "results/result_filter.h"
#include "results/saved_search.h"
#include "update/upgrade_job.h"
#include "update_server_process.h"

namespace tulix {
namespace {

using Clock = std::chrono::steady_clock;

// Serves engine pages on loopback and keeps the targets asked for, in order. `Server` is a
// loopback server of the tests, plain or over TLS; `arguments` go to it.
template <typename Server>
class BasicEngineServer {
 public:
  using Pages = std::function<void(const std::string& target, httplib::Response& response)>;

  template <typename... Arguments>
  explicit BasicEngineServer(Pages pages, Arguments&&... arguments)
      : m_pages(std::move(pages)), m_server(std::forward<Arguments>(arguments)...) {
    m_server->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(m_mutex);
        m_targets.push_back(request.target);
      }
      m_pages(request.target, response);
    });
    // One request per connection: a kept-alive connection would hold the server's stop up
    // until its read time-out.
    m_server->set_keep_alive_max_count(1);
    m_server.Start();
  }

  uint16_t Port() const { return m_server.Port(); }
  std::vector<std::string> Targets() const {
    std::lock_guard lock(m_mutex);
    return m_targets;
  }

 private:
  Pages m_pages;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_targets;
  Server m_server;  // last: stopped before the rest goes
};

using EngineServer = BasicEngineServer<test::LoopbackServer>;
using SecureEngineServer = BasicEngineServer<test::TlsLoopbackServer>;

// A page of `count` results numbered from `first`, led by a link to `next` when it is given
// (first, so that the link is queued even when the walk stops at the last result it wants).
std::string ResultPage(int first, int count, const std::string& next = "") {
  std::string page = "<html><body>";
  if (!next.empty()) {
    page += "<a href=" + next + ">Next</a>";
  }
  page += "<ul>";
  for (int i = first; i < first + count; ++i) {
    const std::string n = std::to_string(i);
    page += "<li><a href=http://r.test/" + n + ">Result number " + n + "</a> about whales</li>";
  }
  return page + "</ul></body></html>";
}

// Records the rows the job writes into the tasks pane.
class RowRecorder : public JobObserver {
 public:
  void PruneTaskRows(const std::function<bool(int)>&) override {}
  void OnSearchProgress(CJob&) override {}
  void ShowTaskRow(const TaskRow& row) override { rows.push_back(row); }
  void RemoveTaskRow(int jobId) override { removed.push_back(jobId); }
  bool HasStatusEndingWith(const std::string& end) const {
    for (const TaskRow& row : rows) {
      if (row.status.size() >= end.size() &&
          row.status.compare(row.status.size() - end.size(), end.size(), end) == 0) {
        return true;
      }
    }
    return false;
  }
  std::vector<TaskRow> rows;
  std::vector<int> removed;
};

// A job that upgrades one category, as the upgrade job does; never started here.
class UpgradingJob : public test::TestJob {
 public:
  explicit UpgradingJob(std::string category)
      : TestJob("upgrade " + category), m_category(std::move(category)) {
    runnable = false;
  }
  bool UpgradesCategory(const std::string& categoryName) const override {
    return categoryName == m_category;
  }

 private:
  std::string m_category;
};

class SearchJobTest : public test::JobSystemTest {
 protected:
  void SetUp() override {
    JobSystemTest::SetUp();
    std::filesystem::create_directories(ToFileSystemPath(JoinPath(GetCategoriesFolder(), "web")));
    m_app->resultFilter = std::make_shared<ResultFilter>(*m_app);
    m_search = std::make_unique<SavedSearch>();
    m_search->settings.name = "blue whale";
    m_search->settings.category = "web";
    m_search->settings.perEngine = 10;
    m_search->SetFilePath(JoinPath(m_home, "search.ini"));
    StartSystem(3);
    manager().SetObserver(&m_rows);
  }
  void TearDown() override {
    StopJobSystem(*m_app);  // no job may outlive the search or the engine it uses
    m_search.reset();
    m_app->categoryTree.reset();
    m_oldTrees.clear();
    JobSystemTest::TearDown();
  }

  // Writes web\<file>.ini with EngineText and returns the engine as a fresh scan finds it.
  EngineDefinition& Engine(uint16_t port, const std::string& mainKeys = "",
                           const std::string& file = "loop") {
    const std::string text = EngineText(port, mainKeys);
    const std::string path = ToFileSystemPath(JoinPath(GetCategoriesFolder(), "web\\" + file));
    test::WriteFileBytes(path + ".ini", text);
    // Jobs made earlier keep using the engines of the tree they were made from.
    if (m_app->categoryTree) {
      m_oldTrees.push_back(std::move(m_app->categoryTree));
    }
    m_app->categoryTree = ScanCategoryTree();
    auto* engine = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\" + file));
    EXPECT_NE(engine, nullptr);
    engine->Load();
    return *engine;
  }

  // The definition of an engine on the server's port whose script makes a result of each li
  // element and queues the page any other link leads to; `mainKeys` adds keys.
  static std::string EngineText(uint16_t port, const std::string& mainKeys = "") {
    return "[main]\nname=Loop\nhost=127.0.0.1\nport=" + std::to_string(port) +
           "\nobject=/p1?q=%Q\nTrimLeadingNumbers=0\n" + mainKeys +
           "[START]\n"
           "1=TAG|RESULT|li|STARTRESULT|\n"
           "2=TAG|START|a|SENDRESULTPAGETAG|\n"
           "3=TAG|START|input|SAVEINPUTVALUE|\n"
           "[RESULT]\n"
           "1=TAG|START|/li|SENDRESULT|\n";
  }

  std::shared_ptr<CSearchJob> AddSearchJob(const EngineDefinition& engine) {
    auto job = std::make_shared<CSearchJob>(engine, *m_search);
    manager().AddJob(job);
    return job;
  }

  // Ticks the scheduler and runs the loop until `done`, within a deadline.
  bool TickUntil(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      Tick();
      if (m_loop.RunUntil(done, std::chrono::milliseconds(50))) {
        return true;
      }
    }
    return false;
  }
  // Done once its result has been handled (the released worker may already have taken the
  // job out of the list, which clears its marker).
  bool TickUntilDone(const std::shared_ptr<CSearchJob>& job) {
    return TickUntil([&] { return job->result != kResultNotRun; });
  }
  // The first tick of the scheduler, then on until the job's result has been handled.
  bool RunToEnd(const std::shared_ptr<CSearchJob>& job) {
    FirstTick();
    return TickUntilDone(job);
  }

  std::vector<std::string> HitAddresses() {
    std::lock_guard lock(m_app->resultsLock);
    std::vector<std::string> addresses;
    for (size_t i = 0; i < m_search->current().size(); ++i) {
      addresses.push_back(m_search->current().at(i).href);
    }
    return addresses;
  }

  std::unique_ptr<SavedSearch> m_search;
  std::vector<std::shared_ptr<Tree>> m_oldTrees;
  RowRecorder m_rows;
  // A proxy from the machine's environment would take the loopback requests elsewhere.
  test::ScopedNoProxy m_noProxy;
};

TEST_F(SearchJobTest, EnoughHitsOnTheFirstPageEndTheJobThereAndTellTheSearch) {
  EngineServer server([](const std::string&, httplib::Response& response) {
    response.set_content(ResultPage(1, 10, "/p2"), "text/html");
  });
  auto job = AddSearchJob(Engine(server.Port()));
  EXPECT_EQ(job->GetName(), "Searching Loop for blue whale");
  EXPECT_EQ(job->GetDesiredResultCount(), 10);
  ASSERT_TRUE(RunToEnd(job));

  EXPECT_EQ(server.Targets(), std::vector<std::string>{"/p1?q=blue+whale"});
  EXPECT_EQ(job->result, kResultSuccess);
  EXPECT_EQ(job->GetResultCount(), 10);
  EXPECT_EQ(job->Walk().Queue().size(), 2u);  // the next page was queued, never fetched
  EXPECT_EQ(HitAddresses().size(), 10u);
  EXPECT_EQ(m_search->EnginesFinished(), 1);

  // The tasks pane row names the engine, the kind and the query as the engine gets it.
  ASSERT_FALSE(m_rows.rows.empty());
  EXPECT_EQ(m_rows.rows.back().jobId, job->JobId());
  EXPECT_EQ(m_rows.rows.back().name, "Loop");
  EXPECT_EQ(m_rows.rows.back().kind, "Search");
  EXPECT_EQ(m_rows.rows.back().detail, "blue+whale");
  EXPECT_EQ(m_rows.rows.back().status, "COMPLETE - Success");
  EXPECT_TRUE(m_rows.HasStatusEndingWith(" of 10 desired results (Page 1)"));
  job->SetStatusText("CLEAR");
  EXPECT_EQ(m_rows.removed, std::vector<int>{job->JobId()});
}

TEST_F(SearchJobTest, TheQueueRunningOutEndsTheJobAndAPageQueuedAgainIsNotFetched) {
  // Page 1 links to itself (the address it was fetched from) and to page 2, which links to
  // nothing: two fetches and the job is done, though it wants more results.
  EngineServer server([](const std::string& target, httplib::Response& response) {
    if (target.rfind("/p1", 0) == 0) {
      response.set_content(ResultPage(1, 3, "/p1?q=blue+whale") + ResultPage(4, 0, "/p2"),
                           "text/html");
    } else {
      response.set_content(ResultPage(4, 2), "text/html");
    }
  });
  auto job = AddSearchJob(Engine(server.Port()));
  ASSERT_TRUE(RunToEnd(job));
  EXPECT_EQ(server.Targets(), (std::vector<std::string>{"/p1?q=blue+whale", "/p2"}));
  EXPECT_EQ(job->Walk().Queue().size(), 3u);
  EXPECT_EQ(job->result, kResultSuccess);
  EXPECT_EQ(HitAddresses().size(), 5u);
}

TEST_F(SearchJobTest, ThreePagesInARowWithoutAcceptedHitsEndTheJob) {
  // Every page links to a new one. Pages without results, and pages whose results the filter
  // refuses (a Shopping value that keeps only known shops), both count as no progress.
  EngineServer server([](const std::string& target, httplib::Response& response) {
    const int n = std::atoi(target.c_str() + 2);
    const std::string next = "/p" + std::to_string(n + 1);
    response.set_content(n == 1 ? ResultPage(1, 2, next) : ResultPage(n, 0, next), "text/html");
  });
  EngineDefinition& engine = Engine(server.Port());
  auto job = AddSearchJob(engine);
  const auto start = Clock::now();
  ASSERT_TRUE(RunToEnd(job));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(server.Targets(), (std::vector<std::string>{"/p1?q=blue+whale", "/p2", "/p3", "/p4"}));
  EXPECT_EQ(job->result, kResultSuccess);
  EXPECT_EQ(job->GetResultCount(), 2);

  m_search->settings.shopping = 95;
  m_search->PrepareRerun();
  auto refused = AddSearchJob(engine);
  ASSERT_TRUE(TickUntilDone(refused));
  EXPECT_EQ(server.Targets().size(), 7u);
  EXPECT_EQ(refused->GetResultCount(), 0);
  EXPECT_TRUE(HitAddresses().empty());
  EXPECT_EQ(m_search->EnginesFinished(), 2);
}

TEST_F(SearchJobTest, HomePageIsVisitedOnceFirstOnlyWhenItIsAnAddress) {
  EngineServer server([](const std::string& target, httplib::Response& response) {
    response.set_content(target == "/home" ? "welcome" : ResultPage(1, 1), "text/html");
  });
  const std::string good = "http://127.0.0.1:" + std::to_string(server.Port()) + "/home";
  std::vector<std::shared_ptr<CSearchJob>> jobs;
  jobs.push_back(AddSearchJob(Engine(server.Port(), "visithome=1\nhome=\n", "empty")));
  jobs.push_back(AddSearchJob(Engine(server.Port(), "visithome=1\nhome=not an address\n", "bad")));
  jobs.push_back(AddSearchJob(Engine(server.Port(), "visithome=0\nhome=" + good + "\n", "off")));
  FirstTick();
  for (const auto& job : jobs) {
    ASSERT_TRUE(TickUntilDone(job));
    EXPECT_EQ(job->result, kResultSuccess);
  }
  EXPECT_EQ(server.Targets(), std::vector<std::string>(3, "/p1?q=blue+whale"));

  auto visiting = AddSearchJob(Engine(server.Port(), "visithome=1\nhome=" + good + "\n", "good"));
  ASSERT_TRUE(TickUntilDone(visiting));
  const std::vector<std::string> targets = server.Targets();
  ASSERT_EQ(targets.size(), 5u);
  EXPECT_EQ(targets[3], "/home");
  EXPECT_EQ(targets[4], "/p1?q=blue+whale");
  EXPECT_EQ(visiting->result, kResultSuccess);
}

TEST_F(SearchJobTest, VariablesAndSavedInputsGoIntoQueuedRequestsOnly) {
  EngineServer server([](const std::string& target, httplib::Response& response) {
    if (target.rfind("/p1", 0) == 0) {
      response.set_content("<form><input name=lang value=en></form>" + ResultPage(1, 1, "/p2"),
                           "text/html");
    } else {
      response.set_content(ResultPage(2, 1), "text/html");
    }
  });
  auto job = AddSearchJob(Engine(server.Port(), "variables=v=1\n"));
  ASSERT_TRUE(RunToEnd(job));
  EXPECT_EQ(server.Targets(), (std::vector<std::string>{"/p1?q=blue+whale", "/p2?lang=en&v=1"}));
}

TEST_F(SearchJobTest, AStopDuringAFetchEndsTheJobAfterThatPageWithSuccess) {
  test::Gate gate;
  EngineServer server([&](const std::string&, httplib::Response& response) {
    gate.Wait();
    response.set_content(ResultPage(1, 2, "/p2"), "text/html");
  });
  auto job = AddSearchJob(Engine(server.Port()));
  FirstTick();
  ASSERT_TRUE(TickUntil([&] { return !server.Targets().empty(); }));
  manager().StopJob(*job, 0);
  gate.Open();
  ASSERT_TRUE(TickUntilDone(job));
  EXPECT_EQ(server.Targets().size(), 1u);
  EXPECT_EQ(job->result, kResultSuccess);
  EXPECT_EQ(HitAddresses().size(), 2u);  // the page was walked to its end
}

TEST_F(SearchJobTest, AFailedFetchEndsTheJobWithFailureAndKeepsTheHits) {
  EngineServer server([](const std::string& target, httplib::Response& response) {
    if (target.rfind("/p1", 0) == 0) {
      response.set_content(ResultPage(1, 2, "/p2"), "text/html");
    } else {
      response.set_redirect("ftp://127.0.0.1/elsewhere");  // a redirect the fetcher cannot take
    }
  });
  auto job = AddSearchJob(Engine(server.Port()));
  ASSERT_TRUE(RunToEnd(job));
  EXPECT_EQ(server.Targets().size(), 2u);
  EXPECT_EQ(job->result, kResultFailure);
  EXPECT_EQ(HitAddresses(), (std::vector<std::string>{"http://r.test/1", "http://r.test/2"}));
  EXPECT_EQ(m_search->EnginesFinished(), 1);
  EXPECT_EQ(m_rows.rows.back().status, "COMPLETE - Failure");
}

// An engine asked over https: its pages come over TLS, and the relative links on them (the
// next page, the results) resolve to https addresses on the same server.
TEST_F(SearchJobTest, AnHttpsEngineIsAskedOverTlsAndItsRelativeLinksStayHttps) {
  test::ScopedEnvironmentValue caFile("TULIX_CA_FILE",
                                      test::TestCertificates::Shared().CaFile().c_str());
  SecureEngineServer server(
      [](const std::string& target, httplib::Response& response) {
        const bool first = target.rfind("/p1", 0) == 0;
        std::string page = first ? "<a href=p2>Next</a>" : "";
        const std::string n = first ? "1" : "2";
        page += "<ul><li><a href=/r/" + n + ">Result number " + n + "</a> about whales</li>";
        page += "<li><a href=//other.test/x" + n + ">Elsewhere " + n + "</a> whales</li></ul>";
        response.set_content(page, "text/html");
      },
      test::TestCertificates::Shared().Good());
  auto job = AddSearchJob(Engine(server.Port(), "scheme=https\n"));
  ASSERT_TRUE(RunToEnd(job));
  EXPECT_EQ(job->result, kResultSuccess);
  EXPECT_EQ(server.Targets(), (std::vector<std::string>{"/p1?q=blue+whale", "/p2"}));
  const std::string root = "https://127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(HitAddresses(), (std::vector<std::string>{root + "/r/1", "https://other.test/x1",
                                                      root + "/r/2", "https://other.test/x2"}));
}

TEST_F(SearchJobTest, WaitsForAnUpgradeOfItsCategoryAndKnowsItsFamilySafety) {
  EngineServer server([](const std::string&, httplib::Response& response) {
    response.set_content(ResultPage(1, 1), "text/html");
  });
  auto job = AddSearchJob(Engine(server.Port()));
  auto other = std::make_shared<UpgradingJob>("news");
  auto upgrade = std::make_shared<UpgradingJob>("web");
  manager().AddJob(other);
  EXPECT_TRUE(job->IsRunnable());
  manager().AddJob(upgrade);
  EXPECT_FALSE(job->IsRunnable());
  EXPECT_EQ(job->GetTaskStatus(), "Blocked (unknown)");

  // The scheduler passes the search over while the upgrade is listed.
  FirstTick();
  Tick(3);
  EXPECT_TRUE(server.Targets().empty());
  manager().DeleteJob(manager().IndexOf(upgrade.get()));
  EXPECT_TRUE(job->IsRunnable());
  ASSERT_TRUE(TickUntilDone(job));
  EXPECT_EQ(server.Targets().size(), 1u);

  // Family safety: the engine's flag and the search category's.
  EXPECT_TRUE(job->IsFamilySafe());
  EngineDefinition& unsafe = Engine(server.Port(), "FamilySafe=0\n", "unsafe");
  EXPECT_FALSE(CSearchJob(unsafe, *m_search).IsFamilySafe());
  test::WriteFileBytes(ToFileSystemPath(JoinPath(GetCategoriesFolder(), "web.cat")),
                       "[main]\nFamilySafe=0\n");
  EngineDefinition& safe = Engine(server.Port(), "", "safe");
  EXPECT_FALSE(CSearchJob(safe, *m_search).IsFamilySafe());
}

TEST_F(SearchJobTest, EndlessPagesEndInBoundedTime) {
  // A body that never ends is cut at the page cap; one that stops coming ends at the idle
  // time-out.
  EngineServer server([](const std::string& target, httplib::Response& response) {
    const bool stalls = target.rfind("/p1?q=stall", 0) == 0;
    response.set_chunked_content_provider(
        "text/html", [stalls, sent = false](size_t, httplib::DataSink& sink) mutable {
          if (stalls && sent) {
            // Keeps the connection open without a byte more (paced, not to spin).
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return sink.is_writable();
          }
          sent = true;
          const std::string piece = ResultPage(1, 1) + std::string(4096, ' ');
          return sink.write(piece.data(), piece.size());
        });
  });
  GetSession().SetTimeouts(std::chrono::seconds(5), std::chrono::milliseconds(300));
  EngineDefinition& engine = Engine(server.Port());
  auto job = AddSearchJob(engine);
  const auto start = Clock::now();
  ASSERT_TRUE(RunToEnd(job));
  EXPECT_EQ(job->result, kResultSuccess);
  EXPECT_EQ(server.Targets().size(), 1u);

  m_search->settings.name = "stall";
  auto stalled = AddSearchJob(engine);
  ASSERT_TRUE(TickUntilDone(stalled));
  EXPECT_EQ(stalled->result, kResultFailure);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
}

// The whole road of an engine: published on the update server, downloaded into an empty
// program folder by the upgrade job, found in the category tree and asked by a search job.
TEST_F(SearchJobTest, AnEngineDownloadedFromTheUpdateServerAnswersASearch) {
  EngineServer engines([](const std::string& target, httplib::Response& response) {
    response.set_content(target.rfind("/p1", 0) == 0 ? ResultPage(1, 4, "/p2") : ResultPage(5, 3),
                         "text/html");
  });
  const std::string published = m_temp.File("published");
  std::filesystem::create_directories(published + "/web");
  test::WriteFileBytes(published + "/web.cat", "[main]\n");
  test::WriteFileBytes(published + "/web/loop.ini", EngineText(engines.Port()));
  // Stamps in the past: the server holds back files changed in the current second.
  for (const char* file : {"/web.cat", "/web/loop.ini"}) {
    const timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (published + file).c_str(), times, 0), 0);
  }
  test::ServerProcess updates({"--port", "0", published}, m_temp.File("server.log"));
  m_app->registry().SetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer",
                              "127.0.0.1:" + std::to_string(updates.Port()));
  m_app->categoryTree = ScanCategoryTree();  // nothing installed yet

  auto download = CUpgradeCategoryJob::MakeFullDownload();
  manager().AddJob(download);
  FirstTick();
  ASSERT_TRUE(TickUntil([&] { return download->result != kResultNotRun; }));
  ASSERT_EQ(download->result, kResultSuccess);

  auto* engine = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\loop"));
  ASSERT_NE(engine, nullptr);
  ASSERT_TRUE(engine->Load());
  auto search = AddSearchJob(*engine);
  ASSERT_TRUE(TickUntilDone(search));
  EXPECT_EQ(search->result, kResultSuccess);
  EXPECT_EQ(engines.Targets(), (std::vector<std::string>{"/p1?q=blue+whale", "/p2"}));
  const std::vector<std::string> found = HitAddresses();
  ASSERT_EQ(found.size(), 7u);
  EXPECT_EQ(found.front(), "http://r.test/1");
  EXPECT_EQ(found.back(), "http://r.test/7");
  EXPECT_EQ(m_search->EnginesFinished(), 1);
}

}  // namespace
}  // namespace tulix
