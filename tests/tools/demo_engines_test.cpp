// tulix-demo-engines: its search and pages in process, the real program as a child process on
// 127.0.0.1, and the bundled engine set walked over the program's pages the way a search job
// walks them.
#include <httplib.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/application.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "demo_engine_set.h"
#include "engine/page_fetcher.h"
#include "engine/page_scanner.h"
#include "engine/script_actions.h"
#include "engine/script_runner.h"
#include "engine/search_walk.h"
#include "platform/paths.h"
#include "test_support.h"
#include "tools/demo_engines/corpus.h"
#include "tools/demo_engines/corpus_index.h"
#include "tools/demo_engines/engines.h"
#include "tools/demo_engines/pages.h"
#include "update_server_process.h"

namespace tulix {
namespace {

using demo::CorpusIndex;
using demo::DemoEngine;
using demo::Document;
using demo::EngineQuery;
using demo::MatchMode;
using Clock = std::chrono::steady_clock;

const CorpusIndex& BundledIndex() {
  static const CorpusIndex index = [] {
    auto documents = demo::LoadCorpus(TULIX_DEMO_CORPUS);
    return CorpusIndex(documents ? std::move(*documents) : std::vector<Document>{});
  }();
  return index;
}

std::vector<std::string> Addresses(const CorpusIndex& index, const std::vector<uint32_t>& docs) {
  std::vector<std::string> out;
  for (uint32_t doc : docs) {
    out.push_back(index.Documents()[doc].address);
  }
  return out;
}

std::vector<std::string> Found(const CorpusIndex& index, std::string_view words, MatchMode mode,
                               bool titlesOnly = false) {
  std::vector<uint32_t> docs;
  for (const demo::Match& match : index.Find(demo::SplitWords(words), mode, titlesOnly)) {
    docs.push_back(match.doc);
  }
  return Addresses(index, docs);
}

// A corpus small enough to know every answer: five documents about editors, and a run of
// numbered widgets to page through.
std::vector<Document> SmallCorpus() {
  std::vector<Document> documents = {
      {"http://alpha.test/", "Alpha Editor - a text editor", "Edits TEXT files quickly."},
      {"http://beta.test/", "Beta <Tools> & \"more\"", "Editor text, then text editing."},
      {"http://gamma.test/", "Gamma viewer", "Shows images.\nText Editor plug-in."},
      {"http://delta.test/", "Delta text", "An editor."},
      {"http://epsilon.test/", "Epsilon", "<script>alert(1)</script> viewer"},
  };
  for (int i = 1; i <= 23; ++i) {
    documents.push_back({"http://widget" + std::to_string(i) + ".test/",
                         "Widget " + std::to_string(i), "A widget numbered " + std::to_string(i)});
  }
  return documents;
}

std::string CorpusFileText(const std::vector<Document>& documents) {
  auto escape = [](const std::string& field) {
    std::string out;
    for (char c : field) {
      out += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return out;
  };
  std::string text;
  for (const Document& d : documents) {
    text += escape(d.address) + "\t" + escape(d.title) + "\t" + escape(d.text) + "\n";
  }
  return text;
}

TEST(DemoCorpus, ReadsEscapedFieldsAndTheBundledCorpus) {
  const std::vector<Document> parsed = demo::ParseCorpus(
      "http://a/\tA\\ttab\tline\\none\\\\two\\r\nbroken line\tonly two\n"
      "http://b/\tB\ttext\n");
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].title, "A\ttab");
  EXPECT_EQ(parsed[0].text, "line\none\\two\r");
  EXPECT_EQ(parsed[1].address, "http://b/");

