// Engine definitions for saved result pages of real search engines, walked over their pages the
// way a search job walks a fetched page. Each definition must give every organic result of its
// page, in page order, with its real address and title, and nothing else (no ads, navigation,
// related searches, pager or deep links). The results each page must give are listed next to
// the definition, one "address TAB title" a line, written down from the page itself. The
// bundled real engine set is walked over the same pages: its definitions are those written for
// the newest page of each engine, moved to https.
//
// Titles are compared as the text of the result's title anchor with the search-word
// highlighting taken out and the words separated by single spaces; entities stay as the page
// has them, because nothing on the way decodes text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/engine_definition.h"
#include "engine/page_scanner.h"
#include "engine/script_actions.h"
#include "engine/script_runner.h"
#include "engine/search_walk.h"
#include "platform/paths.h"
#include "test_support.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;

struct SavedPage {
  const char* name;   // the page, its definition and its expected list share this name
  const char* query;  // what was searched for when the page was saved
};

// Names the page in the test's failure messages.
void PrintTo(const SavedPage& page, std::ostream* out) {
  *out << page.name;
}

const SavedPage kSavedPages[] = {
    {"duckduckgo-1", "foo"},
    {"duckduckgo-2", "does caffeine affect sleep"},
    {"duckduckgo-3", "what happened"},
    {"bing-2", "bing"},
    {"google-1", "google"},
    {"mojeek-1", "javascript tutorial"},
    {"ask-1", "fellow"},
    {"yahoo-1", "snow"},
    {"yahoo-2", "javascript tutorial"},
    {"yandex-1", "game"},
    {"startpage-1", "javascript tutorial"},
    {"brave-1", "javascript tutorial"},
};

// A definition of the real engine set and the saved page it must read.
struct RealSetEngine {
  const char* definition;  // below the set's folder, without ".ini"
  const char* page;        // names the saved page and its expected list, as in kSavedPages
  const char* query;
};

void PrintTo(const RealSetEngine& engine, std::ostream* out) {
  *out << engine.definition;
}

// Each engine's newest page that has a definition. No organic address on these pages comes
// from a relative link (the targets are absolute, or absolute inside a redirect), so the
// expected lists hold for the https definitions as they are.
const RealSetEngine kRealSet[] = {
    {"web/duckduckgo", "duckduckgo-2", "does caffeine affect sleep"},
    {"web/mojeek", "mojeek-1", "javascript tutorial"},
    {"web/brave", "brave-1", "javascript tutorial"},
    {"web/startpage", "startpage-1", "javascript tutorial"},
    {"web/bing", "bing-2", "bing"},
    {"web/yahoo", "yahoo-2", "javascript tutorial"},
    {"web/google", "google-1", "google"},
    {"web/yandex", "yandex-1", "game"},
    {"web/ask", "ask-1", "fellow"},
};

std::string PagePath(const std::string& page) {
  return std::string(TULIX_FIXTURES_DIR) + "/serp/" + page + ".html";
}
std::string FixtureFolder() {
  return TULIX_ENGINE_FIXTURES_DIR;
}
std::string RealSetFolder() {
  return TULIX_REAL_ENGINE_SET_DIR;
}

void EraseAll(std::string& text, std::string_view what) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
}

// The title of a hit: the text of the first anchor of its text.
std::string TitleOf(std::string hitText) {
  EraseAll(hitText, "<r>");
  EraseAll(hitText, "</r>");
  PageScanner scanner(hitText);
  std::string title;
  bool inAnchor = false;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    if (token->tagId() == 1 && !inAnchor) {
      inAnchor = true;
    } else if (token->tagId() == 257 && inAnchor) {
      break;
    } else if (token->tagId() == 0 && inAnchor) {
      title += ' ';
      title += token->text();
    }
  }
  return test::SingleSpaced(title);
}

struct ExtractedHit {
  std::string line;  // address TAB title
  bool kept = false;
};

// Takes every hit; records the accepted ones and the ones the walk dropped, in walk order.
class RecordingSink : public HitSink {
 public:
  bool AcceptHit(const EngineHit&) override { return true; }
  void AddEngineHit(const EngineHit& hit) override { Record(hit, true); }
  void DroppedHit(const EngineHit& hit, const char*) override { Record(hit, false); }

  std::vector<ExtractedHit> hits;

 private:
  void Record(const EngineHit& hit, bool kept) {
    hits.push_back({hit.address + "\t" + TitleOf(hit.text), kept});
  }
};

