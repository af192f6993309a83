#include "engine/script_actions.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/page_scanner.h"

#include "test_support.h"

namespace tulix {
namespace {

EngineHit Extract(const EngineData& engine, const std::string& collected,
                  const std::string& words = "") {
  SearchQuery search;
  search.text = words;
  EngineHit hit;
  hit.text = collected;
  ExtractResult(engine, search, hit);
  return hit;
}

EngineData WithPattern(const char* pattern, int translateHref = 0) {
  EngineData engine;
  engine.href = pattern;
  engine.hrefPattern = std::make_shared<HrefPattern>(pattern);
  engine.translateHref = translateHref;
  return engine;
}

TEST(ScriptActions, PageAddressJoinsHostPortAndObject) {
  RequestSpec request;
  request.host = "h";
  request.object = "/s/p.htm?q=1";
  EXPECT_EQ(PageAddressOf(request), "http://h/s/p.htm?q=1");
  request.port = 8080;
  request.object = "s";
  EXPECT_EQ(PageAddressOf(request), "http://h:8080/s");
  request.object = "";
  EXPECT_EQ(PageAddressOf(request), "http://h:8080");
}

TEST(ScriptActions, AbsolutizeLinkRewritesTheHrefAndKeepsTheRest) {
  const std::string page = "http://h/s/p.htm";
  EXPECT_EQ(AbsolutizeLink("<a href=\"/x?a=1\" class=k>", page), "<a href=http://h/x?a=1 class=k>");
  EXPECT_EQ(AbsolutizeLink("<A HREF='r.htm'>", page), "<A HREF=http://h/s/r.htm >");
  EXPECT_EQ(AbsolutizeLink("<a href=r.htm?a=1&amp;b=2>", page),
            "<a href=http://h/s/r.htm?a=1&b=2 >");
  EXPECT_EQ(AbsolutizeLink("<a class=z href = //k/z  title=t>", page),
            "<a class=z href =http://k/z  title=t>");
  EXPECT_EQ(AbsolutizeLink("<a href=http://k/z>", page), "<a href=http://k/z >");
  // What the scanner later reads from the rewritten tag is the absolute address.
  EXPECT_EQ(ReadHref(AbsolutizeLink("<a href=\"/x?a=1\" class=k>", page)), "http://h/x?a=1");
}

TEST(ScriptActions, AbsolutizeLinkLeavesTagsWithoutAnHrefValueAlone) {
  const std::string page = "http://h/s/p.htm";
  for (const char* tag : {"", "<", "<>", "<a>", "<a b>", "<a href>", "<a name=x>", "<a hre=f>",
                          "<a href", "<a href="}) {
    EXPECT_EQ(AbsolutizeLink(tag, page), tag) << tag;
  }
  // An empty value resolves to the page's folder; the tag stays well formed.
  EXPECT_EQ(AbsolutizeLink("<a href=>", page), "<a href=http://h/s >");
  // A page address that does not parse leaves the link relative.
  EXPECT_EQ(AbsolutizeLink("<a href=x.htm>", ""), "<a href=x.htm >");
}

TEST(ScriptActions, AbsolutizeLinkCopesWithHugeTags) {
  std::string longLink(100 * 1024, 'x');
  std::string tag = "<a href=/" + longLink + " class=k>";
  std::string out = AbsolutizeLink(tag, "http://h/p");
  EXPECT_EQ(out.rfind("<a href=http://h/xxx", 0), 0u);
  EXPECT_EQ(out.back(), '>');
  // A huge tag without an href goes through untouched.
  std::string noHref = "<a title=" + longLink + ">";
  EXPECT_EQ(AbsolutizeLink(noHref, "http://h/p"), noHref);
}

TEST(ScriptActions, ResultAnchorJoinsTheHrefWordsIntoTheTemplate) {
  EngineData engine;
  EXPECT_EQ(BuildResultAnchor(engine, "http://k/z", "Title"), "<a href=\"http://k/z\">Title</a>");
  EXPECT_EQ(BuildResultAnchor(engine, "blue whale", ""), "<a href=\"blue+whale\">blue whale</a>");
  engine.resultHref = "http://r/?u=%R&again=%R%";
  EXPECT_EQ(BuildResultAnchor(engine, "a  b", "T"), "<a href=\"http://r/?u=a+b&again=a+b%\">T</a>");
  engine.resultHref = "";
  EXPECT_EQ(BuildResultAnchor(engine, "x", ""), "<a href=\"\">x</a>");
}

TEST(ScriptActions, PercentDecodeTakesOnlyCompleteEscapes) {
  EXPECT_EQ(PercentDecode("http%3A%2f%2Fk%2Fz"), "http://k/z");
  EXPECT_EQ(PercentDecode("100%"), "100%");
  EXPECT_EQ(PercentDecode("a%4"), "a%4");
  EXPECT_EQ(PercentDecode("%41"), "A");
  EXPECT_EQ(PercentDecode("%zz%%41"), "%zz%A");
  EXPECT_EQ(PercentDecode("%2541"), "%41");  // decoded once, not twice
  EXPECT_EQ(PercentDecode("%"), "%");
  EXPECT_EQ(PercentDecode(""), "");
  EXPECT_EQ(PercentDecode("%00"), std::string(1, '\0'));
}

TEST(ScriptActions, HighlightMarksWholeWordsIgnoringCase) {
  EXPECT_EQ(HighlightSearchWords("Blue whales, a BLUE whale.", "blue whale"),
            "<r>Blue</r> whales, a <r>BLUE</r> <r>whale</r>.");
  // Letters only form words: digits and other characters split them.
  EXPECT_EQ(HighlightSearchWords("x1blue_blue", "blue"), "x1<r>blue</r>_<r>blue</r>");
  // Two blanks end the word list.
  EXPECT_EQ(HighlightSearchWords("blue whale", "blue  whale"), "<r>blue</r> whale");
  EXPECT_EQ(HighlightSearchWords("blue whale", " blue"), "blue whale");
  EXPECT_EQ(HighlightSearchWords("blue", ""), "blue");
  EXPECT_EQ(HighlightSearchWords("", "blue"), "");
  // A word holding anything but letters can never match.
  EXPECT_EQ(HighlightSearchWords("c++ and c", "c++"), "c++ and c");
  EXPECT_EQ(HighlightSearchWords("Whale", "whale", "<span class=\"hilite\">%s</span>"),
            "<span class=\"hilite\">Whale</span>");
  // A format that holds "%" sequences other than the one "%s" is not read as printf.
  EXPECT_EQ(HighlightSearchWords("whale", "whale", "[%d%s]"), "[%dwhale]");
}

TEST(ScriptActions, GetHttpHrefKeepsWebAddressesOnly) {
  EngineHit hit;
  for (bool secureWeb : {false, true}) {
    test::ScopedSecureWeb setting(secureWeb);
    hit.address = "http://k/z?a=1";
    EXPECT_EQ(GetHttpHref(hit), "http://k/z?a=1");
    hit.address = "https://k/z";
    EXPECT_EQ(GetHttpHref(hit), secureWeb ? "https://k/z" : "");
    for (const char* address : {"ftp://k/z", "/z", "", "k/z", "mailto:x@k", "httpsx://k/z"}) {
      hit.address = address;
      EXPECT_EQ(GetHttpHref(hit), "") << address;
    }
  }
}

TEST(ScriptActions, ExtractResultTakesTheAddressFromTheChosenAnchor) {
  EngineData engine;
  EngineHit hit = Extract(engine,
                          "<a href=http://k/one class=t>Blue whale facts</a><b>All</b> about "
                          "<i>whales</i><a href=http://k/two>more</a>",
                          "whale");
  EXPECT_EQ(hit.address, "http://k/one");
  EXPECT_EQ(hit.text,
            "<a href=http://k/one>Blue <r>whale</r> facts </a>All about whales more </a>");

  engine.hrefIndex = 2;
  hit = Extract(engine, "<a href=http://k/one>first</a> and <a href=http://k/two>second</a>");
  EXPECT_EQ(hit.address, "http://k/two");
  EXPECT_EQ(hit.text, "first and <a href=http://k/two>second </a>");

  // No anchor to choose: no address, whatever the index.
  for (int index : {0, 3, 1000, -5}) {
    engine.hrefIndex = index;
    hit = Extract(engine, "<a href=http://k/one>first</a> and <a href=http://k/two>second</a>");
    EXPECT_EQ(hit.address, "") << index;
  }
}

TEST(ScriptActions, ExtractResultPutsTheTitleInFrontAsALink) {
  EngineData engine;
  EngineHit hit = Extract(engine,
                          "<a href=\"http://k/z\">The Title</a></TULIXTITLE><p>Some text "
                          "<script>var x='<a href=evil>';</script>here.");
  EXPECT_EQ(hit.address, "http://k/z");
  EXPECT_EQ(hit.text.rfind("<a href=http://k/z>", 0), 0u) << hit.text;
  EXPECT_NE(hit.text.find("The Title"), std::string::npos);
  EXPECT_EQ(hit.text.find("var x"), std::string::npos) << hit.text;
  EXPECT_NE(hit.text.find("</a>Some text here. "), std::string::npos) << hit.text;
}

TEST(ScriptActions, ExtractResultTidiesTheText) {
  EngineData engine;
  EngineHit hit = Extract(engine, "12. <a href=http://k/z>Whale\tsong</a>   is\x01loud");
  EXPECT_EQ(hit.text, "<a href=http://k/z>Whale song </a>is loud ");
  EXPECT_EQ(hit.address, "http://k/z");

  engine.trimLeadingNumbers = 0;
  hit = Extract(engine, "12. <a href=http://k/z>Whale song</a>");
  EXPECT_EQ(hit.text, "12. <a href=http://k/z>Whale song </a>");

  // Trimming stops at the first letter, even when the text has only numbering before a link.
  engine.trimLeadingNumbers = 1;
  hit = Extract(engine, "#3) - 4% ~ x <a href=http://k/z>abc</a>");
  EXPECT_EQ(hit.text, "x <a href=http://k/z>abc </a>");
}

TEST(ScriptActions, ExtractResultDropsAddressesOfShortOrUnclosedLinks) {
  EngineData engine;
  EXPECT_EQ(Extract(engine, "<a href=http://k/z>x</a> text").address, "");
  EXPECT_EQ(Extract(engine, "<a href=http://k/z>xy</a> text").address, "http://k/z");
  EXPECT_EQ(Extract(engine, "<a href=http://k/z>long link text").address, "");
  EXPECT_EQ(Extract(engine, "<a href=http://k/z><img src=i.gif></a>").address, "");
  EngineHit empty = Extract(engine, "");
  EXPECT_EQ(empty.address, "");
  EXPECT_EQ(empty.text, "");
}

TEST(ScriptActions, ExtractResultPrefersTheEnginesPattern) {
  EngineData engine = WithPattern("u=([^& >]+)", 1);
  EngineHit hit = Extract(engine, "<a href=http://r/?u=http%3A%2F%2Fk%2Fz&x=1>Whale song</a>");
  EXPECT_EQ(hit.address, "http://k/z");
  EXPECT_EQ(hit.text, "<a href=http://k/z>Whale song </a>");

  // A match that is no address falls back to the anchor.
  hit = Extract(engine, "<a href=http://r/?u=nothing&x=1>Whale song</a>");
  EXPECT_EQ(hit.address, "http://r/?u=nothing&x=1");

  // No match at all, or a text too short to search, also falls back.
  engine = WithPattern("target=(\\S+)");
  EXPECT_EQ(Extract(engine, "<a href=http://k/z>Whale song</a>").address, "http://k/z");

  // Without translatehref the address stays encoded.
  engine = WithPattern("(http://[^ >]+)");
  hit = Extract(engine, "<a href=http://k/a%20b>Whale song</a>");
  EXPECT_EQ(hit.address, "http://k/a%20b");

  // An empty first sub-expression means no address at all.
  engine = WithPattern("zz(q*)zz");
  EXPECT_EQ(Extract(engine, "<a href=http://k/z>zzzz song</a>").address, "");
}

TEST(ScriptActions, ExtractResultNeverDecodesUnsafeBytesIntoAnAddress) {
  // A page could otherwise smuggle a line break into the request line or the stored results,
  // or mark-up into the hit's text.
  EngineData engine = WithPattern("u=([^& >]+)", 1);
  EngineHit hit =
      Extract(engine, "<a href=http://r/?u=http://k/z%0D%0AX:%20y%3E%22%3c%41>Whale</a>");
  EXPECT_EQ(hit.address, "http://k/z%0D%0AX:%20y%3E%22%3cA");
  EXPECT_EQ(hit.text, "<a href=http://k/z%0D%0AX:%20y%3E%22%3cA>Whale </a>");
  engine = EngineData();
  engine.translateHref = 1;
  hit = Extract(engine, "<a href=http://k/z%00%7F%2F>Whale song</a>");
  EXPECT_EQ(hit.address, "http://k/z%00%7F/");

  // Nor does it take them raw from a quoted href (where the tag ends at the bracket): the
  // anchor of the text must stay one tag.
  engine = EngineData();
  hit = Extract(engine, "<a href=\"http://k/?u=a b<b>c\">Whale song</a>");
  EXPECT_EQ(hit.address, "http://k/?u=a%20b%3Cb");
  EXPECT_EQ(hit.text, "<a href=http://k/?u=a%20b%3Cb>c\">Whale song </a>");
}

}  // namespace
}  // namespace tulix