  const std::vector<Document>& bundled = BundledIndex().Documents();
  EXPECT_GE(bundled.size(), 3000u);
  EXPECT_LE(bundled.size(), 5000u);
  std::set<std::string> addresses;
  for (const Document& d : bundled) {
    // The program keeps only http results, and one document per address.
    EXPECT_EQ(d.address.rfind("http://", 0), 0u) << d.address;
    EXPECT_TRUE(addresses.insert(d.address).second) << d.address;
    EXPECT_FALSE(d.title.empty() || d.text.empty()) << d.address;
  }
}

TEST(DemoIndex, MatchesAllAnyAndPhraseWithoutRegardToCase) {
  const CorpusIndex index(SmallCorpus());
  EXPECT_EQ(Found(index, "TEXT editor", MatchMode::kAllWords),
            (std::vector<std::string>{"http://alpha.test/", "http://beta.test/",
                                      "http://gamma.test/", "http://delta.test/"}));
  // "text editor" in that order, within the title or within the text: Beta has "editor text"
  // and Delta has the words in its title and text apart.
  EXPECT_EQ(Found(index, "Text Editor", MatchMode::kExactPhrase),
            (std::vector<std::string>{"http://alpha.test/", "http://gamma.test/"}));
  EXPECT_EQ(Found(index, "text editor", MatchMode::kExactPhrase, true),
            (std::vector<std::string>{"http://alpha.test/"}));
  EXPECT_EQ(Found(index, "viewer nosuchword", MatchMode::kAnyWords),
            (std::vector<std::string>{"http://gamma.test/", "http://epsilon.test/"}));
  EXPECT_TRUE(Found(index, "viewer nosuchword", MatchMode::kAllWords).empty());
  EXPECT_TRUE(Found(index, "", MatchMode::kAnyWords).empty());
  EXPECT_EQ(Found(index, "editor", MatchMode::kAllWords, true),
            (std::vector<std::string>{"http://alpha.test/"}));

  const std::vector<demo::Match> counted =
      index.Find(demo::SplitWords("text editor"), MatchMode::kAllWords, false);
  ASSERT_FALSE(counted.empty());
  EXPECT_EQ(counted[0].titleHits, 3u);  // Alpha: "Editor", "text", "editor"
  EXPECT_EQ(counted[0].textHits, 1u);
  EXPECT_EQ(counted[0].wordsFound, 2u);
}

TEST(DemoEngines, RankTheSameMatchesEachInItsOwnOrder) {
  const CorpusIndex& index = BundledIndex();
  EngineQuery query;
  query.text = "text editor";
  std::vector<std::vector<uint32_t>> rankings;
  for (const DemoEngine& engine : demo::AllEngines()) {
    rankings.push_back(demo::RankAll(engine, index, query));
  }
  ASSERT_GE(rankings[0].size(), 10u);
  std::vector<uint32_t> sorted = rankings[0];
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < rankings.size(); ++i) {
    std::vector<uint32_t> same = rankings[i];
    std::sort(same.begin(), same.end());
    EXPECT_EQ(same, sorted) << demo::AllEngines()[i].name;
    for (size_t j = 0; j < i; ++j) {
      const std::vector<uint32_t> top(rankings[i].begin(), rankings[i].begin() + 10);
      const std::vector<uint32_t> other(rankings[j].begin(), rankings[j].begin() + 10);
      EXPECT_NE(top, other) << demo::AllEngines()[i].name << " and " << demo::AllEngines()[j].name;
    }
  }
  // The engines' first results differ, so merging has something to do.
  std::set<uint32_t> firsts;
  for (const auto& ranking : rankings) {
    firsts.insert(ranking[0]);
  }
  EXPECT_GE(firsts.size(), 3u);
}

