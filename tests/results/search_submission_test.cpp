// Submitting saved searches: which engines are asked and in which order, when a search waits
// for an update check, how its jobs are counted and cancelled, and how searches are created
// and found again.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "definitions/category.h"
#include "engine/search_job.h"
#include "jobs/job_test_support.h"
#include "loopback_server.h"
#include "wire_server.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "results/result_filter.h"
#include "results/saved_search.h"
#include "update/upgrade_job.h"

namespace tulix {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Records what the search tells its view.
class ViewRecorder : public SearchViewHooks {
 public:
  void SearchSubmitted(SavedSearch&, SubmitOutcome outcome) override {
    outcomes.push_back(outcome);
  }
  void SearchCompleted(SavedSearch&, bool stored) override {
    ++completed;
    lastStored = stored;
  }
  void SearchFileDeleted(SavedSearch&) override { ++deleted; }
  bool EditSearchProperties(SearchSettings& copy) override {
    copy.name = editedName;
    return !editedName.empty();
  }
  std::vector<SubmitOutcome> outcomes;
  int completed = 0;
  bool lastStored = false;
  int deleted = 0;
  std::string editedName;
};

// One page of five results for any request.
std::string ResultPage(const std::string& tag) {
  std::string page = "<html><body><ul>";
  for (int i = 1; i <= 5; ++i) {
    const std::string n = std::to_string(i);
    page += "<li><a href=http://r.test/" + tag + n + ">Blue whale " + n + "</a></li>";
  }
  return page + "</ul></body></html>";
}

class SearchSubmissionTest : public test::JobSystemTest {
 protected:
  void SetUp() override {
    JobSystemTest::SetUp();
    m_server->Get(".*", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(ResultPage(request.path.substr(1)), "text/html");
    });
    m_server.Start();
    m_app->resultFilter = std::make_shared<ResultFilter>(*m_app);
    m_app->searchView = m_view;
    m_app->settings().UpdatePolicy = 1;  // tests that want an update check clear checkedThisRun
    MakeFolders(GetSearchesFolder());
    MakeFolders(GetCategoriesFolder());
    m_app->searchTree = ScanSavedSearches();
    UpgradeJobHooks hooks;
    hooks.resubmitSearch = [](const std::string& name) {
      if (SavedSearch* search = FindSearch(name)) {
        search->Submit(false);
      }
    };
    SetUpgradeJobHooks(std::move(hooks));
  }
  void TearDown() override {
    StopJobSystem(*m_app);
    SetUpgradeJobHooks({});
    m_app->searchView.reset();
    m_app->searchTree.reset();
    m_app->categoryTree.reset();
    m_oldTrees.clear();
    ClearProfileCache();
    JobSystemTest::TearDown();
  }

