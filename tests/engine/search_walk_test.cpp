#include "engine/search_walk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/categories_fixture.h"
#include "definitions/category.h"
#include "engine/page_fetcher.h"
#include "wire_server.h"

namespace tulix {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Keeps what a search would: the hits it accepted, and why others never reached it.
class RecordingSink : public HitSink {
 public:
  bool AcceptHit(const EngineHit& hit) override {
    ++asked;
    return !refuse || !refuse(hit);
  }
  void AddEngineHit(const EngineHit& hit) override { hits.push_back(hit); }
  void DroppedHit(const EngineHit& hit, const char* reason) override {
    dropped.push_back(hit.text + " | " + reason);
  }

  std::function<bool(const EngineHit&)> refuse;
  int asked = 0;
  std::vector<EngineHit> hits;
  std::vector<std::string> dropped;
};

// A script that makes one result of each li element.
constexpr char kListEngine[] =
    "[main]\n"
    "host=h.test\n"
    "object=/s?q=%Q&p=%P\n"
    "TrimLeadingNumbers=0\n"
    "[START]\n"
    "1=TAG|RESULT|li|STARTRESULT|\n"
    "[RESULT]\n"
    "1=TAG|START|/li|SENDRESULT|\n";

class SearchWalkTest : public test::CategoriesTest {
 protected:
  EngineDefinition& Engine(std::string_view text) {
    EngineDefinition* engine = WriteEngine("e", text);
    EXPECT_NE(engine, nullptr);
    engine->Load();
    return *engine;
  }

  SearchQuery m_search{"blue whale", kSearchAllWords, 10, ""};
  RecordingSink m_sink;
};

TEST_F(SearchWalkTest, HitsAreHandedOverInOrderUntilEnough) {
  EngineDefinition& engine = Engine(kListEngine);
  const char page[] =
      "<ul><li><a href=/r1>Result one</a> first</li>"
      "<li><a href=\"r2\">Result two</a> second</li>"
      "<li><a href=/r3>Result three</a> refused</li>"
      "<li>no link at all</li>"
      "<li><a href=/r4>Result four</a> fourth</li></ul>";
  m_sink.refuse = [](const EngineHit& hit) { return hit.address.find("r3") != std::string::npos; };
  CaptureStderr();
  {
    ScriptRunner runner(engine);
    SearchWalk walk(engine, m_search, m_sink);
    RequestSpec first = walk.BuildNextRequest(runner);
    walk.ProcessPage(runner, first, page);
    EXPECT_EQ(walk.AcceptedHits(), 3);
  }
  EXPECT_EQ(GetCapturedStderr(), "");
  ASSERT_EQ(m_sink.hits.size(), 3u);
  // Links are absolute against the page they were found on.
  EXPECT_EQ(m_sink.hits[0].address, "http://h.test/r1");
  EXPECT_EQ(m_sink.hits[1].address, "http://h.test/r2");
  EXPECT_EQ(m_sink.hits[2].address, "http://h.test/r4");
  EXPECT_NE(m_sink.hits[0].text.find("first"), std::string::npos);
  EXPECT_EQ(m_sink.hits[0].text.find("<li>"), std::string::npos);   // the opening token is not
  EXPECT_EQ(m_sink.hits[0].text.find("</li>"), std::string::npos);  // nor the closing one
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m_sink.hits[i].position, i + 1);
    EXPECT_EQ(m_sink.hits[i].percent, (10 - (i + 1)) * 10);
    EXPECT_EQ(m_sink.hits[i].engine, &engine);
    EXPECT_EQ(m_sink.hits[i].search, &m_search);
  }
  ASSERT_EQ(m_sink.dropped.size(), 1u);
  EXPECT_NE(m_sink.dropped[0].find("no link at all"), std::string::npos);
  EXPECT_NE(m_sink.dropped[0].find("| no http address"), std::string::npos);
  EXPECT_EQ(m_sink.asked, 4);  // the dropped hit never reached the filter

  // Two wanted: the walk ends with the second accepted hit and never looks at the third.
  RecordingSink few;
  SearchQuery two = m_search;
  two.perEngine = 2;
  ScriptRunner runner(engine);
  SearchWalk walk(engine, two, few);
  walk.ProcessPage(runner, walk.BuildNextRequest(runner), page);
  EXPECT_EQ(few.hits.size(), 2u);
  EXPECT_EQ(few.asked, 2);
  EXPECT_EQ(few.hits[1].percent, 0);
}

