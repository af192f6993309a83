#include "engine/page_scanner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace tulix {
namespace {

using namespace std::string_literals;

struct Tok {
  int id;
  std::string text;
  bool operator==(const Tok&) const = default;
};

void PrintTo(const Tok& t, std::ostream* os) {
  *os << "{" << t.id << ", \"" << t.text << "\"}";
}

std::vector<Tok> Tokens(std::string_view text) {
  PageScanner scanner(text);
  std::vector<Tok> out;
  for (const PageToken* t = scanner.First(); t != nullptr; t = scanner.Next()) {
    out.push_back({t->tagId(), std::string(t->text())});
  }
  return out;
}

// The tree below `token` as text: each token's text, its children in parentheses.
std::string TreeText(const PageToken& token) {
  std::string out(token.tagId() == kRootTokenId ? "ROOT" : std::string(token.text()));
  if (token.firstChild() != nullptr) {
    out += "(";
    for (const PageToken* c = token.firstChild(); c != nullptr; c = c->nextSibling()) {
      out += TreeText(*c);
      out += c->nextSibling() != nullptr ? " " : "";
    }
    out += ")";
  }
  return out;
}

// The first token whose text is exactly `text`.
const PageToken* Find(const PageScanner& scanner, std::string_view text, int nth = 1) {
  for (size_t i = 1; i <= scanner.Count(); ++i) {
    if (scanner.At(i).text() == text && --nth == 0) {
      return &scanner.At(i);
    }
  }
  return nullptr;
}

TEST(PageScanner, CutsTextIntoTextRunsAndTags) {
  struct Case {
    std::string input;
    std::vector<Tok> tokens;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"  plain text  ", {{0, "plain text"}}},
      // An unfinished tag at the end still counts; "<b" is too short to be a tag.
      {"a<br", {{0, "a"}, {9, "<br"}}},
      {"a<b", {{0, "a"}, {0, "<b"}}},
      {"x<", {{0, "x"}, {0, "<"}}},
      {"<>", {{0, "<>"}}},
      {"<br   ", {{9, "<br"}}},
      {"<TD ALIGN=left>x</Td>", {{3, "<TD ALIGN=left>"}, {0, "x"}, {259, "</Td>"}}},
      {"<tbody></tbody>", {{255, "<tbody>"}, {511, "</tbody>"}}},
      // White space between tags is a token with empty text; tags back to back give none.
      {"</td>  <td><td>", {{259, "</td>"}, {0, ""}, {3, "<td>"}, {3, "<td>"}}},
      // Control characters, NUL included, read as spaces, so they also end a tag name.
      {"a\0b<b\0r>\r\n<a\nhref=y>"s, {{0, "a b"}, {25, "<b r>"}, {0, ""}, {1, "<a href=y>"}}},
      // Quotes are not special and comments are not understood.
      {"<a href='>'>", {{1, "<a href='>"}, {0, "'>"}}},
      {"<!-- <b> -->", {{255, "<!-- <b>"}, {0, "-->"}}},
      {"<!DOCTYPE html>", {{255, "<!DOCTYPE html>"}}},
      // Inside a tag a "<" is just a character.
      {"<p<b>", {{255, "<p<b>"}}},
      {"<a<b>", {{255, "<a<b>"}}},
      {"</>x", {{511, "</>"}, {0, "x"}}},
      {"<br/>", {{255, "<br/>"}}},
      {"<\xC4\xB0>", {{255, "<\xC4\xB0>"}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Tokens(c.input), c.tokens) << "input: " << c.input;
  }
}

TEST(PageScanner, GetTagIdKnowsEveryTagInAnyCase) {
  const std::vector<std::pair<std::string, int>> names = {
      {"a", 1},     {"table", 2},       {"td", 3},     {"th", 4},          {"tr", 5},
      {"frame", 6}, {"ul", 7},          {"ol", 7},     {"li", 8},          {"br", 9},
      {"dl", 10},   {"dd", 11},         {"dt", 12},    {"p", 13},          {"div", 14},
      {"span", 15}, {"r", 16},          {"form", 17},  {"input", 18},      {"script", 19},
      {"big", 20},  {"h1", 21},         {"h2", 22},    {"h3", 23},         {"hr", 24},
      {"b", 25},    {"i", 26},          {"small", 27}, {"blockquote", 28}, {"body", 29},
      {"font", 30}, {"tulixtitle", 31}, {"img", 32},   {"center", 33},
  };
  for (const auto& [name, id] : names) {
    std::string upper = name;
    for (char& c : upper) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(PageScanner::GetTagId("<" + name + ">"), id) << name;
    EXPECT_EQ(PageScanner::GetTagId("<" + upper + " x=1>"), id) << name;
    EXPECT_EQ(PageScanner::GetTagId("</" + name + ">"), id + 256) << name;
    // A longer or shorter name is another tag.
    EXPECT_EQ(PageScanner::GetTagId("<" + name + "x>"), 255) << name;
    EXPECT_EQ(PageScanner::GetTagId("</" + name.substr(1) + "q>"), 511) << name;
  }
  const std::vector<std::pair<std::string, int>> others = {
      {"<a", 0},
      {"ab", 0},
      {"<a>", 1},
      {"</a", 257},
      {"< a>", 255},
      {"<blockquotes>", 255},
      {"<tulixtitle/>", 255},
      {"<abcdefghijklmnopqrstuvwxyz>", 255},
      {"<a\tb>", 1},
      {"x<a>", 0},
  };
  for (const auto& [text, id] : others) {
    EXPECT_EQ(PageScanner::GetTagId(text), id) << text;
  }
  // Same length and same hash as "td" ('s' * 64 + 0xA4 == 't' * 64 + 'd'): only comparing the
  // name tells them apart.
  EXPECT_EQ(PageScanner::GetTagId("<s\xA4>"), 255);
  EXPECT_EQ(PageScanner::GetTagId("</S\xA4>"), 511);
}

TEST(PageScanner, BuildsALooseTree) {
  struct Case {
    std::string input;
    std::string tree;
  };
  const std::vector<Case> cases = {
      {"<table><tr><td>x</td><td>y</td></tr></table>",
       "ROOT(<table>(<tr>(<td>(x </td>) <td>(y </td>) </tr>) </table>))"},
      // Plain tags never take children; only containers do.
      {"<div><b>x</b></div>", "ROOT(<div> <b> x </b> </div>)"},
      // A stray container end tag becomes the current container and keeps what follows.
      {"<td></a>x</td>y", "ROOT(<td>(</a>(x </td>(y))))"},
      // An end tag of another container does not close the current one.
      {"<table><tr><td>x</table>z", "ROOT(<table>(<tr>(<td>(x </table>(z)))))"},
      {"<ul><li>a<ol><li>b</ol></ul>", "ROOT(<ul>(<li> a <ol>(<li> b </ol>) </ul>))"},
      {"<form><input></form><frame></frame><dl></dl>",
       "ROOT(<form>(<input> </form>) <frame>(</frame>) <dl>(</dl>))"},
  };
  for (const Case& c : cases) {
    PageScanner scanner(c.input);
    EXPECT_EQ(TreeText(scanner.Root()), c.tree) << c.input;
  }

  PageScanner scanner("<table><tr><td>x</td></tr><a>");
  EXPECT_TRUE(Find(scanner, "<td>")->closed());
  EXPECT_TRUE(Find(scanner, "<table>")->isContainer());
  EXPECT_FALSE(Find(scanner, "<table>")->closed());
  EXPECT_FALSE(Find(scanner, "<a>")->closed());
  EXPECT_FALSE(Find(scanner, "x")->isContainer());
  EXPECT_EQ(Find(scanner, "x")->depth(), 4u);
  EXPECT_EQ(Find(scanner, "<tr>")->childCount(), 2u);
  EXPECT_EQ(scanner.Root().parent(), nullptr);
  EXPECT_EQ(scanner.Root().tagId(), 254);
}

TEST(PageScanner, FindEnclosingGivesTheNearestAncestor) {
  PageScanner scanner(
      "<form action=f><table><tr><td><a href=u><table><tr><td>x</td></tr></table></a></td></tr>"
      "</table></form>y");
  const PageToken* x = Find(scanner, "x");
  EXPECT_EQ(x->FindEnclosing(kTagTd), x->parent());
  EXPECT_EQ(x->FindEnclosing(kTagTable), Find(scanner, "<table>", 2));
  EXPECT_EQ(x->FindEnclosing(kTagTr), Find(scanner, "<tr>", 2));
  EXPECT_EQ(x->FindEnclosing(kTagA), Find(scanner, "<a href=u>"));
  EXPECT_EQ(x->FindEnclosing(kTagForm), Find(scanner, "<form action=f>"));
  EXPECT_EQ(x->FindEnclosing(kRootTokenId), &scanner.Root());
  EXPECT_EQ(x->FindEnclosing(25), nullptr);  // b is no container, so never an ancestor
  EXPECT_EQ(x->FindEnclosing(kTextTokenId), nullptr);
  // A token is not its own ancestor.
  EXPECT_EQ(Find(scanner, "<a href=u>")->FindEnclosing(kTagA), nullptr);
  const PageToken* y = Find(scanner, "y");
  EXPECT_EQ(y->FindEnclosing(kTagForm), nullptr);
  EXPECT_EQ(y->FindEnclosing(kTagTable), nullptr);
  EXPECT_EQ(scanner.Root().FindEnclosing(kRootTokenId), nullptr);
}

TEST(PageScanner, IsColumnCountsEveryChildOfTheRow) {
  PageScanner tight("<tr><td>a</td><td>b</td></tr>");
  EXPECT_TRUE(Find(tight, "<td>")->IsColumn(1));
  EXPECT_TRUE(Find(tight, "<td>", 2)->IsColumn(2));
  EXPECT_FALSE(Find(tight, "<td>", 2)->IsColumn(1));
  EXPECT_TRUE(Find(tight, "b")->IsColumn(2));  // inside the cell: the cell's column
  EXPECT_TRUE(Find(tight, "</td>", 2)->IsColumn(2));
  EXPECT_TRUE(Find(tight, "</tr>")->IsColumn(3));  // the row's end tag is its last child
  EXPECT_FALSE(Find(tight, "<tr>")->IsColumn(1));

  // Blanks between cells are a child of their own, so the second cell is in column 3.
  PageScanner loose("<tr><td>a</td> <td>b</td></tr>");
  EXPECT_FALSE(Find(loose, "<td>", 2)->IsColumn(2));
  EXPECT_TRUE(Find(loose, "<td>", 2)->IsColumn(3));
  EXPECT_TRUE(Find(loose, "")->IsColumn(2));

  // A nested table counts in its own row; after it, the outer cell's column holds again.
  PageScanner nested("<tr><td>1</td><td><table><tr><td>i</td><td>j</td></tr></table>k</td></tr>");
  EXPECT_TRUE(Find(nested, "j")->IsColumn(2));
  EXPECT_TRUE(Find(nested, "<table>")->IsColumn(2));
  EXPECT_TRUE(Find(nested, "k")->IsColumn(2));

  PageScanner none("<table><td>x</td></table>");
  for (int n = -1; n <= 3; ++n) {
    EXPECT_FALSE(Find(none, "x")->IsColumn(n)) << n;
  }
  EXPECT_FALSE(Find(tight, "a")->IsColumn(0));
}

TEST(PageScanner, GetHrefReadsTheLinkThatHoldsTheToken) {
  PageScanner scanner(
      "<a href=outer>o<a href=inner>i</a><a href=open>u<b>v</b></a>"
      "<a href=lone>w");
  EXPECT_EQ(Find(scanner, "o")->GetHref(), "outer");
  EXPECT_EQ(Find(scanner, "i")->GetHref(), "inner");
  // A closed link gives its own href; the end tag lies inside it.
  EXPECT_EQ(Find(scanner, "<a href=inner>")->GetHref(), "inner");
  EXPECT_EQ(Find(scanner, "</a>")->GetHref(), "inner");
  EXPECT_EQ(Find(scanner, "v")->GetHref(), "open");
  // The outer link is never closed (its own end tag went to the inner ones), so it gives the
  // href of an enclosing link: there is none.
  EXPECT_EQ(Find(scanner, "<a href=outer>")->GetHref(), "");
  // An unclosed link inside another gives the outer one's href.
  EXPECT_EQ(Find(scanner, "<a href=lone>")->GetHref(), "outer");
  EXPECT_EQ(Find(scanner, "w")->GetHref(), "lone");

  PageScanner outside("x<b>y</b>");
  EXPECT_EQ(Find(outside, "x")->GetHref(), "");
  EXPECT_EQ(outside.Root().GetHref(), "");
}

TEST(PageScanner, ReadHrefHandlesQuotesSpacesAndQueries) {
  struct Case {
    std::string tag;
    std::string href;
  };
  const std::vector<Case> cases = {
      {"<a href=\"/x y\" class=k>", "/x y"},
      {"<a href='/x' class=k>", "/x"},
      {"<A HREF=/X>", "/X"},
      {"<a href =   /x>", "/x"},
      {"<a href=>", ""},
      {"<a href= >", ""},
      {"<a name=x>", ""},
      {"<a href>", ""},
      {"<a h>", ""},  // too short to hold anything
      // Without "=", the value runs to the end of the tag, spaces and all.
      {"<a href=/x.htm target>", "/x.htm target"},
      // An unquoted query keeps its spaces until the next attribute.
      {"<a href=/find?q=blue whale&n=2 class=x>", "/find?q=blue whale&n=2"},
      {"<a href=/s?q=a b c>", "/s?q=a b c"},
      {"<a href=/s?q=a b&c>", "/s?q=a"},
      {"<a href=/s?q=a  b>", "/s?q=a  b"},
      {"<a href=/s?q=a >", "/s?q=a"},
      // The name is found anywhere, even inside another attribute.
      {"<a data-href=\"p\" href=\"q\">", "p"},
      // A quote the tag cut short runs to the end of what is left.
      {"<a href=\"/x>", "/x"},
      {"<a href=\"\">", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadHref(c.tag), c.href) << c.tag;
  }
}

TEST(PageScanner, GetAttributeAndGetFormAction) {
  PageScanner scanner(
      "<form ACTION=\"/find\" method=post><input type=hidden name=\"q\" value=\"x y\">"
      "<input checked name=lang value=en></form><input name=z><p>t</p>");
  const PageToken* hidden = Find(scanner, "<input type=hidden name=\"q\" value=\"x y\">");
  EXPECT_EQ(hidden->GetAttribute("name"), "q");
  EXPECT_EQ(hidden->GetAttribute("value"), "x y");
  EXPECT_EQ(hidden->GetAttribute("TYPE"), "hidden");
  EXPECT_EQ(hidden->GetAttribute("size"), "");
  // An attribute without a value takes the next "=" it meets.
  const PageToken* checked = Find(scanner, "<input checked name=lang value=en>");
  EXPECT_EQ(checked->GetAttribute("checked"), "lang");
  EXPECT_EQ(checked->GetAttribute("value"), "en");
  EXPECT_EQ(ReadAttribute("<br x>", "x"), "");
  EXPECT_EQ(ReadAttribute("<i x=1>", "x"), "1");

  EXPECT_EQ(Find(scanner, "<form ACTION=\"/find\" method=post>")->GetFormAction(), "/find");
  EXPECT_EQ(hidden->GetFormAction(), "/find");
  EXPECT_EQ(Find(scanner, "</form>")->GetFormAction(), "/find");
  EXPECT_EQ(Find(scanner, "<input name=z>")->GetFormAction(), "");
  EXPECT_EQ(Find(scanner, "t")->GetFormAction(), "");
}

TEST(PageScanner, DecodeEntities) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {"&#65;&#66;c", "ABc"},
      {"&#321;", "A"},  // codes are taken modulo 256
      {"&#99999999999;", "\xFF"},
      {"&#0000065;", "A"},
      {"&#0;", std::string(1, '\0')},
      {"&#;", "&#;"},
      {"&#x41;", "&#x41;"},
      {"&#65", "&#65"},
      {"&#6a;", "&#6a;"},
      {"&&#65;", "&A"},
      {"&amp;lt;", "<"},  // the named passes run one after another
      {"&#38;lt;", "<"},  // and after the numeric one
      {"&amp;amp;", "&amp;"},
      {"a &lt;b&gt; &nbsp;&quot;c&quot;", "a <b>  \"c\""},
      {"&pound;5 &copy;&iexcl;&cent;",
       "\xA3"
       "5 "},
      {"&AMP; &Lt;", "&AMP; &Lt;"},
      {"& ; &; &amp", "& ; &; &amp"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(DecodeEntities(in), out) << in;
  }
}