  // One web engine, and the web category's update check due. The update server is this test's
  // server, which knows no upgrade list: the check fails, and a search still runs afterwards.
  void StartWithDueUpdateCheck() {
    StartSystem(3);
    WriteCategoryFile("web", "");
    WriteEngine("web", "alpha");
    ScanCategories();
    m_app->registry().SetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer",
                                "127.0.0.1:" + std::to_string(m_server.Port()));
    FindCategoryByName("web")->checkedThisRun = 0;
  }

  void WriteCategoryFile(const std::string& name, const std::string& mainKeys) {
    test::WriteFileBytes(ToFileSystemPath(JoinPath(GetCategoriesFolder(), name + ".cat")),
                         "[main]\n" + mainKeys);
  }
  // An engine of `category` on the test server; its pages list five results under /<name>.
  void WriteEngine(const std::string& category, const std::string& name,
                   const std::string& mainKeys = "") {
    const std::string folder = ToFileSystemPath(JoinPath(GetCategoriesFolder(), category));
    std::filesystem::create_directories(folder);
    test::WriteFileBytes(folder + "/" + name + ".ini",
                         "[main]\nname=" + name + "\nhost=127.0.0.1\nport=" +
                             std::to_string(m_server.Port()) + "\nobject=/" + name +
                             "?q=%Q\n" + mainKeys +
                             "[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
                             "[RESULT]\n1=TAG|START|/li|SENDRESULT|\n");
  }
  void ScanCategories() {
    // Jobs made earlier keep using the engines of the tree they were made from.
    if (m_app->categoryTree) {
      m_oldTrees.push_back(std::move(m_app->categoryTree));
    }
    m_app->categoryTree = ScanCategoryTree();
    // Loaded categories count as checked in this run, so no search waits for an update.
    for (TreeNode* node : Tree::Collect(m_app->categoryTree->root(), true, true)) {
      if (auto* category = dynamic_cast<CategoryNode*>(node)) {
        category->checkedThisRun = 1;
      }
    }
  }

  SavedSearch* NewSearch(const std::string& words, const std::string& category = "web",
                         int engineCount = -1) {
    SearchSettings settings;
    settings.name = words;
    settings.category = category;
    settings.engineCount = engineCount;
    return SavedSearch::CreateSearch(settings);
  }

  // The engines of the search jobs in the job list, in list order.
  std::vector<std::string> QueuedEngines() {
    std::vector<std::string> names;
    for (size_t i = 0; i < manager().JobCount(); ++i) {
      if (auto* job = dynamic_cast<CSearchJob*>(manager().JobAt(i).get())) {
        names.push_back(job->Engine().Data()->name);
      }
    }
    return names;
  }

  // Ticks and runs the loop until `done`, within a deadline.
  bool TickUntil(const std::function<bool()>& done) {
    FirstTick();
    const auto deadline = SteadyClock::now() + std::chrono::seconds(20);
    while (SteadyClock::now() < deadline) {
      Tick();
      if (m_loop.RunUntil(done, std::chrono::milliseconds(20))) {
        return true;
      }
    }
    return false;
  }

  test::ScopedNoProxy m_noProxy;
  test::LoopbackServer m_server;
  std::vector<std::shared_ptr<Tree>> m_oldTrees;
  std::shared_ptr<ViewRecorder> m_view = std::make_shared<ViewRecorder>();
};

TEST_F(SearchSubmissionTest, NewSearchesAreNamedByTheirLocalTimeAndNeverShareAFile) {
  StartSystem(3);
  WriteCategoryFile("web", "EngineCount=4\nPerEngine=30\n");
  WriteEngine("web", "alpha");
  ScanCategories();
  // Another process already took the second after this one.
  const int64_t now = m_clock.Now();
  auto nameAt = [](int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    return std::string(text);
  };
  test::WriteFileBytes(ToFileSystemPath(JoinPath(GetSearchesFolder(), nameAt(now + 1) + ".ini")),
                       "[Main]\nName=theirs\n");

  SavedSearch* first = NewSearch("blue whale");
  SavedSearch* second = NewSearch("grey whale");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->name, nameAt(now));
  EXPECT_EQ(second->name, nameAt(now + 2));
  EXPECT_EQ(first->settings.engineCount, 4);  // -1 takes the category's values
  EXPECT_EQ(first->settings.perEngine, 30);
  EXPECT_EQ(test::ReadFileBytes(ToFileSystemPath(first->FilePath())),
            "[Main]\r\nName=blue whale\r\nCategory=web\r\nType=0\r\nShopping=50\r\n"
            "EngineCount=4\r\nPerEngine=30\r\n[ResultSummary]\r\nFound=0\r\n");

  // Found again by words, type and category; a different type makes another search.
  SearchSettings same = first->settings;
  EXPECT_EQ(FindOrCreateSearch(same), first);
  same.type = kSearchExactPhrase;
  SavedSearch* exact = FindOrCreateSearch(same);
  EXPECT_NE(exact, first);
  EXPECT_EQ(FindSearch(second->name), second);
  EXPECT_EQ(FindSearch("20010101000000"), nullptr);

  // A file without a Main section reads as "_empty_"; the scan makes saved searches.
  test::WriteFileBytes(ToFileSystemPath(JoinPath(GetSearchesFolder(), "20000101000000.ini")),
                       "[ResultSummary]\nFound=3\n");
  m_app->searchTree = ScanSavedSearches();
  SavedSearch* bare = FindSearch("20000101000000");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->settings.name, "_empty_");
  EXPECT_EQ(bare->Title(), "_empty_ (3 results)");
}