TEST_F(SearchWalkTest, PercentStaysInRangeWhenMoreHitsThanWanted) {
  // Both lines send the result on the first token, so the second comes past the number wanted
  // (and a search that wants none stops after that token).
  EngineDefinition& engine = Engine(
      "[main]\nhost=h.test\n"
      "[START]\n1=DO|CONTINUE||SENDRESULT|\n2=DO|START||SENDRESULT|\n");
  for (int wanted : {1, 0, -5}) {
    SCOPED_TRACE(wanted);
    RecordingSink sink;
    SearchQuery search = m_search;
    search.perEngine = wanted;
    ScriptRunner runner(engine);
    runner.SetCollectedText("<a href=http://h.test/r>Result</a>");
    SearchWalk walk(engine, search, sink);
    walk.ProcessPage(runner, walk.BuildNextRequest(runner), "<p>x<p>y");
    ASSERT_EQ(sink.hits.size(), 2u);
    EXPECT_EQ(sink.hits[0].percent, wanted == 1 ? 0 : 1);
    EXPECT_EQ(sink.hits[1].percent, 1);
    EXPECT_EQ(sink.hits[1].position, 2);
  }
}

TEST(SearchWalkValues, SettingAValueReplacesTheParameterOfThatName) {
  EXPECT_EQ(SetQueryValue("/s?a=1&b=2", "b", "3"), "/s?a=1&b=3");
  EXPECT_EQ(SetQueryValue("/s?b=2&a=1", "b", "3"), "/s?a=1&b=3");
  EXPECT_EQ(SetQueryValue("/s?B=2&bb=1", "b", "3"), "/s?B=2&bb=1&b=3");
  EXPECT_EQ(SetQueryValue("/s", "b", "3"), "/s?b=3");
  EXPECT_EQ(SetQueryValue("/s?", "b", "3"), "/s?b=3");
  EXPECT_EQ(SetQueryValue("/s?b=1", "b", ""), "/s?b=");
  EXPECT_EQ(SetQueryValue("/s?a=1&&b=2&", "c", "3"), "/s?a=1&b=2&c=3");

  RequestSpec get;
  get.object = "/find?q=x";
  get.extra = "untouched";
  SetRequestValue(get, "lang", "en");
  EXPECT_EQ(get.object, "/find?q=x&lang=en");
  EXPECT_EQ(get.extra, "untouched");

  // Form data has no "?": its whole text is the parameter list.
  RequestSpec post;
  post.verb = 0;
  post.object = "/find";
  post.extra = "q=x&lang=de";
  SetRequestValue(post, "lang", "en");
  EXPECT_EQ(post.extra, "q=x&lang=en");
  EXPECT_EQ(post.object, "/find");
  post.extra = "";
  SetRequestValue(post, "q", "y");
  EXPECT_EQ(post.extra, "q=y");
}

