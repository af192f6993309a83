#include "definitions/category.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "categories_fixture.h"
#include "definitions/engine_definition.h"
#include "definitions/saved_search_node.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "test_support.h"

namespace tulix {
namespace {

class CategoryTest : public test::CategoriesTest {
 protected:
  void SetUp() override {
    CategoriesTest::SetUp();
    m_clockScope = std::make_unique<ScopedClock>(m_clock);
  }
  void TearDown() override {
    m_app->categoryTree.reset();
    m_clockScope.reset();
    CategoriesTest::TearDown();
  }

  static void Folder(const std::string& name) {
    std::filesystem::create_directories(ToFileSystemPath(Categories(name)));
  }
  CategoryNode* Scan(const std::string& path) {
    m_app->categoryTree = ScanCategoryTree();
    return dynamic_cast<CategoryNode*>(m_app->categoryTree->Find(path));
  }

  ManualClock m_clock;
  std::unique_ptr<ScopedClock> m_clockScope;
};

TEST_F(CategoryTest, LoadReadsFieldsAndDefaults) {
  struct Case {
    const char* text;
    int engineCount;  // effective
    int perEngine;    // effective
    int familySafe;
    const char* display;
  } cases[] = {
      {nullptr, 5, 50, 1, "c"},  // no file at all
      {"", 5, 50, 1, "c"},
      {"\x01\xff\xfe\0\x02 binary", 5, 50, 1, "c"},
      {"[main]\nEngineCount=0\nPerEngine=-3\n", 5, 50, 1, "c"},
      {"[main]\nEngineCount=7\nPerEngine=20\nFamilySafe=0\nname=Shown\n", 7, 20, 0, "Shown"},
      {"[main]\nEngineCount=lots\n", 5, 50, 1, "c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "none" : c.text);
    std::filesystem::remove(ToFileSystemPath(Categories("c.cat")));
    ClearProfileCache();
    Folder("c");
    if (c.text != nullptr) {
      Write("c.cat", c.text);
    }
    CategoryNode* node = Scan("c");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->EngineCount(), c.engineCount);
    EXPECT_EQ(node->PerEngine(), c.perEngine);
    EXPECT_EQ(node->familySafe, c.familySafe);
    EXPECT_EQ(node->DisplayName(), c.display);
  }
  m_app->settings().DefaultEngineCount = 9;
  EXPECT_EQ(Scan("c")->EngineCount(), 9);
}

TEST_F(CategoryTest, SetTimestampSavesOnlyLargerStamps) {
  Folder("c");
  Write("c.cat", "[main]\ntimestamp=100\nEngineCount=3\n");
  CategoryNode* node = Scan("c");
  node->SetTimestamp("100");
  EXPECT_EQ(node->timestamp, "100");
  EXPECT_FALSE(m_app->registry().ValueExists(FileSettingsKey(node->FilePath()), "EngineCount"));
  node->SetTimestamp("99.5");
  node->SetTimestamp("");
  node->SetTimestamp("junk");
  EXPECT_EQ(node->timestamp, "100");
  node->SetTimestamp("100.5");
  EXPECT_EQ(node->timestamp, "100.5");
  EXPECT_EQ(GetPrivateProfileString("main", "timestamp", "", node->FilePath()), "100.5");
  // Saving stores no value nobody changed: the file's count still rules.
  EXPECT_FALSE(m_app->registry().ValueExists(FileSettingsKey(node->FilePath()), "EngineCount"));
  EXPECT_EQ(node->EngineCount(), 3);

  // Stamps are numbers with a "." under any locale the desktop may have set.
  test::CommaDecimalLocale german;
  if (!german.active()) {
    GTEST_SKIP() << "no locale with a decimal comma installed (Debian: locales-all)";
  }
  node->SetTimestamp("100.75");
  node->SetTimestamp("100,9");
  EXPECT_EQ(node->timestamp, "100.75");
}

// A registry value wins over the file for good, so only a value the user or the program chose
// may go there; one merely read must keep following the file and the default settings.
TEST_F(CategoryTest, SaveStoresOnlyWhatChanged) {
  Folder("c");
  Write("c.cat", "[main]\nEngineCount=3\n");
  CategoryNode* node = Scan("c");
  const std::string key = FileSettingsKey(node->FilePath());
  RegistryStore& registry = m_app->registry();
  EXPECT_EQ(node->PerEngine(), 50);

  // The user changes the default count; a save before the category is read again stores
  // nothing of the old one.
  m_app->settings().DefaultResultCount = 20;
  node->SetTimestamp("1");
  for (const char* name : {"order", "EngineCount", "PerEngine", "FamilySafe", "DomainLimited"}) {
    EXPECT_FALSE(registry.ValueExists(key, name)) << name;
  }
  EXPECT_EQ(Scan("c")->PerEngine(), 20);

  // An update of [main] takes effect, through any number of saves.
  ASSERT_TRUE(InstallCategory("c.cat", "[main]\nEngineCount=4\norder=200\n", "2"));
  node = dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("c"));
  EXPECT_EQ(node->EngineCount(), 4);
  EXPECT_EQ(node->order, 200);