TEST(PageScanner, CursorWalksForwardAndRewinds) {
  PageScanner scanner("a<b>c");
  EXPECT_EQ(scanner.Count(), 3u);
  EXPECT_EQ(scanner.First()->text(), "a");
  EXPECT_EQ(scanner.Next()->text(), "<b>");
  scanner.RewindOne();
  EXPECT_EQ(scanner.Next()->text(), "<b>");
  scanner.RewindOne();
  scanner.RewindOne();
  EXPECT_EQ(scanner.Next()->text(), "a");
  scanner.RewindOne();
  scanner.RewindOne();  // before the first token it stays there
  EXPECT_EQ(scanner.Next()->text(), "a");
  EXPECT_EQ(scanner.Next()->text(), "<b>");
  EXPECT_EQ(scanner.Next()->text(), "c");
  EXPECT_EQ(scanner.Next(), nullptr);
  EXPECT_EQ(scanner.Next(), nullptr);
  EXPECT_EQ(scanner.First()->text(), "a");

  PageScanner empty("");
  EXPECT_EQ(empty.First(), nullptr);
  EXPECT_EQ(empty.Next(), nullptr);
  empty.RewindOne();
  EXPECT_EQ(empty.Next(), nullptr);
}

TEST(PageScanner, RewrittenLinkTextIsWhatGetHrefReads) {
  PageScanner scanner("<a href=/x>t</a>");
  const PageToken* link = scanner.First();
  scanner.SetTokenText(*link, "<a href=http://h/x class=k>");
  EXPECT_EQ(link->text(), "<a href=http://h/x class=k>");
  EXPECT_EQ(link->tagId(), kTagA);
  EXPECT_EQ(scanner.Next()->GetHref(), "http://h/x");
  EXPECT_EQ(link->GetAttribute("class"), "k");
}