TEST_F(SearchWalkTest, QueuedRequestsGetSavedInputsVariablesAndPlaceholders) {
  EngineDefinition& engine = Engine(
      "[main]\nhost=h.test\nobject=/s?q=%Q&p=%P\nvariables=v=1&&=x&w\n"
      "[START]\n"
      "1=TAG|CONTINUE|input|SAVEINPUTVALUE|\n"
      "2=TEXT|-QUEUE|go||\n"
      "3=TEXT|CONTINUE|more|NEXTPAGE|10\n"
      "4=TEXT|START|more|REPEATREQUEST|\n"
      "5=TEXT|START|after|GETLATER|\n"
      "[QUEUE]\n"
      "1=DO|START|/more?p=%P|GETLATER|\n");
  ScriptRunner runner(engine);
  SearchWalk walk(engine, m_search, m_sink);
  EXPECT_TRUE(walk.HasQueuedRequests());

  RequestSpec first = walk.BuildNextRequest(runner);
  EXPECT_EQ(first.object, "/s?q=blue+whale&p=1");  // the first request gets no variables
  EXPECT_EQ(first.templateObject, "/s?q=%Q&p=%P");
  walk.MarkFetched(first);
  EXPECT_FALSE(walk.HasQueuedRequests());
  walk.ProcessPage(runner, first, "<input name=lang value=en><input type=hidden value=x>go");
  ASSERT_EQ(walk.Queue().size(), 2u);

  RequestSpec more = walk.BuildNextRequest(runner);
  EXPECT_EQ(more.host, "h.test");
  EXPECT_EQ(more.verb, 1);
  // The page's saved input, then the variables; pieces without a name are left out.
  EXPECT_EQ(more.object, "/more?p=1&lang=en&v=1&w=");
  EXPECT_EQ(more.referer, "http://h.test/s?q=blue+whale&p=1");
  EXPECT_FALSE(walk.WasFetched(more));
  walk.MarkFetched(more);

  // NEXTPAGE then REPEATREQUEST: the first request again with the new page number, and the
  // rest of the page is skipped (no GETLATER for "after").
  walk.ProcessPage(runner, more, "more<p>after");
  EXPECT_EQ(runner.GetPageCounter(), 11);
  ASSERT_EQ(walk.Queue().size(), 3u);
  RequestSpec repeated = walk.BuildNextRequest(runner);
  EXPECT_EQ(repeated.object, "/s?q=blue+whale&p=11&v=1&w=");  // no saved inputs on that page
  EXPECT_FALSE(walk.HasQueuedRequests());
  EXPECT_EQ(walk.BuildNextRequest(runner).host, "");  // nothing left to take

  // Fetched means same host, object, port, extra and verb; the rest does not count.
  RequestSpec same = more;
  same.referer = "elsewhere";
  same.variables = "z=9";
  same.startState = "OTHER";
  EXPECT_TRUE(walk.WasFetched(same));
  for (auto change : std::vector<std::function<void(RequestSpec&)>>{
           [](RequestSpec& r) { r.port = 8080; }, [](RequestSpec& r) { r.verb = 0; },
           [](RequestSpec& r) { r.extra = "e"; }, [](RequestSpec& r) { r.host = "H.test"; },
           [](RequestSpec& r) { r.object += "&"; }}) {
    RequestSpec other = more;
    change(other);
    EXPECT_FALSE(walk.WasFetched(other));
  }
}