TEST(DemoPages, EscapeEveryTextAndLinkOnToTheNextPage) {
  const CorpusIndex index(SmallCorpus());
  for (const DemoEngine& engine : demo::AllEngines()) {
    EngineQuery query;
    query.text = "<b>viewer beta";
    query.mode = MatchMode::kAnyWords;
    query.perPage = 1;
    const demo::ResultPage page = demo::Search(engine, index, query);
    ASSERT_EQ(page.total, 3u);
    const std::string html = demo::RenderResultPage(engine, index, query, page);
    SCOPED_TRACE(engine.name);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_EQ(html.find("<b>viewer"), std::string::npos);
    EXPECT_EQ(html.find("<Tools>"), std::string::npos);
    EXPECT_NE(html.find("&lt;b&gt;viewer beta"), std::string::npos);
    // The next page, in whatever form the engine offers it.
    const std::string next = engine.style == demo::PageStyle::kPostedForm
                                 ? "name=\"page\" value=\"2\""
                                 : demo::HtmlEscape(demo::PageAddress(engine, query, 1));
    EXPECT_NE(html.find(next), std::string::npos) << html;
  }
  EngineQuery beta;
  beta.text = "beta";
  const DemoEngine& table = demo::AllEngines()[0];
  const std::string html =
      demo::RenderResultPage(table, index, beta, demo::Search(table, index, beta));
  EXPECT_NE(html.find(">Beta &lt;Tools&gt; &amp; &quot;more&quot;</a>"), std::string::npos);
  EXPECT_EQ(html.find("class=\"next\""), std::string::npos);  // one page only
}

// The program itself, on a port of its own.
class DemoEnginesProcessTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_corpus = m_temp.File("corpus.tsv");
    test::WriteFileBytes(m_corpus, CorpusFileText(SmallCorpus()));
  }

  std::unique_ptr<test::ServerProcess> Start(std::vector<std::string> options) {
    options.insert(options.end(), {"--port", "0", "--corpus", m_corpus});
    return std::make_unique<test::ServerProcess>(TULIX_DEMO_ENGINES_BINARY, options,
                                                 m_temp.File("server.log"));
  }

  std::string m_corpus;
};

httplib::Client ClientFor(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5);
  client.set_read_timeout(5);
  return client;
}

TEST_F(DemoEnginesProcessTest, PostedFormAndRedirectAnswerAsTheirDefinitionsExpect) {
  auto server = Start({});
  httplib::Client client = ClientFor(server->Port());

  auto get = client.Get("/postbox/results?q=widget");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 405);
  // Posted as the program posts: the form data ends with CR LF.
  auto posted = client.Post("/postbox/results", "q=widget&match=all&per=20&page=2\r\n",
                            "application/x-www-form-urlencoded");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 200);
  EXPECT_EQ(test::CountOf(posted->body, "<h3>"), 3u);  // 23 widgets, 20 a page
  EXPECT_NE(posted->body.find("Results 21 to 23 of 23"), std::string::npos);

  auto redirect = client.Get("/relay/search?s=%22text+editor%22&k=5");
  ASSERT_TRUE(redirect);
  EXPECT_EQ(redirect->status, 302);
  // The client library hands the Location over decoded.
  EXPECT_EQ(redirect->get_header_value("Location"),
            "http://127.0.0.1:" + std::to_string(server->Port()) +
                "/relay/results?s=\"text+editor\"&k=5");
  auto results = client.Get("/relay/results?s=%22text+editor%22&k=5");
  ASSERT_TRUE(results);
  // The phrase: Alpha and Gamma, after the featured link.
  EXPECT_EQ(test::CountOf(results->body, "<dt>"), 3u);
  EXPECT_NE(results->body.find("<dt><a href=\"http://alpha.test/\">"), std::string::npos);
  EXPECT_NE(results->body.find("<dt><a href=\"http://gamma.test/\">"), std::string::npos);

  EXPECT_EQ(client.Get("/nosuch/")->status, 404);
  EXPECT_EQ(server->StopWith(SIGINT), 0);
  const std::string log = test::ReadFileBytes(m_temp.File("server.log"));
  EXPECT_NE(log.find(" POST /postbox/results [q=widget&match=all&per=20&page=2\\x0d\\x0a] 200 "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" GET /relay/search?s=%22text"), std::string::npos) << log;
  EXPECT_NE(log.find("&k=5 302 0\n"), std::string::npos);
}