// ---- Hostile input --------------------------------------------------------------------------

std::string Repeat(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) {
    out.append(piece);
  }
  return out;
}

TEST(PageScanner, DeepNestingStaysCheapAndCorrect) {
  constexpr size_t kDepth = 100000;
  {
    PageScanner tables(Repeat("<table>", kDepth));
    ASSERT_EQ(tables.Count(), kDepth);
    const PageToken& last = tables.At(kDepth);
    EXPECT_EQ(last.depth(), kDepth);
    EXPECT_EQ(last.FindEnclosing(kTagTable), &tables.At(kDepth - 1));
    EXPECT_EQ(last.GetHref(), "");
    EXPECT_FALSE(last.IsColumn(1));
  }
  {
    PageScanner ends(Repeat("</table>", kDepth));
    ASSERT_EQ(ends.Count(), kDepth);
    EXPECT_EQ(ends.At(kDepth).depth(), kDepth);
    EXPECT_EQ(ends.At(kDepth).FindEnclosing(kTagTable + kEndTagBit), &ends.At(kDepth - 1));
  }
  {
    // Every token asks for its link, form and column, as a script may: each answer comes
    // from what the scan worked out, not from a walk up 100,000 levels.
    PageScanner rows("<form action=/f><a href=/top>" + Repeat("<tr><td>", kDepth / 2) + "x");
    size_t inColumnOne = 0;
    for (const PageToken* t = rows.First(); t != nullptr; t = rows.Next()) {
      EXPECT_EQ(t->GetFormAction(), "/f");
      inColumnOne += t->IsColumn(1) ? 1 : 0;
      if (t->index() > 2) {
        ASSERT_EQ(t->GetHref(), "/top");
      }
    }
    EXPECT_EQ(inColumnOne, kDepth);  // everything below the first row
    EXPECT_EQ(rows.At(rows.Count()).depth(), kDepth + 3);
  }
}