TEST_F(SearchSubmissionTest, WebSearchAsksTheBestEnginesOfEverySuitableCategory) {
  StartSystem(3, false);
  WriteCategoryFile("web", "");
  WriteEngine("web", "alpha", "Order=300\n");
  WriteEngine("web", "beta", "Order=100\n");
  WriteEngine("web", "gamma", "Order=300\n");  // equal to alpha: keeps the order met
  WriteEngine("web", "delta", "Order=100000000\n");  // past even the engines kept out
  // The ocean engines join a search for whales; "kelp" has no keyword and is kept out.
  WriteCategoryFile("ocean", "keywords=whale:5:50\n");
  WriteEngine("ocean", "reef", "Order=200\n");
  WriteEngine("ocean", "kelp", "categorykeys=0\nOrder=1\n");
  WriteCategoryFile("space", "keywords=comet:5\n");
  WriteEngine("space", "orbit", "Order=1\n");
  ScanCategories();

  SavedSearch* search = NewSearch("blue whale", "web", 5);
  EXPECT_EQ(search->EngineCountWanted(), 5);
  EXPECT_EQ(search->Submit(true), SubmitOutcome::kStarted);
  // reef: 200 less its keyword level 50; alpha and gamma in tree order (the scan puts siblings
  // with an order in the reverse of the name order); kelp's 99999999 takes the fifth place and
  // is skipped, not replaced by delta.
  EXPECT_EQ(QueuedEngines(), (std::vector<std::string>{"beta", "reef", "gamma", "alpha"}));
  EXPECT_EQ(search->runningJobs, 4);
  EXPECT_EQ(m_view->outcomes, std::vector<SubmitOutcome>{SubmitOutcome::kStarted});
}

TEST_F(SearchSubmissionTest, CategorySearchAsksOnlyItsOwnUsableEngines) {
  StartSystem(3, false);
  WriteCategoryFile("ocean", "EngineCount=5\n");
  WriteEngine("ocean", "reef");
  // Sub-categories count, though their engines are not of the searched category and come last.
  WriteEngine("ocean\\deep", "trench", "Order=10\n");
  WriteEngine("ocean", "shop", "sitetype=1\n");        // a shop, kept out by a low slider
  WriteEngine("web", "alpha");
  ScanCategories();

  SavedSearch* search = NewSearch("whale", "ocean");
  {
    std::lock_guard lock(m_app->resultsLock);
    search->settings.shopping = 1;
  }
  EXPECT_EQ(search->Submit(true), SubmitOutcome::kStarted);
  EXPECT_EQ(QueuedEngines(), (std::vector<std::string>{"reef", "trench"}));

  // No usable engine: nothing starts and the stored results stay where they were.
  WriteCategoryFile("empty", "");
  WriteEngine("empty", "off", "sitetype=1\n");
  ScanCategories();
  SavedSearch* idle = NewSearch("whale", "empty");
  test::WriteFileBytes(ToFileSystemPath(idle->FilePath()),
                       "[Main]\nName=whale\nCategory=empty\n[results]\n1=0\n"
                       "[0]\nhref=http://kept.test/\nresult=<a href=http://kept.test/>k</a>\n");
  idle->LoadSettings();
  {
    std::lock_guard lock(m_app->resultsLock);
    idle->settings.shopping = 1;
  }
  const std::string before = test::ReadFileBytes(ToFileSystemPath(idle->FilePath()));
  EXPECT_EQ(idle->Submit(true), SubmitOutcome::kNoEngine);
  EXPECT_EQ(test::ReadFileBytes(ToFileSystemPath(idle->FilePath())), before);

  SavedSearch* lost = NewSearch("whale", "nowhere");
  EXPECT_EQ(lost->Submit(true), SubmitOutcome::kUnknownCategory);
  EXPECT_EQ(QueuedEngines().size(), 2u);
}