TEST_F(DemoEnginesProcessTest, FailingEnginesFailTheirWayAndAHangDoesNotHoldUpTheStop) {
  auto server = Start({"--fail", "tabula=error", "--fail", "listel=unavailable", "--fail",
                       "nidus=garbage", "--fail", "postbox=hang"});
  httplib::Client client = ClientFor(server->Port());
  EXPECT_EQ(client.Get("/tabula/search?q=widget")->status, 500);
  EXPECT_EQ(client.Get("/listel/find?words=widget")->status, 503);
  auto garbage = client.Get("/nidus/query?query=widget");
  ASSERT_TRUE(garbage);
  EXPECT_EQ(garbage->status, 200);
  EXPECT_GE(garbage->body.size(), 1000u);
  EXPECT_EQ(garbage->body.find('<'), std::string::npos);
  // The engine that works still works.
  EXPECT_EQ(client.Get("/relay/results?s=widget")->status, 200);

  httplib::Client patient("127.0.0.1", server->Port());
  patient.set_read_timeout(0, 300000);
  const auto asked = Clock::now();
  auto hung = patient.Post("/postbox/results", "q=widget\r\n", "application/x-www-form-urlencoded");
  EXPECT_FALSE(hung);
  EXPECT_GE(Clock::now() - asked, std::chrono::milliseconds(250));

  const auto stopping = Clock::now();
  EXPECT_EQ(server->StopWith(SIGTERM), 0);
  EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(5));
}

TEST_F(DemoEnginesProcessTest, LatencyDelaysEveryPageOrOneEnginesPages) {
  auto server = Start({"--latency", "300", "--latency", "tabula=0"});
  httplib::Client client = ClientFor(server->Port());
  auto timed = [&](const std::string& target) {
    const auto start = Clock::now();
    auto response = client.Get(target);
    EXPECT_TRUE(response && response->status == 200) << target;
    return Clock::now() - start;
  };
  EXPECT_GE(timed("/listel/find?words=widget"), std::chrono::milliseconds(300));
  EXPECT_GE(timed("/relay/results?s=widget"), std::chrono::milliseconds(300));
  EXPECT_LT(timed("/tabula/search?q=widget"), std::chrono::milliseconds(300));
}

// The bundled definitions walked over the real program's pages, fetched as a search job
// fetches them, against the same ranking computed in process.
struct DefinitionCase {
  const char* file;    // below the set's folder, without ".ini"
  const char* engine;  // the demo engine it asks
  bool titlesOnly;
};

const DefinitionCase kDefinitions[] = {
    {"web/tabula", "tabula", false},
    {"web/listel", "listel", false},
    {"web/nidus", "nidus", false},
    {"web/postbox", "postbox", false},
    {"web/relay", "relay", false},
    {"software/tabula-titles", "tabula", true},
    {"software/nidus-titles", "nidus", true},
};

void PrintTo(const DefinitionCase& definition, std::ostream* out) {
  *out << definition.file;
}

// The text of the hit's first anchor, without the search-word marks.
std::string TitleOf(std::string text) {
  for (std::string_view mark : {"<r>", "</r>"}) {
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
      text.erase(at, mark.size());
    }
  }
  PageScanner scanner(text);
  std::string title;
  bool inAnchor = false;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    if (token->tagId() == kTagA && !inAnchor) {
      inAnchor = true;
    } else if (token->tagId() == kTagA + kEndTagBit && inAnchor) {
      break;
    } else if (token->tagId() == kTextTokenId && inAnchor) {
      title += ' ';
      title += token->text();
    }
  }
  return test::SingleSpaced(title);
}

class HitList : public HitSink {
 public:
  bool AcceptHit(const EngineHit&) override { return true; }
  void AddEngineHit(const EngineHit& hit) override {
    lines.push_back(hit.address + "\t" + TitleOf(hit.text));
  }
  void DroppedHit(const EngineHit& hit, const char* reason) override {
    lines.push_back(std::string("dropped (") + reason + ") " + hit.address);
  }
  std::vector<std::string> lines;
};