TEST(PageScanner, TakesHostileTextWithoutHarm) {
  const std::string longHref(20000, 'h');
  // One unfinished tag holding the whole text.
  PageScanner unfinished("<a href=\"" + longHref);
  ASSERT_EQ(unfinished.Count(), 1u);
  EXPECT_EQ(unfinished.At(1).tagId(), kTagA);
  EXPECT_EQ(unfinished.At(1).GetAttribute("href"), longHref.substr(0, longHref.size() - 1));

  PageScanner quoted("<a href=\"" + longHref + "\">x</a>");
  EXPECT_EQ(Find(quoted, "x")->GetHref(), longHref);
  // An unquoted address with a query and many spaces is read in one pass.
  std::string spaced = "/q?x=" + Repeat("a ", 10000);
  PageScanner unquoted("<a href=" + spaced + ">x</a>");
  EXPECT_EQ(Find(unquoted, "x")->GetHref(), spaced.substr(0, spaced.size() - 1));

  const std::string nuls(1000, '\0');
  PageScanner zeros(nuls + "<a\0href=x>\0y\0</a>"s + nuls);
  ASSERT_EQ(zeros.Count(), 5u);
  EXPECT_EQ(zeros.At(1).text(), "");
  EXPECT_EQ(zeros.At(2).text(), "<a href=x>");
  EXPECT_EQ(zeros.At(3).GetHref(), "x");
  EXPECT_EQ(zeros.At(5).text(), "");

  PageScanner bare("<input checked disabled><a href><td nowrap>");
  EXPECT_EQ(bare.At(1).GetAttribute("checked"), "");
  EXPECT_EQ(bare.At(2).GetHref(), "");
  EXPECT_EQ(bare.At(3).GetAttribute("nowrap"), "");

  PageScanner entities("<a href=\"/x?a=&#99999999999;&#;\">&#99999999999;&#;</a>");
  EXPECT_EQ(DecodeEntities(entities.At(2).text()), "\xFF&#;");
  EXPECT_EQ(entities.At(2).GetHref(), "/x?a=&#99999999999;&#;");

  const std::vector<std::string> odd = {"<",  "</", "<<<<", ">>>>",
                                        "<a", "&",  "&#",   "\x80\xFF<\xFF>"};
  for (const std::string& text : odd) {
    PageScanner scanner(text);
    for (const PageToken* t = scanner.First(); t != nullptr; t = scanner.Next()) {
      t->GetHref();
      t->GetFormAction();
      t->GetAttribute("href");
      t->IsColumn(1);
      DecodeEntities(t->text());
    }
  }
}

