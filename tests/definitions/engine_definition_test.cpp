#include "definitions/engine_definition.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "categories_fixture.h"
#include "definitions/category.h"
#include "definitions/safe_name.h"
#include "jobs/job_test_support.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "test_support.h"

namespace tulix {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class EngineDefinitionTest : public test::CategoriesTest {
 protected:
  void SetUp() override {
    CategoriesTest::SetUp();
    std::filesystem::create_directories(ToFileSystemPath(Categories("web")));
  }

  EngineDefinition* Engine(const std::string& name, std::string_view text) {
    return WriteEngine(name, text);
  }
};

TEST_F(EngineDefinitionTest, MissingMainAndBadValuesGiveDefaults) {
  struct Case {
    const char* text;
  } cases[] = {
      {""},
      {"[other]\nx=1\n"},
      {"[main]\ncasepolicy=abc\npage=\nhrefindex=zz\n"},
      {"\x01\x02\xff\xfe binary \0 junk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EngineDefinition* engine = Engine("e", c.text);
    ASSERT_NE(engine, nullptr);
    auto data = engine->Data();
    EXPECT_EQ(data->trimLeadingNumbers, 1);
    EXPECT_EQ(data->checkDuplicates, 1);
    EXPECT_EQ(data->querySub, "%Q");
    EXPECT_EQ(data->resultSub, "%R");
    EXPECT_EQ(data->storedSub, "%S");
    EXPECT_EQ(data->pageSub, "%P");
    EXPECT_EQ(data->resultHref, "%R");
    EXPECT_EQ(data->order, 500);
    EXPECT_EQ(data->familySafe, 1);
    EXPECT_FALSE(data->hasHrefPattern());
    EXPECT_EQ(data->stateFilePath, data->filePath);
    RequestSpec r = engine->BuildFirstRequest(SearchQuery{"a", 0, 50, ""});
    EXPECT_EQ(r.port, 80);
    EXPECT_EQ(r.verb, 1);
    EXPECT_EQ(r.object, "");
  }
}

TEST_F(EngineDefinitionTest, HrefPatternCompilesOnceAndFindsFirstGroup) {
  EngineDefinition* engine = Engine("e", "[main]\nhref=<a href=\"([^\"]+)\">\n");
  auto data = engine->Data();
  ASSERT_TRUE(data->hasHrefPattern());
  std::string address;
  EXPECT_TRUE(data->hrefPattern->Find("x <a href=\"http://h/p\">t</a>", &address));
  EXPECT_EQ(address, "http://h/p");
  // Case-sensitive.
  EXPECT_FALSE(data->hrefPattern->Find("<A HREF=\"http://h/p\">", &address));
  // Only the first group is an address: without one, or when it took no part, the match
  // gives none.
  auto noGroup = Engine("nogroup", "[main]\nhref=http://[a-z/]+\n")->Data();
  EXPECT_TRUE(noGroup->hrefPattern->Find("see http://h/p", &address));
  EXPECT_EQ(address, "");
  auto optional = Engine("optional", "[main]\nhref=x(y)?z\n")->Data();
  EXPECT_TRUE(optional->hrefPattern->Find("axzb", &address));
  EXPECT_EQ(address, "");

  EngineDefinition* bad = Engine("bad", "[main]\nhref=([unclosed\n");
  EXPECT_FALSE(bad->Data()->hasHrefPattern());
  EXPECT_FALSE(HrefPattern("(").valid());
  EXPECT_FALSE(HrefPattern("(").Find("(", &address));
}

TEST_F(EngineDefinitionTest, FirstRequestTypeSectionsAndPlaceholders) {
  EngineDefinition* engine = Engine("e",
                                    "[main]\nhost=h.example\nport=8080\nverb=0\n"
                                    "object=/s?q=%Q&n=%R&p=%P&v=%S&pct=100%%\n"
                                    "extra=q=%Q\nreferer=r\nvariables=a=1\npage=3\n"
                                    "[EXACT]\nobject=/exact?q=%Q\n"
                                    "[ANY]\nhost=any.example\nport=70000\n");
  struct Case {
    int type;
    const char* host;
    int port;
    const char* object;
  } cases[] = {
      {kSearchAllWords, "h.example", 8080, "/s?q=blue+whale&n=20&p=3&v=&pct=100%"},
      {kSearchExactPhrase, "h.example", 8080, "/exact?q=blue+whale"},
      // A port beyond 16 bits is cut to 16.
      {kSearchAnyWords, "any.example", 70000 & 0xFFFF, "/s?q=blue+whale&n=20&p=3&v=&pct=100%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    RequestSpec r = engine->BuildFirstRequest(SearchQuery{"Blue Whale", c.type, 20, "web"});
    EXPECT_EQ(r.host, c.host);
    EXPECT_EQ(r.port, c.port);
    EXPECT_EQ(r.verb, 0);
    EXPECT_EQ(r.object, c.object);
    EXPECT_EQ(r.referer, "r");
    EXPECT_EQ(r.variables, "a=1");
    EXPECT_EQ(r.extra, "q=blue+whale");
    EXPECT_EQ(r.templateExtra, "q=%Q");
  }
  ScriptCounters runner{"stored", 7};
  EXPECT_EQ(engine->SubstitutePlaceholders("%S-%P-%Q", SearchQuery{"x", 0, 1, ""}, &runner),
            "stored-7-x");
}

TEST_F(EngineDefinitionTest, CustomTokensAndRsubReadTwice) {
  EngineDefinition* engine = Engine("e", "[main]\nqsub=$QUERY\nrsub=##\n");
  SearchQuery q{"w", 0, 9, ""};
  ScriptCounters runner{"st", 2};
  // %Q stays, the new token is replaced; rsub's token stands for the count (first pass), so
  // the stored-value pass finds nothing left.
  EXPECT_EQ(engine->SubstitutePlaceholders("%Q $QUERY ## %R %S", q, &runner), "%Q w 9 %R %S");
  // The replacement text is never searched again.
  EngineDefinition* self = Engine("s", "[main]\nqsub=Q\n");
  EXPECT_EQ(self->SubstitutePlaceholders("Q", SearchQuery{"QQ", 0, 1, ""}), "qq");
  EXPECT_EQ(self->SubstitutePlaceholders("Q", SearchQuery{"QQ", 2, 1, ""}), "qq");
}

TEST_F(EngineDefinitionTest, QueryTextCasePolicyAndKeywords) {
  struct Case {
    const char* file;
    const char* text;
    int type;
    const char* expected;
  } cases[] = {
      {"[main]\n", "Blue Whale", 0, "blue+whale"},
      {"[main]\ncasepolicy=1\n", "Blue Whale", 0, "BLUE+WHALE"},
      {"[main]\ncasepolicy=2\n", "Blue  Whale", 0, "Blue+Whale"},
      {"[main]\nkeywords=+mp3 -free\n", "free Music", 0, "mp3+music"},
      {"[main]\nkeywords=+mp3 -free\n", "MP3 free", 0, "mp3"},
      // An exact phrase is never changed by keywords.
      {"[main]\nkeywords=+mp3 -free\n", "free music", 2, "free+music"},
      {"[main]\n", "", 0, ""},
      // What the user typed reaches the engine as words, never as parts of the address.
      {"[main]\n", "C++ rock&n=999 #x 100% caf\xC3\xA9", 0,
       "c%2B%2B+rock%26n%3D999+%23x+100%25+caf%C3%A9"},
      {"[main]\ncasepolicy=2\n", "%Q \"Quoted\"", 2, "%25Q+Quoted"},  // the splitter drops quotes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + c.text);
    EngineDefinition* engine = Engine("e", c.file);
    EXPECT_EQ(engine->BuildQueryText(SearchQuery{c.text, c.type, 10, ""}), c.expected);
  }
  EXPECT_EQ(EngineDefinition::BuildPlainQueryText("  Big  Red Dog "), "Big+Red+Dog");
}

TEST_F(EngineDefinitionTest, UserValuesDomainsAndStatePath) {
  Write("web\\states.ini", "[START]\n1=TEXT|FINISHED|x||\n");
  EngineDefinition* engine =
      Engine("e", "[main]\nDomains=a.com; b.org\nOrder=40\nstatepath=web\\states.ini\n");
  auto data = engine->Data();
  EXPECT_EQ(data->DomainList(), (std::vector<std::string>{"a.com", "b.org"}));
  EXPECT_EQ(data->order, 40);
  EXPECT_EQ(data->stateFilePath, Categories("web\\states.ini"));
  ASSERT_EQ(engine->ReadStateLines("START").size(), 1u);

  engine->SetUserValues(0, 300, "c.net");
  ASSERT_TRUE(engine->SaveUserValues());
  engine->Load();
  EXPECT_EQ(engine->Data()->order, 300);
  EXPECT_EQ(engine->Data()->familySafe, 0);
  EXPECT_EQ(engine->Data()->domains, "c.net");
  EXPECT_TRUE(engine->IsUsable(false));
  EXPECT_FALSE(engine->IsUsable(true));

  // A state file that is not there: the engine still loads, with no lines.
  EngineDefinition* missing = Engine("m", "[main]\nstatepath=nowhere.ini\n");
  EXPECT_TRUE(missing->ReadStateLines("START").empty());
}

TEST_F(EngineDefinitionTest, StatePathOutsideTheCategoriesFolderIsRefused) {
  // A script beside the program folder that a hostile definition would like to have read.
  test::WriteFileBytes(ToFileSystemPath(JoinPath(m_home, "outside.ini")),
                       "[START]\n1=TEXT|FINISHED|x||\n");
  Write("web\\sub\\inside.ini", "[START]\n1=TEXT|FINISHED|x||\n");
  for (const char* bad :
       {"..\\outside.ini", "web\\..\\..\\outside.ini", "web/../../outside.ini",
        "web\\sub/..\\../../outside.ini", "/etc/passwd", "\\outside.ini", "c:\\outside.ini"}) {
    SCOPED_TRACE(bad);
    CaptureStderr();
    EngineDefinition* engine = Engine("e", std::string("[main]\nstatepath=") + bad + "\n");
    const std::string log = GetCapturedStderr();
    EXPECT_EQ(engine->Data()->stateFilePath, engine->Data()->filePath);
    EXPECT_TRUE(engine->ReadStateLines("START").empty());
    EXPECT_NE(log.find("Error: Engine " + engine->Data()->filePath + ": state file " + bad +
                       " leaves the categories folder"),
              std::string::npos)
        << log;
  }
  // Going down, and a name with dots in it, stay allowed.
  EngineDefinition* engine = Engine("e", "[main]\nstatepath=web/sub\\inside.ini\n");
  EXPECT_EQ(engine->ReadStateLines("START").size(), 1u);
}

TEST_F(EngineDefinitionTest, StateLinesStopAtGapAndKeepEscapedBars) {
  EngineDefinition* engine = Engine("e",
                                    "[main]\n[START]\n"
                                    "1=SEARCHTEXT|NEXT|a\\|b|SETHREF|\"x|y\"\n"
                                    "2=  TAG  | CONTINUE |td\n"
                                    "4=TEXT|FINISHED|never||\n"
                                    "[UNBALANCED]\n1=TEXT|\"open|rest\n");
  std::vector<ScriptLine> lines = engine->ReadStateLines("START");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].instruction, "SEARCHTEXT");
  EXPECT_EQ(lines[0].argument, "a|b");
  EXPECT_EQ(lines[0].action, "SETHREF");
  EXPECT_EQ(lines[0].actionArgument, "x|y");
  EXPECT_EQ(lines[1].instruction, "TAG");
  EXPECT_EQ(lines[1].nextState, "CONTINUE");
  EXPECT_EQ(lines[1].argument, "td");
  EXPECT_EQ(lines[1].action, "");
  // Unbalanced quotes give some split, never a crash.
  EXPECT_EQ(engine->ReadStateLines("UNBALANCED").size(), 1u);
}

TEST_F(EngineDefinitionTest, HugeValuesAreCut) {
  std::string huge(20000, 'x');
  EngineDefinition* engine =
      Engine("e", "[main]\nname=" + huge + "\nhref=" + huge + "\nkeywords=" + huge + "\n");
  EXPECT_EQ(engine->Data()->name.size(), 9999u);
  EXPECT_EQ(engine->DisplayName().size(), 9999u);
}

TEST_F(EngineDefinitionTest, PriorityByCategoryAndKeywords) {
  std::filesystem::create_directories(ToFileSystemPath(Categories("shop")));
  Write("shop.cat", "[main]\nkeywords=buy:5:50\n");
  Write("shop\\s.ini", "[main]\nOrder=200\nkeywords=price:2:30\n");
  Write("web\\w.ini", "[main]\nOrder=100\n");
  m_app->categoryTree = ScanCategoryTree();
  auto* shop = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("shop\\s"));
  auto* web = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\w"));
  ASSERT_NE(shop, nullptr);
  ASSERT_NE(web, nullptr);
  struct Case {
    const char* category;
    const char* text;
    int shopPriority;
    int webPriority;
  } cases[] = {
      {"web", "cheap things", kEngineNotInSearch, 100},
      {"web", "buy Price", 200 - 50 - 30, 100},
      {"unknown", "buy", 150, 100},
      {"shop", "anything", 200, kEngineNotInSearch},
      // Category names are compared exactly: "SHOP" is no category, so the search is a web
      // search, which takes the shop engine only for its keyword.
      {"SHOP", "buy", 150, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.category) + "/" + c.text);
    SearchQuery q{c.text, 0, 10, c.category};
    shop->ComputePriority(q);
    web->ComputePriority(q);
    EXPECT_EQ(shop->priority(), c.shopPriority);
    EXPECT_EQ(web->priority(), c.webPriority);
  }
}