class DemoDefinitionsTest : public test::LoopbackApplicationTest,
                            public testing::WithParamInterface<DefinitionCase> {
 protected:
  static void SetUpTestSuite() {
    s_temp = new test::TempFolder;
    s_server = new test::ServerProcess(TULIX_DEMO_ENGINES_BINARY,
                                       {"--port", "0", "--corpus", TULIX_DEMO_CORPUS},
                                       s_temp->File("server.log"));
  }
  static void TearDownTestSuite() {
    delete s_server;
    delete s_temp;
  }

  void SetUp() override {
    LoopbackApplicationTest::SetUp();
    test::CopyDemoEngineSet(TULIX_DEMO_ENGINE_SET_DIR, ToFileSystemPath(GetCategoriesFolder()),
                            s_server->Port());
  }

  // Walks the definition as a search job does: fetch, walk, next queued request, until the
  // search has enough or nothing is queued.
  std::vector<std::string> Walk(const SearchQuery& search, int* pages) {
    EngineDefinition engine;
    engine.SetFilePath(JoinPath(GetCategoriesFolder(), std::string(GetParam().file) + ".ini"));
    EXPECT_TRUE(engine.Load());
    HitList hits;
    SearchWalk walk(engine, search, hits);
    ScriptRunner runner(engine);
    do {
      RequestSpec request = walk.BuildNextRequest(runner);
      if (walk.WasFetched(request)) {
        continue;
      }
      walk.MarkFetched(request);
      std::string page;
      if (walk.Fetch(request, page) != kFetchOk) {
        ADD_FAILURE() << "fetch failed: " << PageAddressOf(request);
        break;
      }
      walk.ProcessPage(runner, request, page);
    } while (walk.HasQueuedRequests() && walk.AcceptedHits() < walk.DesiredResults());
    *pages = walk.PagesFetched();
    return hits.lines;
  }

  std::vector<std::string> Expected(const std::string& words, MatchMode mode, size_t count) {
    const CorpusIndex& index = BundledIndex();
    EngineQuery query;
    query.text = words;
    query.mode = mode;
    query.titlesOnly = GetParam().titlesOnly;
    std::vector<uint32_t> ranked =
        demo::RankAll(*demo::FindEngine(GetParam().engine), index, query);
    ranked.resize(std::min(ranked.size(), count));
    std::vector<std::string> lines;
    for (uint32_t doc : ranked) {
      const Document& d = index.Documents()[doc];
      lines.push_back(d.address + "\t" + test::SingleSpaced(demo::HtmlEscape(d.title)));
    }
    return lines;
  }

  static test::TempFolder* s_temp;
  static test::ServerProcess* s_server;
};

test::TempFolder* DemoDefinitionsTest::s_temp = nullptr;
test::ServerProcess* DemoDefinitionsTest::s_server = nullptr;

TEST_P(DemoDefinitionsTest, FindEveryResultOfTheirEngineInOrderAcrossAllPages) {
  struct Case {
    const char* words;
    int type;
    MatchMode mode;
    int perEngine;
  };
  const Case kCases[] = {
      {"Text Editor", kSearchAllWords, MatchMode::kAllWords, 1000},
      {"text editor", kSearchExactPhrase, MatchMode::kExactPhrase, 1000},
      // Hundreds match; the walk stops half way through the third page.
      {"editor viewer library", kSearchAnyWords, MatchMode::kAnyWords, 25},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.words);
    SearchQuery search;
    search.text = c.words;
    search.type = c.type;
    search.perEngine = c.perEngine;
    int pages = 0;
    const std::vector<std::string> found = Walk(search, &pages);
    const std::vector<std::string> expected =
        Expected(c.words, c.mode, static_cast<size_t>(c.perEngine));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(found, expected);
    // Ten a page; the last page offers no next one, so nothing more is fetched.
    EXPECT_EQ(pages, std::max<int>(1, (static_cast<int>(expected.size()) + 9) / 10));
  }
}