TEST_F(SearchWalkTest, PageActionsQueueTheRightRequestAndStopWhenTheyShould) {
  struct Case {
    std::vector<const char*> lines;  // of START, after one that counts the token "tail"
    const char* later;               // state L, entered by "-L"
    const char* page;                // walked at http://h.test/dir/page.htm
    int verb;                        // of the one queued request, -1 when none is queued
    const char* address;             // host[:port] + object of it
    const char* startState;          // of it
    bool stops;                      // "tail" is never reached
  } cases[] = {
      {{"TAG|START|a|SENDRESULTPAGETAG|NEXT"},
       "",
       "<a href=p2.htm>2</a> tail",
       1,
       "h.test/dir/p2.htm",
       "NEXT",
       false},
      // Form actions are not made absolute on the page; queueing resolves them.
      {{"TAG|START|form|SENDPOSTPAGETAG|"},
       "",
       "<form action=../post>x<p>tail</form>",
       0,
       "h.test/dir/../post",
       "",
       true},
      {{"TAG|START|form|SENDGETPAGETAG|"},
       "",
       "<form action=/get>tail</form>",
       1,
       "h.test/get",
       "",
       true},
      // An empty link is never queued by SENDRESULTPAGE or SENDRESULTPAGETAG.
      {{"TEXT|START||SENDRESULTPAGE|"}, "", "<p> <p>tail", -1, "", "", false},
      {{"TAG|START|p|SENDRESULTPAGETAG|"}, "", "<p>tail", -1, "", "", false},
      {{"TEXT|START|x|SENDRESULTPAGE|"}, "", "x<p>tail", 1, "h.test/dir/x", "", false},
      // SET stores its instruction's argument; GET fetches what was stored and stops.
      {{"TEXT|START|x|SET|", "TEXT|START|y|GET|"}, "", "x<p>y<p>tail", 1, "h.test/dir/x", "", true},
      {{"TEXT|-L|y||"},
       "1=DO|CONTINUE|http://other:81/o?x=1|SET|\n2=DO|START||GET|\n",
       "y<p>tail",
       1,
       "other:81/o?x=1",
       "",
       true},
      {{"TEXT|-L|x||"},
       "1=DO|START|/later?p=%P&n=%R|GETLATER|\n",
       "x<p>tail",
       1,
       "h.test/later?p=1&n=10",
       "",
       false},
      {{"TEXT|-L|x||"},
       "1=DO|START|form|POSTLATER|\n",
       "x<p>tail",
       0,
       "h.test/dir/form",
       "",
       false},
  };
  for (const Case& c : cases) {
    std::string file =
        "[main]\nhost=h.test\nobject=/s?q=%Q\n[START]\n1=TEXT|START|tail|NEXTPAGE|\n";
    int number = 2;
    for (const char* line : c.lines) {
      file += std::to_string(number++) + "=" + line + "\n";
    }
    file += std::string("[L]\n") + c.later;
    SCOPED_TRACE(file);
    EngineDefinition& engine = Engine(file);
    ScriptRunner runner(engine);
    SearchWalk walk(engine, m_search, m_sink);
    walk.BuildNextRequest(runner);
    RequestSpec page;
    page.host = "h.test";
    page.object = "/dir/page.htm";
    walk.ProcessPage(runner, page, c.page);
    EXPECT_EQ(runner.GetPageCounter(), c.stops ? 1 : 2);
    if (c.verb < 0) {
      EXPECT_EQ(walk.Queue().size(), 1u);
      continue;
    }
    ASSERT_EQ(walk.Queue().size(), 2u);
    const RequestSpec& queued = walk.Queue()[1];
    EXPECT_EQ(queued.verb, c.verb);
    std::string port = queued.port == 80 ? "" : ":" + std::to_string(queued.port);
    EXPECT_EQ(queued.host + port + queued.object, c.address);
    EXPECT_EQ(queued.startState, c.startState);
    EXPECT_EQ(queued.referer, "http://h.test/dir/page.htm");
    EXPECT_EQ(queued.templateObject, "/s?q=%Q");  // the rest is the first request's
  }

  // Without a host nothing resolves to an address, and a link that is no address is not
  // queued as a copy of the first request.
  EngineDefinition& hostless = Engine("[main]\nobject=/s\n[START]\n1=DO|START|n.htm|GETLATER|\n");
  ScriptRunner runner(hostless);
  SearchWalk walk(hostless, m_search, m_sink);
  RequestSpec first = walk.BuildNextRequest(runner);
  CaptureStderr();
  walk.ProcessPage(runner, first, "x");
  GetCapturedStderr();
  EXPECT_EQ(walk.Queue().size(), 1u);
}