TEST_F(EngineDefinitionTest, InstallUpdateDeleteAndRefuseUnsafeNames) {
  m_app->categoryTree = ScanCategoryTree();
  ASSERT_TRUE(InstallEngineDefinition("web\\new.ini", "[main]\nname=New\n"));
  auto* engine = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\new"));
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->DisplayName(), "New");

  ASSERT_TRUE(InstallEngineDefinition("web\\new.ini", "[main]\nname=Newer\n"));
  EXPECT_EQ(engine->DisplayName(), "Newer");

  // Text without [main] is ignored.
  EXPECT_FALSE(InstallEngineDefinition("web\\new.ini", "garbage"));
  EXPECT_FALSE(InstallEngineDefinition("web\\new.ini", ""));
  EXPECT_EQ(engine->DisplayName(), "Newer");

  // Delete wins over [main].
  EXPECT_TRUE(InstallEngineDefinition("web\\new.ini", "[main]\nTULIX_DELETE\n"));
  EXPECT_FALSE(FileExists(Categories("web\\new.ini")));
  EXPECT_TRUE(engine->disabled());
  EXPECT_FALSE(engine->IsUsable(false));

  // A new engine in a new category creates the category.
  ASSERT_TRUE(InstallEngineDefinition("music\\tunes.ini", "[main]\n"));
  EXPECT_NE(dynamic_cast<CategoryNode*>(m_app->categoryTree->Find("music")), nullptr);
  EXPECT_NE(dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("music\\tunes")), nullptr);

  for (const char* bad : {"..\\evil.ini", "web\\..\\..\\evil.ini", "/etc/evil.ini", "\\evil.ini",
                          "c:evil.ini", "web/../../evil.ini", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(IsSafeRelativePath(bad));
    EXPECT_FALSE(InstallEngineDefinition(bad, "[main]\n"));
  }
  EXPECT_FALSE(FileExists(JoinPath(m_home, "evil.ini")));
  EXPECT_TRUE(IsSafeRelativePath("web\\a..b.ini"));
}