// The software engines join a web search only for their category's words; a search in the
// software category asks them alone.
TEST_F(DemoDefinitionsTest, SoftwareEnginesJoinWebSearchesForTheirWords) {
  m_app->categoryTree = ScanCategoryTree();
  auto engine = [&](const char* path) {
    auto* found = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find(path));
    EXPECT_NE(found, nullptr) << path;
    return found;
  };
  EngineDefinition* software = engine("software\\tabula-titles");
  EngineDefinition* web = engine("web\\relay");
  ASSERT_TRUE(software != nullptr && web != nullptr);
  struct Case {
    const char* category;
    const char* text;
    int softwarePriority;
    int webPriority;
  } cases[] = {
      {"web", "free software", 0, 500},
      {"web", "Text Editor", 0, 500},
      {"web", "image viewer", kEngineNotInSearch, 500},
      {"software", "image viewer", 100, kEngineNotInSearch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.category) + "/" + c.text);
    const SearchQuery query{c.text, kSearchAllWords, 20, c.category};
    software->ComputePriority(query);
    web->ComputePriority(query);
    EXPECT_EQ(software->priority(), c.softwarePriority);
    EXPECT_EQ(web->priority(), c.webPriority);
  }
}

std::string DefinitionName(const testing::TestParamInfo<DefinitionCase>& info) {
  std::string name = info.param.file;
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Bundled, DemoDefinitionsTest, testing::ValuesIn(kDefinitions),
                         DefinitionName);

// The set as the update server publishes it: every file with the manifest's stamp, whenever
// the files were checked out or copied, and the manifest itself not among them.
TEST(DemoEngineSet, PublishesWithTheManifestsStamps) {
  test::TempFolder temp;
  const std::string folder = temp.File("set");
  test::CopyDemoEngineSet(TULIX_DEMO_ENGINE_SET_DIR, folder, 4242);
  // The copy's own manifest is the one given, so it is not published with the set.
  test::ServerProcess server({"--port", "0", "--manifest", folder + "/manifest.txt", folder},
                             temp.File("server.log"));
  httplib::Client client = ClientFor(server.Port());
  auto list =
      client.Get("/tulix/getupgradelist.php?ctimestamp=&timestamp=&category=web&v=1.500&d=&a=1");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->body,
            "0\n"
            "|README.md|1765152000|\n"
            "|software.cat|1765152000|\n"
            "|web.cat|1765152000|\n"
            "software|nidus-titles.ini|1765152000|\n"
            "software|tabula-titles.ini|1765152000|\n"
            "web|listel.ini|1765152000|\n"
            "web|nidus.ini|1765152000|\n"
            "web|postbox.ini|1765152000|\n"
            "web|relay.ini|1765152000|\n"
            "web|tabula.ini|1765152000|\n");
  auto tabula = client.Get("/tulix/categories/web/tabula.ini");
  ASSERT_TRUE(tabula);
  EXPECT_NE(tabula->body.find("\nport=4242\n"), std::string::npos);
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
  EXPECT_EQ(test::ReadFileBytes(temp.File("server.log")).find("manifest line"), std::string::npos);
}

TEST(DemoEngineSet, PortRewriteTouchesOnlyTheDefaultPort) {
  EXPECT_EQ(test::WithDemoPort("home=http://127.0.0.1:8381/tabula/\r\nport=8381\r\n"
                               "object=/x?n=8381&p=1\nport=83810\n",
                               4242),
            "home=http://127.0.0.1:4242/tabula/\r\nport=4242\r\nobject=/x?n=8381&p=1\n"
            "port=83810\n");
}

}  // namespace
}  // namespace tulix