std::vector<std::string> ExpectedLines(const std::string& name) {
  std::istringstream in(test::ReadFileBytes(FixtureFolder() + "/" + name + ".expected"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

bool IsPlainHttp(const std::string& line) {
  return line.rfind("http://", 0) == 0;
}

class RealPagesTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope = std::make_unique<ScopedApplication>(*m_app);
    fs::create_directories(ToFileSystemPath(GetCategoriesFolder()));
  }
  void TearDown() override {
    m_scope.reset();
    m_app.reset();
    TulixTest::TearDown();
  }

  // Installs the definition `name` of `folder` (its .ini file and its .states file, at the same
  // place below the categories folder as below `folder`, where the state file path is resolved)
  // and loads it.
  void LoadDefinition(EngineDefinition& engine, const std::string& folder,
                      const std::string& name) {
    for (const char* ext : {".ini", ".states"}) {
      const fs::path target = ToFileSystemPath(JoinPath(GetCategoriesFolder(), name + ext));
      fs::create_directories(target.parent_path());
      test::WriteFileBytes(target.string(), test::ReadFileBytes(folder + "/" + name + ext));
    }
    engine.SetFilePath(JoinPath(GetCategoriesFolder(), name + ".ini"));
    engine.Load();
  }

  // The first request the definition `definitionName` of `folder` builds for `query`.
  auto FirstRequest(const std::string& folder, const std::string& definitionName,
                    const std::string& query) {
    EngineDefinition engine;
    LoadDefinition(engine, folder, definitionName);
    SearchQuery search;
    search.text = query;
    return engine.BuildFirstRequest(search, nullptr);
  }

  // Walks `pageName` with the definition `definitionName` of `folder` as the page of its first
  // request.
  std::vector<ExtractedHit> Walk(const std::string& folder, const std::string& definitionName,
                                 const std::string& pageName, const std::string& query) {
    EngineDefinition engine;
    LoadDefinition(engine, folder, definitionName);
    SearchQuery search;
    search.text = query;
    search.perEngine = 1000;  // never stop the walk early
    RecordingSink sink;
    SearchWalk walk(engine, search, sink);
    ScriptRunner runner(engine);
    RequestSpec request = walk.BuildNextRequest(runner);
    walk.MarkFetched(request);
    walk.ProcessPage(runner, request, test::ReadFileBytes(PagePath(pageName)));
    return sink.hits;
  }
  std::vector<ExtractedHit> Walk(const std::string& definitionName, const std::string& pageName,
                                 const std::string& query) {
    return Walk(FixtureFolder(), definitionName, pageName, query);
  }

  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

class SavedPagesTest : public RealPagesTest, public testing::WithParamInterface<SavedPage> {};

TEST_P(SavedPagesTest, DefinitionGivesEveryOrganicResultAndNothingElse) {
  const SavedPage& page = GetParam();
  const std::vector<std::string> expected = ExpectedLines(page.name);
  ASSERT_FALSE(expected.empty());
  size_t keptOverHttps = 0;
  for (bool secureWeb : {true, false}) {
    SCOPED_TRACE(secureWeb ? "https on" : "https off");
    test::ScopedSecureWeb setting(secureWeb);
    std::vector<ExtractedHit> hits = Walk(page.name, page.name, page.query);
    std::vector<std::string> lines;
    for (const ExtractedHit& hit : hits) {
      lines.push_back(hit.line);
    }
    EXPECT_EQ(lines, expected);
    // With https on every organic result reaches the search; with it off only those with a
    // plain http address do, and the rest are dropped, not lost silently from the count of
    // what the script found.
    for (const ExtractedHit& hit : hits) {
      EXPECT_EQ(hit.kept, secureWeb || IsPlainHttp(hit.line)) << hit.line;
      keptOverHttps += secureWeb && hit.kept && !IsPlainHttp(hit.line) ? 1 : 0;
    }
  }
  // Today's pages are almost all https: the setting has to make the difference somewhere.
  if (std::none_of(expected.begin(), expected.end(), IsPlainHttp)) {
    EXPECT_EQ(keptOverHttps, expected.size());
  }
}

std::string PageTestName(const testing::TestParamInfo<SavedPage>& info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(SavedPages, SavedPagesTest, testing::ValuesIn(kSavedPages),
                         PageTestName);

class RealEngineSetTest : public RealPagesTest,
                          public testing::WithParamInterface<RealSetEngine> {};

// The bundled definition asks its engine over https on the default port, and with https on (as
// it is by default) it gives every organic result of its engine's page and keeps every one.
TEST_P(RealEngineSetTest, DefinitionAsksOverHttpsAndKeepsEveryOrganicResult) {
  const RealSetEngine& engine = GetParam();
  const std::vector<std::string> expected = ExpectedLines(engine.page);
  ASSERT_FALSE(expected.empty());
  test::ScopedSecureWeb setting(true);
  const auto request = FirstRequest(RealSetFolder(), engine.definition, engine.query);
  EXPECT_TRUE(request.secure);
  EXPECT_EQ(request.port, 443);
  std::vector<ExtractedHit> hits =
      Walk(RealSetFolder(), engine.definition, engine.page, engine.query);
  std::vector<std::string> lines;
  for (const ExtractedHit& hit : hits) {
    lines.push_back(hit.line);
    EXPECT_TRUE(hit.kept) << hit.line;
  }
  EXPECT_EQ(lines, expected);
}

std::string RealSetTestName(const testing::TestParamInfo<RealSetEngine>& info) {
  return fs::path(info.param.definition).filename().string();
}

INSTANTIATE_TEST_SUITE_P(Bundled, RealEngineSetTest, testing::ValuesIn(kRealSet),
                         RealSetTestName);

// A bot-challenge page in place of results, and result pages of other engines, give no hits:
// the definitions recognise their own engine's results, not any link-rich page.
TEST_F(RealPagesTest, DefinitionsFindNothingOnPagesThatAreNotTheirEngines) {
  EXPECT_TRUE(Walk("duckduckgo-1", "duckduckgo-4", "foo").empty());
  EXPECT_TRUE(Walk("duckduckgo-1", "bing-2", "bing").empty());
  EXPECT_TRUE(Walk("bing-2", "duckduckgo-1", "foo").empty());
  EXPECT_TRUE(Walk("google-1", "yahoo-1", "snow").empty());
  EXPECT_TRUE(Walk("yahoo-1", "mojeek-1", "javascript tutorial").empty());
}

}  // namespace
}  // namespace tulix