TEST_F(SearchWalkTest, ResultsAndStatesCarryOverToTheNextPage) {
  EngineDefinition& engine = Engine(
      "[main]\nhost=h.test\nobject=/s\nTrimLeadingNumbers=0\n"
      "[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
      "[RESULT]\n"
      "1=TAG|START|/li|SENDRESULT|\n"
      "2=TEXT|CONTINUE|title end|MARKTITLEEND|\n"
      "3=TEXT|-ADD|extra||\n"
      "4=TEXT|RESULT|more|SENDRESULTPAGETAG|RESULT\n"
      "[ADD]\n1=DO|RESULT|, %R of them|ADDRESULT|\n");
  ScriptRunner runner(engine);
  SearchWalk walk(engine, m_search, m_sink);
  walk.ProcessPage(runner, walk.BuildNextRequest(runner),
                   "<li><a href=/r>The title</a>title end <a href=/p2>more</a>");
  EXPECT_TRUE(runner.IsCollecting());
  ASSERT_EQ(walk.Queue().size(), 2u);
  RequestSpec second = walk.BuildNextRequest(runner);
  EXPECT_EQ(second.startState, "RESULT");
  walk.ProcessPage(runner, second, "extra</li>");
  ASSERT_EQ(m_sink.hits.size(), 1u);
  const EngineHit& hit = m_sink.hits[0];
  EXPECT_EQ(hit.address, "http://h.test/r");
  // The title marker gives an anchor round the title; the text goes on across the pages.
  EXPECT_EQ(hit.text.rfind("<a href=http://h.test/r>", 0), 0u) << hit.text;
  EXPECT_NE(hit.text.find("extra"), std::string::npos) << hit.text;
  EXPECT_NE(hit.text.find(", 10 of them"), std::string::npos) << hit.text;
}

TEST_F(SearchWalkTest, SetHrefPutsAnAnchorBeforeTheCollectedText) {
  EngineDefinition& engine = Engine(
      "[main]\nhost=h.test\nresulthref=http://h.test/go?u=%R\n"
      "[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
      "[RESULT]\n1=SEARCHTEXT|CONTINUE|id=(.+)$|SETHREF|\n2=TAG|START|/li|SENDRESULT|\n");
  ScriptRunner runner(engine);
  SearchWalk walk(engine, m_search, m_sink);
  walk.ProcessPage(runner, walk.BuildNextRequest(runner), "<li>Some text id=a b</li>");
  ASSERT_EQ(m_sink.hits.size(), 1u);
  EXPECT_EQ(m_sink.hits[0].address, "http://h.test/go?u=a+b");
}

TEST_F(SearchWalkTest, HostileScriptsNeverHangAWalk) {
  struct Case {
    const char* main;  // more of [main]
    const char* sections;
    bool loops;  // stopped by the guard
  } cases[] = {
      {"", "[START]\n1=DO|START||REWINDONE|\n", true},
      {"", "[START]\n1=DO|-B||\n[B]\n1=DO|-START||\n", true},
      {"", "[START]\n1=DO|-START||\n", true},
      {"", "[START]\n1=TAG|--START|p||\n", true},
      {"", "[START]\n1=SEARCHTEXT|-START|x*|STARTRESULT|\n", true},
      {"", "[START]\n1=TAG|-MISSING|p||\n", false},
      {"",
       "[START]\n1=DO|CONTINUE||NEXTPAGE|next\n2=DO|CONTINUE||NEXTPAGE|99999999999\n"
       "3=DO|START||NEXTPAGE|99999999999\n",
       false},
      // An honest script that looks at every token twice is left alone.
      {"", "[START]\n1=DO|-SECOND||\n[SECOND]\n1=DO|START||\n", false},
      // Result addresses from anchors that are not there.
      {"hrefindex=0\n", "[START]\n1=TAG|R|li|STARTRESULT|\n[R]\n1=TAG|START|/li|SENDRESULT|\n",
       false},
      {"hrefindex=1000\n", "[START]\n1=TAG|R|li|STARTRESULT|\n[R]\n1=TAG|START|/li|SENDRESULT|\n",
       false},
  };
  const char page[] = "<p>one<li><a href=/x>link</a></li><p>two three<p>";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sections);
    EngineDefinition& engine =
        Engine(std::string("[main]\nhost=h.test\nobject=/s\n") + c.main + c.sections);
    RecordingSink sink;
    ScriptRunner runner(engine);
    SearchWalk walk(engine, m_search, sink);
    RequestSpec first = walk.BuildNextRequest(runner);
    CaptureStderr();
    walk.ProcessPage(runner, first, page);
    walk.ProcessPage(runner, first, page);  // a second page starts afresh
    std::string log = GetCapturedStderr();
    EXPECT_EQ(test::CountOf(log, "keeps returning"), c.loops ? 2u : 0u) << log;
    if (c.loops) {
      EXPECT_NE(log.find("Engine web\\e keeps returning to token"), std::string::npos) << log;
      EXPECT_NE(log.find(" in state "), std::string::npos) << log;
    }
    EXPECT_EQ(sink.hits.size(), 0u);
  }
}