TEST_F(SearchSubmissionTest, SearchRunsToTheEndAndIsStoredOnce) {
  StartSystem(3);
  WriteEngine("web", "alpha");
  WriteEngine("web", "beta");
  ScanCategories();
  SavedSearch* search = NewSearch("blue whale", "web", 5);
  ASSERT_EQ(search->Submit(true), SubmitOutcome::kStarted);
  ASSERT_TRUE(TickUntil([&] { return m_view->completed == 1; }));
  EXPECT_TRUE(m_view->lastStored);
  EXPECT_EQ(search->runningJobs, 0);
  EXPECT_EQ(search->Found(), 10);

  // What the file holds is what was found, and the settings carry the new count.
  SavedSearch reread;
  reread.SetFilePath(search->FilePath());
  reread.LoadSettings();
  reread.LoadResults();
  EXPECT_EQ(reread.settings.found, 10);
  std::lock_guard lock(m_app->resultsLock);
  EXPECT_EQ(reread.current().size(), 10u);
  EXPECT_EQ(search->HighlightSearchWords("Cars and car-parts, whales and a Blue whale"),
            "Cars and car-parts, whales and a <r>Blue</r> <r>whale</r>");
}

TEST_F(SearchSubmissionTest, AFolderThatCannotBeWrittenStillRunsTheSearchAndSaysSo) {
  StartSystem(3);
  WriteEngine("web", "alpha");
  ScanCategories();
  // A file where the folder should be: no file can be made in it, not even by the superuser.
  std::filesystem::remove_all(ToFileSystemPath(GetSearchesFolder()));
  test::WriteFileBytes(ToFileSystemPath(GetSearchesFolder()), "");
  SavedSearch* search = NewSearch("blue whale", "web", 5);
  ASSERT_NE(search, nullptr);
  EXPECT_TRUE(m_log.Has("Error: Cannot create a search file in " + GetSearchesFolder()));
  ASSERT_EQ(search->Submit(true), SubmitOutcome::kStarted);
  ASSERT_TRUE(TickUntil([&] { return m_view->completed == 1; }));
  EXPECT_FALSE(m_view->lastStored);
  EXPECT_FALSE(search->LastRunStored());
  EXPECT_EQ(search->Found(), 5);
  EXPECT_TRUE(m_log.Has("Error: Could not store the search \"blue whale\" in " +
                        search->FilePath()));
}

TEST_F(SearchSubmissionTest, ADueUpdateCheckComesFirstThenTheSearchIsSubmittedAgain) {
  StartWithDueUpdateCheck();

  SavedSearch* search = NewSearch("blue whale", "web", 5);
  EXPECT_EQ(search->Submit(true), SubmitOutcome::kWaitingForUpdate);
  ASSERT_EQ(manager().JobCount(), 1u);
  auto upgrade = std::dynamic_pointer_cast<CUpgradeCategoryJob>(manager().JobAt(0));
  ASSERT_NE(upgrade, nullptr);
  EXPECT_TRUE(upgrade->UpgradesCategory("web"));
  EXPECT_TRUE(QueuedEngines().empty());

  ASSERT_TRUE(TickUntil([&] { return m_view->completed == 1; }));
  EXPECT_EQ(m_view->outcomes,
            (std::vector<SubmitOutcome>{SubmitOutcome::kWaitingForUpdate,
                                        SubmitOutcome::kStarted}));
  EXPECT_EQ(search->Found(), 5);
}

TEST_F(SearchSubmissionTest, ASearchDeletedDuringItsUpdateCheckIsNotSubmittedAgain) {
  StartWithDueUpdateCheck();

  SavedSearch* search = NewSearch("blue whale", "web", 5);
  ASSERT_EQ(search->Submit(true), SubmitOutcome::kWaitingForUpdate);
  auto upgrade = std::dynamic_pointer_cast<CUpgradeCategoryJob>(manager().JobAt(0));
  ASSERT_NE(upgrade, nullptr);
  // The user deletes the waiting search while the check runs; the search's memory is gone
  // when the job ends, and nothing may reach it.
  ASSERT_TRUE(Tree::Delete(search));
  ASSERT_TRUE(TickUntil([&] { return manager().JobCount() == 0; }));
  EXPECT_EQ(m_view->outcomes, (std::vector<SubmitOutcome>{SubmitOutcome::kWaitingForUpdate}));
  EXPECT_TRUE(QueuedEngines().empty());
}