// ---- Real result pages ----------------------------------------------------------------------

std::string FixturePath(std::string_view name) {
  return std::string(TULIX_FIXTURES_DIR) + "/serp/" + std::string(name);
}

std::vector<std::string> FixturePages() {
  std::vector<std::string> pages;
  for (const auto& entry : std::filesystem::directory_iterator(FixturePath(""))) {
    if (entry.path().extension() == ".html") {
      pages.push_back(entry.path().filename().string());
    }
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

// The nearest ancestor with an id, found the slow way.
const PageToken* WalkUp(const PageToken& token, int id) {
  for (const PageToken* p = token.parent(); p != nullptr; p = p->parent()) {
    if (p->tagId() == id) {
      return p;
    }
  }
  return nullptr;
}

// The column the slow way: up to the child of the nearest row, then count its place.
int WalkColumn(const PageToken& token) {
  const PageToken* c = &token;
  while (c->parent() != nullptr && c->parent()->tagId() != kTagTr) {
    c = c->parent();
  }
  if (c->parent() == nullptr) {
    return 0;
  }
  int n = 1;
  for (const PageToken* s = c->parent()->firstChild(); s != c; s = s->nextSibling()) {
    ++n;
  }
  return n;
}

TEST(PageScannerFixtures, EveryPageScansIntoATreeThatKeepsEveryToken) {
  const std::vector<std::string> pages = FixturePages();
  ASSERT_GE(pages.size(), 15u);
  for (const std::string& name : pages) {
    SCOPED_TRACE(name);
    const std::string html = test::ReadFileBytes(FixturePath(name));
    PageScanner scanner(html);
    ASSERT_GT(scanner.Count(), 100u);

    // Walk the tree in pre-order without recursion: it must visit every token once, in
    // document order, each one level below its parent.
    size_t visited = 0;
    std::vector<const PageToken*> stack = {&scanner.Root()};
    while (!stack.empty()) {
      const PageToken* t = stack.back();
      stack.pop_back();
      if (t != &scanner.Root()) {
        ++visited;
        ASSERT_EQ(t, &scanner.At(visited));
        ASSERT_EQ(t->depth(), t->parent()->depth() + 1);
      }
      std::vector<const PageToken*> children;
      for (const PageToken* c = t->firstChild(); c != nullptr; c = c->nextSibling()) {
        ASSERT_EQ(c->parent(), t);
        children.push_back(c);
      }
      ASSERT_EQ(children.size(), t->childCount());
      stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    EXPECT_EQ(visited, scanner.Count());

    size_t tags = 0;
    for (size_t i = 1; i <= scanner.Count(); ++i) {
      const PageToken& t = scanner.At(i);
      tags += t.tagId() != kTextTokenId ? 1 : 0;
      ASSERT_EQ(t.text().find_first_of("\r\n\t"), std::string_view::npos);
      // What the scan worked out agrees with walking the tree.
      ASSERT_EQ(t.FindEnclosing(kTagA), WalkUp(t, kTagA));
      ASSERT_EQ(t.FindEnclosing(kTagForm), WalkUp(t, kTagForm));
      ASSERT_EQ(t.FindEnclosing(kTagTr), WalkUp(t, kTagTr));
      int column = WalkColumn(t);
      ASSERT_EQ(t.IsColumn(column), column != 0);
    }
    EXPECT_GT(tags, 0u);
    EXPECT_LE(tags, static_cast<size_t>(std::count(html.begin(), html.end(), '<')));
  }
}

TEST(PageScannerFixtures, LinksFormsAndAttributesOnRealMarkup) {
  {
    PageScanner ddg(test::ReadFileBytes(FixturePath("duckduckgo-1.html")));
    const PageToken* title = Find(ddg, "Foo Fighters - Wikipedia");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->GetHref(),
              "//duckduckgo.com/l/?uddg=https%3A%2F%2Fen.wikipedia.org%2Fwiki%2FFoo_Fighters&amp;"
              "rut=8701916177503b50d68d28194e36635bbe7408fca61c1db387768eb39c8affa7");
    EXPECT_EQ(title->parent()->GetAttribute("class"), "result__a");
    EXPECT_EQ(title->parent()->GetAttribute("rel"), "nofollow");
    EXPECT_TRUE(title->parent()->closed());
    const PageToken* query =
        Find(ddg,
             "<input name=\"q\" autocomplete=\"off\" class=\"search__input\" "
             "id=\"search_form_input_homepage\" type=\"text\" value=\"foo\" />");
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(query->GetAttribute("name"), "q");
    EXPECT_EQ(query->GetAttribute("value"), "foo");
    EXPECT_EQ(query->GetFormAction(), "/html/");
  }
  {
    // Re-indented markup: attributes on lines of their own and "</a" and ">" on two lines.
    PageScanner mojeek(test::ReadFileBytes(FixturePath("mojeek-1.html")));
    const PageToken* title = Find(mojeek, "The Modern JavaScript Tutorial");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->GetHref(), "https://javascript.info/");
    EXPECT_EQ(title->parent()->GetAttribute("title"), "https://javascript.info/");
    EXPECT_TRUE(title->parent()->closed());
    const PageToken* end = title->nextSibling();
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->tagId(), kTagA + kEndTagBit);
    EXPECT_THAT(std::string(end->text()), ::testing::MatchesRegex("</a +>"));
  }
  {
    // The search box of this page sits in a table row: its cell is the row's first child.
    PageScanner yandex(test::ReadFileBytes(FixturePath("yandex-1.html")));
    const PageToken* cell = Find(yandex, "<td class=\"search__cell search__input\">");
    ASSERT_NE(cell, nullptr);
    EXPECT_TRUE(cell->IsColumn(1));
    EXPECT_FALSE(cell->IsColumn(2));
    EXPECT_EQ(cell->FindEnclosing(kTagTr)->GetAttribute("class"),
              "search__row suggest2-form__node");
    // The search field, deep inside the first cell, is in column 1; the button cell is next.
    const PageToken* field = nullptr;
    for (size_t i = cell->index(); field == nullptr && i <= yandex.Count(); ++i) {
      if (yandex.At(i).text().starts_with("<input class=\"input__control\"")) {
        field = &yandex.At(i);
      }
    }
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->GetAttribute("value"), "game");
    EXPECT_TRUE(field->IsColumn(1));
    EXPECT_EQ(cell->nextSibling()->GetAttribute("class"), "search__cell search__button");
    EXPECT_TRUE(cell->nextSibling()->IsColumn(2));
  }
  {
    // Related searches: <tr><th><a>..</a></th><td></td><th>... A th is no container, so the
    // link and the th's end tag are children of the row too, and the first td is column 4.
    PageScanner baidu(test::ReadFileBytes(FixturePath("baidu-1.html")));
    const PageToken* link = Find(baidu, "acfun")->parent();
    ASSERT_EQ(link->tagId(), kTagA);
    EXPECT_TRUE(link->IsColumn(6));
    EXPECT_THAT(Find(baidu, "acfun")->GetHref(), ::testing::StartsWith("/s?wd=acfun&rsp=1&"));
    const PageToken* row = link->FindEnclosing(kTagTr);
    ASSERT_NE(row, nullptr);
    int column = 0;
    for (const PageToken* c = row->firstChild(); c != nullptr; c = c->nextSibling()) {
      ++column;
      if (c->tagId() == kTagTd) {
        EXPECT_EQ(column, 4);
        EXPECT_TRUE(c->IsColumn(4));
        break;
      }
    }
  }
}

}  // namespace
}  // namespace tulix