// The update must learn that an engine it deleted is still there.
TEST_F(EngineDefinitionTest, DeleteThatCannotRemoveTheFileFailsAndSaysSo) {
  test::LogRecorder log;
  SetLogUserInterface(&log);
  EngineDefinition* engine = Engine("stuck", "[main]\n");
  const std::string path = Categories("web\\stuck.ini");
  // A folder in the file's place cannot be unlinked, not even by the superuser.
  std::filesystem::remove(ToFileSystemPath(path));
  std::filesystem::create_directories(ToFileSystemPath(path + "\\inside"));
  EXPECT_FALSE(InstallEngineDefinition("web\\stuck.ini", "TULIX_DELETE"));
  EXPECT_FALSE(engine->disabled());
  EXPECT_TRUE(log.Has("Error: Cannot delete " + path + ", engine not deleted"));
  EXPECT_EQ(log.Boxes().size(), 1u);
  EXPECT_FALSE(log.Has("Engine " + path + " deleted"));

  // A file that is not there is as deleted as it gets.
  EXPECT_TRUE(InstallEngineDefinition("web\\never.ini", "TULIX_DELETE"));
  EXPECT_TRUE(log.Has("Engine " + Categories("web\\never.ini") + " deleted"));
  SetLogUserInterface(nullptr);
}

