#include "base/token_splitter.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tulix {
namespace {

struct Case {
  const char* text;
  const char* delimiters;
  bool escapes;
  std::string token;
  size_t end;
};

TEST(TokenSplitter, QuotingBlanksAndEnds) {
  const Case cases[] = {
      {"  alpha , beta", ",", false, "alpha", 9},
      {"'a,b',c", ",", false, "a,b", 6},
      {"say \"hi there\" now,x", ",", false, "say \"hi there\" now", 19},
      {",x", ",", false, "", 1},
      {"", ",", false, "", 0},
      {"   ", ",", false, "", 3},
      {"abc", ",", false, "abc", 3},
      {"a b c", " ", false, "a", 2},
      // Text after a closing quote is skipped up to the delimiter.
      {"\"x y\" tail,next", ",", false, "x y", 11},
      // Inside a quote that opens the token, the other quote and blanks are kept.
      {"' a \"b\" ',z", ",", false, " a \"b\" ", 10},
      // Several delimiters: any of them ends the token.
      {"key=value;rest", "=;", false, "key", 4},
      // A line end ends even a quoted token; the quote never swallows the next line.
      {"\"open quote\nnext,line", "\n,", false, "open quote", 12},
      // Tabs count as blanks.
      {"\tword\t\t,", ",", false, "word", 8},
  };
  for (const Case& c : cases) {
    size_t end = 99;
    EXPECT_EQ(GetToken(c.text, c.delimiters, c.escapes, &end), c.token) << c.text;
    EXPECT_EQ(end, c.end) << c.text;
  }
}

TEST(TokenSplitter, Escapes) {
  const std::pair<const char*, std::string> cases[] = {
      {"\\t", "\t"},    {"\\x41", "A"},          {"\\101", "A"},
      {"\\q", "q"},     {"\\n\\r\\v", "\n\r\v"}, {"\\x4G", std::string("\x04G")},
      {"\\X7e", "~"},   {"\\1010", "\x08"},  // four octal digits, kept to 8 bits
      {"\\,x", ",x"},   {"a\\", "a\\"},          {"\\xZ", "xZ"},
      {"'\\'q'", "'q"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(GetToken(text, ",", true), expected) << text;
  }
  EXPECT_EQ(GetToken("a\\tb", ",", false), "a\\tb");
}

TEST(TokenSplitter, PopAndNth) {
  std::string text = "  alpha , beta";
  EXPECT_EQ(PopToken(text, ",", false), "alpha");
  EXPECT_EQ(text, " beta");
  EXPECT_EQ(PopToken(text, ",", false), "beta");
  EXPECT_EQ(text, "");
  EXPECT_EQ(PopToken(text, ",", false), "");

  size_t end = 0;
  EXPECT_EQ(GetNthToken("a b c", " ", 2, false, &end), "c");
  EXPECT_EQ(end, 5u);
  EXPECT_EQ(GetNthToken("a,b,c,d", ",", 1, false, &end), "b");
  EXPECT_EQ(end, 4u);
  EXPECT_EQ(GetNthToken("a,b", ",", 5, false), "");
}

TEST(TokenSplitter, LongTokenIsCutAtTheLimit) {
  std::string text(kMaxTokenLength + 500, 'z');
  text += ",next";
  size_t end = 0;
  std::string token = GetToken(text, ",", false, &end);
  EXPECT_EQ(token.size(), kMaxTokenLength);
  EXPECT_EQ(end, kMaxTokenLength + 501);

  // Blanks past the limit must not eat into the kept characters.
  std::string blanks(kMaxTokenLength, 'y');
  blanks += "     ";
  EXPECT_EQ(GetToken(blanks, ",", false).size(), kMaxTokenLength);
}

TEST(TokenSplitter, ConcurrentCallsDoNotInterfere) {
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      std::string expected = "token" + std::to_string(t);
      std::string text = "  '" + expected + "' , rest\\t" + std::to_string(t);
      for (int i = 0; i < 2000; ++i) {
        std::string copy = text;
        if (PopToken(copy, ",", true) != expected ||
            GetToken(copy, ",", true) != "rest\t" + std::to_string(t)) {
          ++failures[t];
        }
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  for (int f : failures) {
    EXPECT_EQ(f, 0);
  }
}

}  // namespace
}  // namespace tulix