// A link whose entities decode to a line end must not reach the wire: queued, it would be the
// referer of the next request and its rest a header line of its own.
TEST_F(SearchWalkTest, LinksWithLineEndsAreNeverQueued) {
  // A proxy from the machine's environment would take the loopback requests elsewhere.
  std::optional<std::string> proxy;
  if (const char* value = std::getenv("http_proxy")) {
    proxy = value;
  }
  unsetenv("http_proxy");

  test::WireServer server([](const test::WireRequest& request, size_t) {
    if (request.requestLine.starts_with("GET /s?")) {
      return test::HttpReply(200,
                             "<a href=\"/p&#13;&#10;X-Evil:&#32;1\">one</a>"
                             "<a href=/q&#10;X-Evil:2>two</a>"
                             "<a href='/r&#13;x'>three</a>"
                             "<a href=/ok>fine</a>");
    }
    if (request.requestLine.starts_with("GET /ok ")) {
      return test::HttpReply(200, "<a href=/ok2>more</a>");
    }
    return test::HttpReply(200, "<p>end");
  });
  EngineDefinition& engine =
      Engine("[main]\nhost=127.0.0.1\nport=" + std::to_string(server.Port()) +
             "\nobject=/s?q=%Q\n[START]\n1=TAG|START|a|SENDRESULTPAGETAG|\n");
  ScriptRunner runner(engine);
  SearchWalk walk(engine, m_search, m_sink);
  int pages = 0;
  for (int i = 0; i < 6; ++i) {
    RequestSpec request = walk.BuildNextRequest(runner);
    std::string page;
    ASSERT_EQ(FetchPage(nullptr, request, page, pages), kFetchOk);
    walk.ProcessPage(runner, request, page);
    if (!walk.HasQueuedRequests()) {
      break;
    }
  }
  if (proxy) {
    setenv("http_proxy", proxy->c_str(), 1);
  }

  // A bare line end ends an unquoted link where it stands; the rest never goes anywhere.
  ASSERT_EQ(walk.Queue().size(), 4u);
  EXPECT_EQ(walk.Queue()[1].object, "/q");
  EXPECT_EQ(walk.Queue()[2].object, "/ok");
  EXPECT_EQ(walk.Queue()[3].object, "/ok2");
  const std::string root = "http://127.0.0.1:" + std::to_string(server.Port());
  const std::vector<test::WireRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].requestLine, "GET /ok HTTP/1.1");
  EXPECT_EQ(requests[2].Header("Referer"), root + "/s?q=blue+whale");
  EXPECT_EQ(requests[3].Header("Referer"), root + "/ok");
  for (const test::WireRequest& request : requests) {
    EXPECT_EQ(request.raw.find("\nX-Evil"), std::string::npos) << request.raw;
  }
}

}  // namespace
}  // namespace tulix