TEST_F(EngineDefinitionTest, OpenHomePageRecordsAddress) {
  EngineDefinition* engine = Engine("e", "[main]\nhost=h.example\n");
  engine->OpenHomePage();
  EXPECT_EQ(LastBrowserAddress(), "http://h.example/");
  std::string launched;
  SetBrowserLauncher([&](const std::string& a) { launched = a; });
  EngineDefinition* home = Engine("h", "[main]\nhome=http://home.example/x\nhost=h\n");
  home->OpenHomePage();
  EXPECT_EQ(launched, "http://home.example/x");
  // Without a home, an engine asked over https is opened over https.
  Engine("s", "[main]\nscheme=https\nhost=s.example\n")->OpenHomePage();
  SetBrowserLauncher(nullptr);
  EXPECT_EQ(launched, "https://s.example/");
}

// Readers on several threads must always see a whole record, whichever install they meet.
TEST_F(EngineDefinitionTest, InstallWhileJobsReadSeesWholeEngines) {
  const std::string textA = "[main]\nname=Alpha\nhost=a.example\nhref=<a href=\"(A[^\"]*)\">\n";
  const std::string textB = "[main]\nname=Beta\nhost=b.example\nhref=<a href=\"(B[^\"]*)\">\n";
  EngineDefinition* engine = Engine("e", textA);
  ASSERT_NE(engine, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        auto data = engine->Data();
        std::string address;
        const bool alpha = data->name == "Alpha";
        const bool ok =
            data->hasHrefPattern() &&
            data->hrefPattern->Find(alpha ? "<a href=\"Ax\">" : "<a href=\"Bx\">", &address) &&
            data->host == (alpha ? "a.example" : "b.example") && address == (alpha ? "Ax" : "Bx");
        if (!ok) {
          ++torn;
        }
        ++reads;
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(InstallEngineDefinition("web\\e.ini", i % 2 == 0 ? textB : textA));
  }
  // Make sure the readers really overlapped with at least some installs.
  while (reads.load() < 100) {
    std::this_thread::yield();
  }
  stop.store(true);
  for (std::thread& t : readers) {
    t.join();
  }
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace tulix