  // The user's own choice is stored and outlives later updates of the file.
  node->perEngine = 30;
  node->familySafe = 0;
  ASSERT_TRUE(node->Save());
  EXPECT_EQ(registry.GetDword(key, "PerEngine", 0), 30u);
  EXPECT_EQ(registry.GetDword(key, "FamilySafe", 1), 0u);
  EXPECT_FALSE(registry.ValueExists(key, "EngineCount"));
  ASSERT_TRUE(InstallCategory("c.cat", "[main]\nEngineCount=6\nPerEngine=40\n", "3"));
  EXPECT_EQ(node->PerEngine(), 30);
  EXPECT_EQ(node->EngineCount(), 6);
  EXPECT_EQ(node->familySafe, 0);

  // Set back to what the file says, or to the default, the value leaves the registry, and the
  // file rules again.
  node->perEngine = 40;
  node->familySafe = 1;
  ASSERT_TRUE(node->Save());
  EXPECT_FALSE(registry.ValueExists(key, "PerEngine"));
  EXPECT_FALSE(registry.ValueExists(key, "FamilySafe"));
  ASSERT_TRUE(InstallCategory("c.cat", "[main]\nPerEngine=45\n", "4"));
  EXPECT_EQ(node->PerEngine(), 45);

  // A value stored before (by an older version, say) is still read, and kept by later saves.
  registry.SetDword(key, "DomainLimited", 0);
  node = Scan("c");
  EXPECT_EQ(node->domainLimited, 0);
  node->SetTimestamp("5");
  EXPECT_EQ(registry.GetDword(key, "DomainLimited", 1), 0u);
}

// Nodes that arrive after the scan are placed by the order their files give them, not put in
// front because they were added before they could read it.
TEST_F(CategoryTest, InstalledNodesLandWhereTheirOrderSays) {
  Folder("a");
  Write("a.cat", "[main]\norder=100\n");
  Write("a\\x.ini", "[main]\nOrder=100\n");
  Write("m.cat", "[main]\norder=900\n");  // a category whose folder arrives later
  m_app->categoryTree = ScanCategoryTree();
  TreeNode* root = m_app->categoryTree->root();
  auto names = [](const TreeNode* parent) {
    std::vector<std::string> out;
    for (size_t i = 1; i < parent->children.size(); ++i) {
      out.push_back(parent->children[i]->name);
    }
    return out;
  };

  ASSERT_TRUE(InstallCategory("c.cat", "[main]\norder=300\n", "1"));
  ASSERT_TRUE(InstallCategory("b.cat", "[main]\norder=200\n", "1"));
  ASSERT_TRUE(InstallCategory("first.cat", "[main]\norder=50\n", "1"));
  // "m" is made on the way to its sub-category and reads m.cat as it is made.
  ASSERT_TRUE(InstallCategory("m\\sub.cat", "[main]\n", "1"));
  ASSERT_TRUE(InstallCategory("d.cat", "[main]\norder=300\n", "1"));
  EXPECT_EQ(names(root), (std::vector<std::string>{"first", "a", "b", "c", "d", "m"}));

  TreeNode* a = m_app->categoryTree->Find("a");
  ASSERT_TRUE(InstallEngineDefinition("a\\late.ini", "[main]\nOrder=700\n"));
  ASSERT_TRUE(InstallEngineDefinition("a\\early.ini", "[main]\nOrder=10\n"));
  ASSERT_TRUE(InstallEngineDefinition("a\\plain.ini", "[main]\n"));  // Order 500
  EXPECT_EQ(names(a), (std::vector<std::string>{"early", "x", "plain", "late"}));
  // An update of a known engine leaves it where it is.
  ASSERT_TRUE(InstallEngineDefinition("a\\late.ini", "[main]\nOrder=1\n"));
  EXPECT_EQ(names(a), (std::vector<std::string>{"early", "x", "plain", "late"}));
}

TEST_F(CategoryTest, UpdateChecksFollowPolicyAndTime) {
  Folder("c");
  CategoryNode* node = Scan("c");
  int started = 0;
  SetUpgradeJobStarter([&](CategoryNode&) {
    ++started;
    return true;
  });
  for (int policy : {0, 1}) {
    SCOPED_TRACE(policy);
    m_app->settings().UpdatePolicy = policy;
    node->checkedThisRun = 0;
    node->lastUpdateCheck = -1;
    EXPECT_TRUE(node->NeedsUpdateCheck());
    node->UpdateChecked();
    EXPECT_EQ(node->lastUpdateCheck, m_clock.Now());
    EXPECT_EQ(node->NeedsUpdateCheck(), policy == 0);
  }
  // The time of the check survives a reload, beyond 32 bits too.
  node->lastUpdateCheck = int64_t{5'000'000'000};
  ASSERT_TRUE(node->Save());
  node->lastUpdateCheck = 0;
  node->Load();
  EXPECT_EQ(node->lastUpdateCheck, int64_t{5'000'000'000});
  // A check stamped in the future (clock set back) is not due yet.
  m_app->settings().UpdatePolicy = 0;
  node->lastUpdateCheck = m_clock.Now() + 7200;
  EXPECT_FALSE(node->StartUpdateIfNeeded());
  node->lastUpdateCheck = m_clock.Now();
  EXPECT_TRUE(node->StartUpdateIfNeeded());
  EXPECT_EQ(started, 1);
  // Without a starter no job is started.
  SetUpgradeJobStarter(nullptr);
  EXPECT_FALSE(node->StartUpdateIfNeeded());
}

TEST_F(CategoryTest, CountsUsabilityAndKeywordScores) {
  Folder("web");
  Folder("kids\\toys");
  Write("kids.cat", "[main]\nFamilySafe=0\nkeywords=game toy:10:7\n");
  Write("web.cat", "[main]\nkeywords=news\n");
  Write("web\\a.ini", "[main]\n");
  Write("web\\b.ini", "[main]\nFamilySafe=0\n");
  Write("kids\\k.ini", "[main]\nkeywords=lego:3:2\n");
  Write("kids\\toys\\t.ini", "[main]\n");
  m_app->categoryTree = ScanCategoryTree();
  auto* web = dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("web"));
  auto* kids = dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("kids"));
  auto* toys = dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("kids\\toys"));
  ASSERT_TRUE(web && kids && toys);

  EXPECT_EQ(web->CountEngines(false), 4);
  EXPECT_EQ(kids->CountEngines(false), 1);
  EXPECT_EQ(kids->CountEngines(true), 4);
  m_app->FamilyMode = 1;
  EXPECT_EQ(web->CountEngines(false), 3);
  EXPECT_FALSE(kids->IsUsable(true));
  EXPECT_FALSE(toys->IsUsable(true));
  EXPECT_TRUE(web->IsUsable(true));
  m_app->FamilyMode = 0;
  EXPECT_TRUE(toys->IsUsable(false));

  // A saved search follows its category in family mode (the category is looked up by name;
  // one the tree does not know leaves the decision to the search's folder).
  for (const auto& [category, visibleInFamilyMode] :
       {std::pair<const char*, bool>{"toys", false}, {"web", true}, {"none", true}}) {
    SavedSearchNode search;
    search.category = category;
    EXPECT_EQ(search.IsUsable(true), visibleInFamilyMode) << category;
    EXPECT_TRUE(search.IsUsable(false)) << category;
  }

  struct Case {
    const char* text;
    int webScore;
    int kidsScore;
    int kidsLevel;
  } cases[] = {
      {"search", -100, -100, 100},
      {"news", 1000, 0, 0},
      {"Toy, LEGO-game", 0, 10 + 3 + 1000, 7 + 2 + 100},
      {"", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(web->KeywordScore(c.text), c.webScore);
    EXPECT_EQ(kids->KeywordScore(c.text), c.kidsScore);
    EXPECT_EQ(kids->KeywordLevel(c.text), c.kidsLevel);
  }
  EXPECT_EQ(kids->KeywordScore(std::string(100000, 'x')), 0);
}

TEST_F(CategoryTest, RenumberAndEngineOrder) {
  Folder("a");
  Folder("b");
  Write("a.cat", "[main]\norder=900\n");
  Write("b.cat", "[main]\norder=100\n");
  Write("a\\x.ini", "[main]\nOrder=50\n");
  Write("a\\y.ini", "[main]\nOrder=10\n");
  m_app->categoryTree = ScanCategoryTree();
  TreeNode* root = m_app->categoryTree->root();
  ASSERT_EQ(root->children.size(), 3u);
  auto* a = dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("a"));
  auto* b = dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("b"));
  EXPECT_EQ(a->order, 900);
  EXPECT_EQ(b->order, 100);

