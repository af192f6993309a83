#include "engine/script_runner.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include <climits>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/categories_fixture.h"
#include "definitions/category.h"
#include "engine/page_scanner.h"

namespace tulix {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// One token handed to the runner: where it was, the state it met, what it queued.
struct Visit {
  size_t index;
  std::string state;
  std::vector<ScriptAction> actions;
};

class ScriptRunnerTest : public test::CategoriesTest {
 protected:
  // Writes web\e.ini and returns the engine as the category tree holds it.
  EngineDefinition& Engine(std::string_view text) {
    EngineDefinition* engine = WriteEngine("e", text);
    EXPECT_NE(engine, nullptr);
    engine->Load();
    return *engine;
  }

  // Walks a page the way a search job does, minus the actions: each token stepped, rewinds
  // honoured through the scanner's cursor. Bounded, so a broken runner fails instead of hanging.
  static std::vector<Visit> Walk(ScriptRunner& runner, std::string_view page,
                                 const std::string& startState = "") {
    PageScanner scanner(page);
    runner.StartPage(scanner, startState);
    std::vector<Visit> visits;
    for (const PageToken* token = scanner.First(); token != nullptr && visits.size() < 500;
         token = scanner.Next()) {
      Visit visit{token->index(), runner.CurrentState(), {}};
      runner.Step(*token);
      visit.actions = runner.TakeActions();
      visits.push_back(std::move(visit));
      if (runner.IsFinished()) {
        break;
      }
    }
    runner.EndPage();
    return visits;
  }