TEST_F(SearchSubmissionTest, AnEngineThatNeverAnswersIsGivenUpAndTheSearchCompletes) {
  test::WireServer stalled([](const test::WireRequest&, size_t) {
    test::WireReply reply;
    reply.hang = true;
    return reply;
  });
  StartSystem(3);
  m_app->settings().EngineTimeout = 1;
  WriteEngine("web", "alpha");
  const std::string stalledFile =
      ToFileSystemPath(JoinPath(GetCategoriesFolder(), "web\\stalled.ini"));
  test::WriteFileBytes(stalledFile, "[main]\nname=stalled\nhost=127.0.0.1\nport=" +
                                        std::to_string(stalled.Port()) +
                                        "\nobject=/s?q=%Q\n[START]\n1=TAG|START|li||\n");
  ScanCategories();
  SavedSearch* search = NewSearch("blue whale", "web", 5);
  // Each run gives the stalled engine up after its time limit and completes with the other's
  // results; the third failure in a row sends it to rest.
  for (int run = 1; run <= 3; ++run) {
    ASSERT_EQ(search->Submit(true), SubmitOutcome::kStarted);
    ASSERT_TRUE(TickUntil([&] { return m_view->completed == run; }));
    EXPECT_EQ(search->Found(), 5);
    EXPECT_EQ(search->EnginesFinished(), 2);
    EXPECT_EQ(search->EnginesFailed(), 1);
    EXPECT_TRUE(search->RestingEngines().empty());
  }
  EXPECT_EQ(m_log.Count("Warning: stalled failed on its last 3 searches and is left out of "
                        "searches for 10 minutes"),
            1);
  ASSERT_EQ(search->Submit(true), SubmitOutcome::kStarted);
  EXPECT_EQ(search->RestingEngines(), std::vector<std::string>{"stalled"});
  EXPECT_EQ(search->runningJobs, 1);
  ASSERT_TRUE(TickUntil([&] { return m_view->completed == 4; }));
  // Ten minutes later it is asked again.
  m_clock.AdvanceSeconds(kFailedEngineRestSeconds);
  ASSERT_EQ(search->Submit(true), SubmitOutcome::kStarted);
  EXPECT_TRUE(search->RestingEngines().empty());
  EXPECT_EQ(search->runningJobs, 2);
  search->Cancel();
}

TEST_F(SearchSubmissionTest, CancelEndsTheSearchWhetherItsJobsRanOrNot) {
  StartSystem(1, false);  // no dispatcher: the jobs never get a worker
  WriteEngine("web", "alpha");
  WriteEngine("web", "beta");
  ScanCategories();
  SavedSearch* search = NewSearch("blue whale", "web", 5);
  ASSERT_EQ(search->Submit(true), SubmitOutcome::kStarted);
  ASSERT_EQ(manager().JobCount(), 2u);
  search->Cancel();
  EXPECT_EQ(manager().JobCount(), 0u);
  EXPECT_EQ(search->runningJobs, 0);
  EXPECT_EQ(m_view->completed, 1);
  // A job counted once stays counted: a late end of the same job changes nothing.
  search->Cancel();
  EXPECT_EQ(m_view->completed, 1);

  // Editing the properties takes the new words, stores them and submits again.
  m_view->editedName = "grey whale";
  EXPECT_TRUE(search->EditProperties());
  EXPECT_EQ(search->settings.name, "grey whale");
  EXPECT_EQ(GetPrivateProfileString("Main", "Name", "", search->FilePath()), "grey whale");
  EXPECT_EQ(manager().JobCount(), 2u);
  search->Cancel();

  EXPECT_TRUE(search->DeleteFile());
  EXPECT_FALSE(FileExists(search->FilePath()));
  EXPECT_EQ(m_view->deleted, 1);
}

}  // namespace
}  // namespace tulix