  // Renumbering follows the tree order, whatever the loaded values were, and saves them.
  const int aIndex = IndexOf(root, a);
  a->Renumber();
  EXPECT_EQ(a->order, aIndex * 100);
  EXPECT_EQ(b->order, (3 - aIndex) * 100);
  EXPECT_EQ(m_app->registry().GetDword(FileSettingsKey(a->FilePath()), "order", 0),
            static_cast<uint32_t>(aIndex * 100));
  ClearProfileCache();
  a->Load();
  EXPECT_EQ(a->order, aIndex * 100);

  // A node added later goes before the first sibling with a strictly greater order.
  auto late = std::make_unique<CategoryNode>();
  late->order = 150;
  TreeNode* added = AddChild(root, "late", std::move(late));
  EXPECT_EQ(IndexOf(root, added), 2);

  RenumberEngines(*a);
  std::vector<int> orders;
  for (size_t i = 1; i < a->children.size(); ++i) {
    orders.push_back(dynamic_cast<EngineDefinition*>(a->children[i].get())->Data()->order);
  }
  EXPECT_EQ(orders, (std::vector<int>{100, 200}));
}

TEST_F(CategoryTest, InstallersWriteRefuseAndNeverRun) {
  m_app->categoryTree = ScanCategoryTree();
  // Text without [main] is ignored.
  EXPECT_FALSE(InstallCategory("shop.cat", "nothing here", "5"));
  EXPECT_FALSE(FileExists(Categories("shop.cat")));

  ASSERT_TRUE(InstallCategory("shop\\deals.cat", "[main]\nEngineCount=4\n", "12"));
  auto* deals = dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("shop\\deals"));
  ASSERT_NE(deals, nullptr);
  EXPECT_NE(dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("shop")), nullptr);
  EXPECT_EQ(deals->EngineCount(), 4);
  EXPECT_EQ(deals->timestamp, "12");

  const std::string binary("\x00\x01\xff\r\n", 5);
  EXPECT_TRUE(InstallIcon("shop.ico", binary));
  EXPECT_EQ(test::ReadFileBytes(ToFileSystemPath(Categories("shop.ico"))), binary);
  EXPECT_TRUE(InstallFile("docs\\readme.txt", ""));
  EXPECT_TRUE(InstallFileQuietly("big.bin", std::string(1 << 20, 'z')));

  // The program is stored, and nothing ran it (it would have left a marker).
  const std::string marker = Categories("ran");
  ASSERT_TRUE(InstallAndRun("setup.sh", "#!/bin/sh\ntouch '" + ToFileSystemPath(marker) + "'\n"));
  EXPECT_TRUE(FileExists(Categories("setup.sh")));
  EXPECT_FALSE(FileExists(marker));

  for (const char* bad : {"..\\x.cat", "a\\..\\..\\x.cat", "/tmp/x.cat", "c:\\x.cat"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(InstallCategory(bad, "[main]\n", "1"));
    EXPECT_FALSE(InstallIcon(bad, "x"));
    EXPECT_FALSE(InstallFile(bad, "x"));
    EXPECT_FALSE(InstallFileQuietly(bad, "x"));
    EXPECT_FALSE(InstallAndRun(bad, "x"));
  }
  EXPECT_FALSE(FileExists(JoinPath(m_home, "x.cat")));
}