  // The NEXTPAGE arguments queued on each token, joined by "," ("" when none): scripts below
  // use them as labels naming the instruction that matched.
  static std::vector<std::string> Labels(const std::vector<Visit>& visits) {
    std::vector<std::string> labels;
    for (const Visit& visit : visits) {
      std::string joined;
      for (const ScriptAction& action : visit.actions) {
        joined += (joined.empty() ? "" : ",") + action.argument;
      }
      labels.push_back(joined);
    }
    return labels;
  }
};

TEST_F(ScriptRunnerTest, ParsingKeepsBadLinesWithDefaults) {
  CaptureStderr();
  ScriptInstruction lower = ParseInstruction({"tag", "NEXT", "a", "STARTRESULT", ""});
  ScriptInstruction badAction = ParseInstruction({"TAG", "NEXT", "a", "SendResult", "x"});
  ScriptInstruction terminator = ParseInstruction({"LASTINSTRUCTION", "N", "", "LASTACTION", ""});
  ScriptInstruction noAction = ParseInstruction({"DO", "CONTINUE", "", "", ""});
  ScriptInstruction badPattern = ParseInstruction({"SEARCHTEXT", "N", "(open", "STORE", ""});
  ScriptInstruction emptyPattern = ParseInstruction({"SEARCHTEXT", "N", "", "STORE", ""});
  ScriptInstruction good = ParseInstruction({"SEARCHTEXT", "N", "a(b)c", "REPEATREQUEST", "y"});
  std::string log = GetCapturedStderr();

  EXPECT_EQ(lower.kind, kInstructionSearchText);
  EXPECT_EQ(lower.actionKind, kActionStartResult);
  EXPECT_NE(log.find("Error: Bad instruction tag"), std::string::npos) << log;
  EXPECT_EQ(badAction.kind, kInstructionTag);
  EXPECT_EQ(badAction.actionKind, kActionStartResult);
  EXPECT_NE(log.find("Error: Bad action SendResult"), std::string::npos) << log;
  EXPECT_NE(log.find("Bad instruction LASTINSTRUCTION"), std::string::npos) << log;
  EXPECT_NE(log.find("Bad action LASTACTION"), std::string::npos) << log;
  EXPECT_EQ(noAction.kind, kInstructionDo);
  EXPECT_EQ(noAction.actionKind, kActionNone);
  EXPECT_EQ(badPattern.pattern, nullptr);
  EXPECT_NE(log.find("Bad pattern (open"), std::string::npos) << log;
  EXPECT_EQ(emptyPattern.pattern, nullptr);
  ASSERT_NE(good.pattern, nullptr);
  EXPECT_EQ(good.actionKind, kActionRepeatRequest);
  EXPECT_EQ(good.nextState, "N");
  EXPECT_EQ(good.actionArgument, "y");
  EXPECT_EQ(test::CountOf(log, "Bad "), 5u) << log;
}

TEST_F(ScriptRunnerTest, EachInstructionKindMatchesItsTokens) {
  // Every line continues, so each token meets all of them; the label says which matched.
  EngineDefinition& engine = Engine(
      "[START]\n"
      "1=TAG|CONTINUE|tr|NEXTPAGE|tag-tr\n"
      "2=TAG|CONTINUE|/tr|NEXTPAGE|tag-/tr\n"
      "3=ENDTAG|CONTINUE|tr|NEXTPAGE|endtag-tr\n"
      "4=COLUMN|CONTINUE|2|NEXTPAGE|col-2\n"
      "5=COLUMN|CONTINUE|x|NEXTPAGE|col-x\n"
      "6=TEXT|CONTINUE||NEXTPAGE|text-empty\n"
      "7=TEXT|CONTINUE|Blue whale|NEXTPAGE|text-exact\n"
      "8=SEARCHTEXT|CONTINUE|Whale|NEXTPAGE|re-Whale\n"
      "9=SEARCHTEXT|CONTINUE|wh?ale$|NEXTPAGE|re-end\n"
      "10=SEARCHTEXT|CONTINUE||NEXTPAGE|re-empty\n"
      "11=TAG|CONTINUE|tbody|NEXTPAGE|unknown\n"
      "12=DO|CONTINUE||NEXTPAGE|do\n");
  ScriptRunner runner(engine);
  std::vector<Visit> visits = Walk(runner,
                                   "<tr class=x><td>Blue whale</td><td>the Whale song</td></TR>"
                                   "<tr><td>a</td>  <td>b</td></tr class=x><tbody><foo bar>");
  std::vector<std::string> expected = {
      "tag-tr,do",             // <tr class=x>
      "do",                    // <td>
      "text-exact,re-end,do",  // Blue whale
      "do",                    // </td>
      "col-2,do",              // second <td>
      "re-Whale,do",           // the Whale song
      "do",                    // </td>
      "tag-/tr,endtag-tr,do",  // </TR>
      "tag-tr,do",             // <tr>
      "do",                    // <td>
      "do",                    // a
      "do",                    // </td>
      "text-empty,do",         // blanks: a child of the row
      "do",                    // <td> in column 3, not 2
      "do",                    // b
      "do",                    // </td>
      "tag-/tr,do",            // </tr class=x>: not a whole-text end tag
      "unknown,do",            // <tbody>
      "unknown,do",            // <foo bar>
  };
  EXPECT_EQ(Labels(visits), expected);
  // All of them stayed in START.
  for (const Visit& visit : visits) {
    EXPECT_EQ(visit.state, "START");
  }
}

TEST_F(ScriptRunnerTest, SearchTextFindsPatternsAnywhereWithPerlRules) {
  struct Case {
    const char* pattern;  // as written in the file: backslashes doubled for the line splitter
    const char* matches;
    const char* misses;
  } cases[] = {
      {"ab?c", "xacx", "abbc"},
      {"colou?r", "my color", "colouur"},
      {"a{0}bc", "bc", "b c"},
      {"[]x]yz", "]yz", "ayz"},
      {"(ab)+cd", "ababcd", "acd"},
      {"x\\\\.y", "x.y", "xzy"},
      {"^Next page$", "Next page", "Next pages"},
      {"a*bc", "bc", "ac"},
      {"ab\\|cd", "cd", "ac"},  // the bar escaped for the line splitter
      {"[0-9]+ results? for", "12 result for", "results for"},
      {"(?i)whale", "WHALE", "wale"},
      // A class holding a POSIX class, and escapes that take digits after them.
      {"[[:digit:]]", "4 votes", "no votes"},
      {"[[:digit:]] votes", "4 votes", "four votes"},
      {"\\\\x41BC", "ABC", "x41BC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EngineDefinition& engine =
        Engine(std::string("[START]\n1=SEARCHTEXT|START|") + c.pattern + "|NEXTPAGE|hit\n");
    ScriptRunner runner(engine);
    std::vector<Visit> visits = Walk(runner, std::string(c.matches) + "<p>" + c.misses);
    EXPECT_EQ(Labels(visits), (std::vector<std::string>{"hit", "", ""}));
  }
}

TEST_F(ScriptRunnerTest, NextStatesMinusSignsAndContinue) {
  EngineDefinition& engine = Engine(
      "[START]\n"
      "1=DO|CONTINUE||NEXTPAGE|start-do\n"
      "2=TAG|-LINK|a|NEXTPAGE|start-a\n"
      "[LINK]\n"
      "1=TAG|BACK|a|NEXTPAGE|link-a\n"
      "[BACK]\n"
      "1=TEXT|--AGAIN|t|NEXTPAGE|back-t\n"
      "[AGAIN]\n"
      "1=DO|FINISHED||NEXTPAGE|again\n");
  ScriptRunner runner(engine);
  std::vector<Visit> visits = Walk(runner, "<p><a href=x>t</a>");
  // <p>: only DO. <a>: DO and TAG both act, then -LINK hands the same tag to LINK at once.
  // t: BACK's "--" goes back two tokens, so AGAIN sees <a> and finishes the page.
  ASSERT_EQ(visits.size(), 5u);
  EXPECT_EQ(Labels(visits), (std::vector<std::string>{"start-do", "start-do,start-a", "link-a",
                                                      "back-t", "again"}));
  EXPECT_EQ(visits[1].index, 2u);
  EXPECT_EQ(visits[2].index, 2u);
  EXPECT_EQ(visits[2].state, "LINK");
  EXPECT_EQ(visits[3].index, 3u);
  EXPECT_EQ(visits[4].index, 2u);
  EXPECT_EQ(visits[4].state, "AGAIN");
  EXPECT_TRUE(runner.IsFinished());

  // More minus signs than tokens behind: the walk restarts at the first token, no further.
  ScriptRunner early(Engine("[START]\n1=DO|---S||NEXTPAGE|s\n[S]\n1=DO|S||NEXTPAGE|t\n"));
  visits = Walk(early, "x<p>");
  ASSERT_EQ(visits.size(), 3u);
  EXPECT_EQ(visits[1].index, 1u);
  EXPECT_EQ(visits[1].state, "S");
}

TEST_F(ScriptRunnerTest, MissingStatesAreReportedAndRetried) {
  // "continue" in lower case is a state name; section LOST has no key 1, so it cannot load.
  EngineDefinition& engine = Engine(
      "[START]\n"
      "1=TAG|continue|a|NEXTPAGE|lower\n"
      "2=TAG|LOST|p|NEXTPAGE|lost\n"
      "[LOST]\n"
      "2=DO|START||NEXTPAGE|never\n");
  CaptureStderr();
  ScriptRunner runner(engine);
  std::vector<Visit> visits = Walk(runner, "<a>x<a>");
  std::string log = GetCapturedStderr();
  EXPECT_EQ(runner.CurrentState(), "continue");
  EXPECT_EQ(runner.FindState("continue"), nullptr);
  EXPECT_EQ(test::CountOf(log, "Cannot find state continue in file "), 1u) << log;
  // Every later token meets the missing state and does nothing.
  EXPECT_EQ(test::CountOf(log, "Missing state <continue> on engine web\\e"), 2u) << log;
  EXPECT_EQ(Labels(visits), (std::vector<std::string>{"lower", "", ""}));

  // Each new entry reads the file again, so a repaired file is picked up.
  CaptureStderr();
  Walk(runner, "<p>", "");
  runner.GoTo("LOST");
  log = GetCapturedStderr();
  EXPECT_EQ(test::CountOf(log, "Cannot find state LOST"), 2u) << log;
  Write("web\\e.ini", "[START]\n1=TAG|LOST|p|NEXTPAGE|lost\n[LOST]\n1=DO|START||NEXTPAGE|found\n");
  runner.GoTo("LOST");
  ASSERT_NE(runner.FindState("LOST"), nullptr);
  visits = Walk(runner, "y", "LOST");
  EXPECT_EQ(Labels(visits), (std::vector<std::string>{"found"}));
}

TEST_F(ScriptRunnerTest, QueuedRecordsCarryWhatTheActionNeeds) {
  EngineDefinition& engine = Engine(
      "[main]\npage=3\n"
      "[START]\n"
      "1=TAG|CONTINUE|input|SAVEINPUTVALUE|\n"
      "2=TAG|CONTINUE|a|SENDRESULTPAGETAG|NEXTSTATE\n"
      "3=SEARCHTEXT|CONTINUE|id=([0-9]+)|STORE|\n"
      "4=SEARCHTEXT|CONTINUE|ref=(x)?y|SETHREF|\n"
      "5=TEXT|CONTINUE|go|SETHREF|\n"
      "6=TEXT|CONTINUE|start|STARTRESULT|\n"
      "7=TEXT|CONTINUE|send|SENDRESULT|\n");
  ScriptRunner runner(engine);
  EXPECT_EQ(runner.GetPageCounter(), 3);
  PageScanner scanner(
      "<input type=hidden name=\"q\" value=\"x y\"><a href=/next>id=42</a>"
      "<p>ref=y<p>go<p>start<p>send");
  runner.StartPage(scanner, "");
  auto step = [&](size_t position) {
    runner.Step(scanner.At(position));
    std::vector<ScriptAction> actions = runner.TakeActions();
    EXPECT_EQ(actions.size(), 1u) << position;
    return actions.empty() ? ScriptAction{-1, "", "", "", ""} : actions[0];
  };
  ScriptAction input = step(1);
  EXPECT_EQ(input.kind, kActionSaveInputValue);
  EXPECT_EQ(input.name, "q");
  EXPECT_EQ(input.value, "x y");

  ScriptAction link = step(2);
  EXPECT_EQ(link.kind, kActionSendResultPage);  // the TAG variant shares its kind
  EXPECT_EQ(link.text, "/next");
  EXPECT_EQ(link.argument, "NEXTSTATE");

  EXPECT_EQ(step(3).text, "42");  // sub-expression 1
  EXPECT_EQ(step(6).text, "");    // a group that took no part gives "", not the token
  EXPECT_EQ(step(8).text, "go");  // without a pattern, the token's own text

  // The collecting flag changes at once, before the job sees the records, so that neither
  // the token that starts a result nor the one that ends it is collected.
  EXPECT_FALSE(runner.IsCollecting());
  EXPECT_EQ(step(10).kind, kActionStartResult);
  EXPECT_TRUE(runner.IsCollecting());
  runner.SetCollectedText("collected so far");
  ScriptAction send = step(12);
  EXPECT_FALSE(runner.IsCollecting());
  EXPECT_EQ(send.kind, kActionSendResult);
  EXPECT_EQ(send.text, "collected so far");
  runner.EndPage();
}

TEST_F(ScriptRunnerTest, PagesStartInTheResumeStateOnce) {
  EngineDefinition& engine = Engine(
      "[START]\n1=DO|START||NEXTPAGE|s\n"
      "[MORE]\n1=DO|MORE||NEXTPAGE|m\n");
  ScriptRunner runner(engine);
  PageScanner first("a");
  runner.StartPage(first, "");
  runner.AddSavedInput("lang", "en");
  EXPECT_EQ(runner.CurrentState(), "START");
  runner.GoTo("MORE");
  runner.StopPage();
  EXPECT_TRUE(runner.IsFinished());
  EXPECT_EQ(runner.ResumeState(), "MORE");
  runner.EndPage();

  PageScanner second("b");
  runner.StartPage(second, "");
  EXPECT_EQ(runner.CurrentState(), "MORE");
  EXPECT_EQ(runner.ResumeState(), "");
  EXPECT_TRUE(runner.SavedInputs().empty());
  runner.EndPage();

  // Without a resume state the page starts over; a request's own start state wins.
  PageScanner third("c");
  runner.StartPage(third, "");
  EXPECT_EQ(runner.CurrentState(), "START");
  runner.SetResumeState("START");
  runner.StartPage(third, "MORE");
  EXPECT_EQ(runner.CurrentState(), "MORE");
  runner.EndPage();
  // With no page, a rewind has nothing to move and must not reach a dead scanner.
  runner.GoTo("--START");
  EXPECT_EQ(runner.CurrentState(), "START");
}

// The required-text check must never turn down a token the matcher would find the pattern
// in: every pattern below is searched in every text, once through the script's search and once
// by the matcher alone, and the answers must agree.
TEST(ScriptPatternPrefilter, AgreesWithTheMatcherOnTrickyPatterns) {
  struct Case {
    const char* pattern;  // as the matcher sees it
    const char* literal;  // the text the check looks for; "" to give up
    std::vector<std::string> texts;
  } cases[] = {
      {R"([[:digit:]])", "", {"4 votes", "no votes"}},
      {R"([[:digit:]] votes)", " votes", {"4 votes", "four votes"}},
      {R"([^[:space:]]+ end)", " end", {"the end", " end"}},
      {R"([[:alpha:][:digit:]]x])", "x]", {"4x]", "ax]"}},
      {R"([[.hyphen.]]tail)", "tail", {"-tail", "tail"}},
      {R"([[=e=]]nd)", "nd", {"end", "and"}},
      {R"([]x]yz)", "yz", {"]yz", "xyz", "ayz"}},
      {R"([^]x]yz)", "yz", {"ayz", "]yz"}},
      {R"([\]]ab)", "ab", {"]ab", "\\ab"}},
      {R"(\x41BC)", "", {"ABC", "x41BC", "41BC"}},
      {R"(\x{41}BC)", "", {"ABC", "{41}BC"}},
      {R"(\101BC)", "", {"ABC", "101BC"}},
      {R"(\cAbc)",
       "",
       {"\x01"
        "bc",
        "Abc"}},
      {R"([\x5D]ok)", "", {"]ok", "5Dok"}},
      {R"(a?bc)", "bc", {"bc", "abc", "ac"}},
      {R"(xa*bc)", "bc", {"xbc", "xaabc"}},
      {R"(xa{0}bc)", "bc", {"xbc", "xabc"}},
      {R"(ab{2,}c)", "a", {"abbc", "abc", "ac"}},
      {R"(ab+?c)", "a", {"abc", "abbc"}},
      {R"(colou?r)", "colo", {"color", "colour"}},
      {R"(abc|xyz)", "", {"xyz", "abc", "ab"}},
      {R"((ab|x)yz)", "", {"xyz", "abyz", "yz"}},
      {R"((ab)?cd)", "cd", {"cd", "abcd"}},
      {R"((?:ab)*cd)", "", {"cd", "ababcd"}},
      {R"((?i)whale)", "", {"WHALE", "whale"}},
      {R"(wh(?i)ALE)", "", {"whale", "whALE", "WHALE"}},
      {R"((?x) a b c )", "", {"abc", " a b c "}},
      {R"((?#note)abc)", "", {"abc", "(?#note)abc"}},
      {R"((?=abc)ab)", "", {"abc", "abd"}},
      {R"(\Qa.b\E)", "", {"a.b", "axb", "Qa.bE"}},
      {R"(\Q(x\Ey)", "", {"(xy", "xy"}},
      {R"((a)\1bc)", "", {"aabc", "a1bc"}},
      {R"((\w+) \1 again)", "", {"go go again", "go on again"}},
      {R"(a\.b\*c)", "a.b*c", {"a.b*c", "axb*c"}},
      {R"(\(paren\)?)", "(paren", {"(paren", "(paren)"}},
      {R"(\\back)", "\\back", {"\\back", "back"}},
      {R"(\<word\> here)", " here", {"word here", "sword here"}},
      {R"(\d+ votes?)", " vote", {"12 votes", "12 vote"}},
      {R"(\bend\b)", "end", {"the end", "ending"}},
      {R"(^start)", "start", {"start here", "restart"}},
      {R"(end$)", "end", {"the end", "endless"}},
      {R"(a.c)", "a", {"abc", "a c"}},
      {R"(Next page)", "Next page", {"Next page", "next page"}},
      {R"(a(*ACCEPT)bc)", "", {"a", "abc"}},
      {R"(\Kbc)", "", {"bc"}},
      {R"(\p{L}bc)", "", {"abc", "pbc"}},
  };
  std::vector<std::string> texts;
  for (const Case& c : cases) {
    texts.insert(texts.end(), c.texts.begin(), c.texts.end());
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(RequiredLiteral(c.pattern), c.literal);
    boost::regex plain;
    try {
      plain.assign(c.pattern, boost::regex::perl);
    } catch (const std::exception&) {
      continue;  // a syntax this matcher does not know; the script gets no pattern either
    }
    ScriptInstruction instruction = ParseInstruction({"SEARCHTEXT", "X", c.pattern, "", ""});
    ASSERT_NE(instruction.pattern, nullptr);
    for (const std::string& text : texts) {
      SCOPED_TRACE(text);
      EXPECT_EQ(SearchScriptPattern(*instruction.pattern, text), boost::regex_search(text, plain));
    }
    // Each case's own first text is one the pattern is meant to find.
    EXPECT_TRUE(boost::regex_search(c.texts.front(), plain));
  }
}

TEST(ScriptNumber, ReadsLikeCDecimal) {
  EXPECT_EQ(ReadScriptNumber("10"), 10);
  EXPECT_EQ(ReadScriptNumber(" 7abc"), 7);
  EXPECT_EQ(ReadScriptNumber("-3"), -3);
  EXPECT_EQ(ReadScriptNumber(""), 0);
  EXPECT_EQ(ReadScriptNumber("next"), 0);
  EXPECT_EQ(ReadScriptNumber("99999999999999999999"), INT_MAX);
  EXPECT_EQ(ReadScriptNumber("-99999999999999999999"), -INT_MAX);
}

}  // namespace
}  // namespace tulix