// The upgrade job installs on its worker while search workers build requests from the same
// category and the user-interface thread walks the tree. Every reader must see one whole install
// or the other; under ThreadSanitizer this also catches any access the tree's lock leaves out.
TEST_F(CategoryTest, InstallsRunBesideSearchesAndTreeWalks) {
  Write("web.cat", "[main]\nkeywords=+alpha\n");
  Write("web\\e.ini", "[main]\ncategorykeyset=extra\nhost=h\nobject=/s?q=%Q\n");
  m_app->categoryTree = ScanCategoryTree();
  auto* engine = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\e"));
  ASSERT_NE(engine, nullptr);
  SearchQuery query;
  query.text = "tools";
  query.category = "web";

  constexpr int kInstalls = 40;
  constexpr int kReaders = 3;
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::latch started(kReaders);
  auto searcher = [&] {
    bool first = true;
    while (!done.load()) {
      const std::string object = engine->BuildFirstRequest(query).object;
      if (object != "/s?q=alpha+tools" && object != "/s?q=beta+tools") {
        ++wrong;
      }
      engine->ComputePriority(query);
      if (std::exchange(first, false)) {
        started.count_down();
      }
    }
  };
  auto walker = [&] {
    bool first = true;
    while (!done.load()) {
      // "web" counts the engines of the whole tree: a walk of every folder.
      CategoryNode* web = FindCategoryByName("web");
      if (web == nullptr || web->CountEngines(false) < 1 || web->EngineCount() < 1 ||
          web->PerEngine() < 1 || !web->IsUsable(true) || web->DisplayName() != "web" ||
          web->KeywordScore("alpha beta") != 1000) {
        ++wrong;
      }
      web->NeedsUpdateCheck();
      IsUsableNow(engine);
      if (std::exchange(first, false)) {
        started.count_down();
      }
    }
  };
  std::vector<std::thread> readers;
  readers.emplace_back(searcher);
  readers.emplace_back(searcher);
  readers.emplace_back(walker);
  std::thread installer([&] {
    started.wait();
    for (int i = 0; i < kInstalls; ++i) {
      const std::string n = std::to_string(i);
      InstallCategory("web.cat",
                      i % 2 == 0 ? "[main]\nkeywords=+beta\n" : "[main]\nkeywords=+alpha\n", n);
      InstallCategory("web\\sub" + n + ".cat", "[main]\nname=Sub\n", "1");
      InstallEngineDefinition("web\\gen" + n + ".ini", "[main]\nname=Gen\n");
      InstallEngineDefinition("news" + n + "\\n.ini", "[main]\n");
      FindCategoryByName("web")->UpdateChecked();
    }
    done.store(true);
  });
  installer.join();
  for (std::thread& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_NE(m_app->categoryTree->Find("news39\\n"), nullptr);
  // "web" counts the engines of the whole tree.
  EXPECT_EQ(FindCategoryByName("web")->CountEngines(false), 1 + 2 * kInstalls);
}

}  // namespace
}  // namespace tulix
