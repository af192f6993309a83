#include "definitions/word_lists.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "platform/paths.h"
#include "test_support.h"

namespace tulix {
namespace {

using Words = std::vector<std::string>;

TEST(WordLists, SplitWordsUsesEverySeparatorAsOneByte) {
  // Each separator of the set between two words, the pound sign as the single byte 0xA3.
  const std::string separators = ",;*&'()[]-+=^/\\|#~\xA3$ ";
  for (char sep : separators) {
    std::string text = std::string("ab") + sep + "cd";
    EXPECT_EQ(SplitWords(text, kWordSeparators), (Words{"ab", "cd"})) << "separator " << +sep;
  }
  EXPECT_EQ(kWordSeparators.size(), separators.size());

  EXPECT_EQ(SplitWords("  (Cheap) price: $5, \xA3"
                       "4!",
                       kWordSeparators),
            (Words{"Cheap", "price:", "5", "4!"}));
  // Other high bytes are letters: the UTF-8 pound sign leaves its lead byte on the word.
  EXPECT_EQ(SplitWords("caf\xE9 x\xC2\xA3y", kWordSeparators), (Words{"caf\xE9", "x\xC2", "y"}));
  EXPECT_EQ(SplitWords("", kWordSeparators), Words{});
  EXPECT_EQ(SplitWords(",;; ", kWordSeparators), Words{});
  EXPECT_EQ(SplitWords("one.two three", " ."), (Words{"one", "two", "three"}));
}

TEST(WordLists, SplitDomainsStopsAtTheFirstEmptyPiece) {
  EXPECT_EQ(SplitDomains("uk,de"), (Words{"uk", "de"}));
  EXPECT_EQ(SplitDomains("co.uk; de:fr*it&es"), (Words{"co.uk", "de", "fr", "it", "es"}));
  // Blanks before a piece are skipped, but a blank after one is its separator, so what follows
  // up to the next separator is an empty piece.
  EXPECT_EQ(SplitDomains("uk , de"), (Words{"uk"}));
  EXPECT_EQ(SplitDomains("uk de"), (Words{"uk", "de"}));
  EXPECT_EQ(SplitDomains("uk,,de"), (Words{"uk"}));
  EXPECT_EQ(SplitDomains(",uk"), Words{});
  EXPECT_EQ(SplitDomains(""), Words{});
  EXPECT_EQ(SplitDomains("   "), Words{});
  EXPECT_EQ(SplitDomains("uk,"), (Words{"uk"}));
}

struct EntryCase {
  const char* text;
  const char* word;
  char sign;
  int weight;
  int level;
};

TEST(WordLists, EntryTextGivesSignWordWeightAndLevel) {
  const EntryCase cases[] = {
      {"-casino:500", "casino", '-', 500, 100},
      {"sale::20", "sale", ' ', 1000, 20},
      {"+cheap:10:5", "cheap", '+', 10, 5},
      {"word", "word", ' ', 1000, 100},
      {"word:", "word", ' ', 1000, 100},
      {"search:-100", "search", ' ', -100, 100},
      {"+", "", '+', 1000, 100},
      {"-:7", "", '-', 7, 100},
      // As the C library reads numbers: digits up to the first other character, none gives 0.
      {"w:12x:7y", "w", ' ', 12, 7},
      {"w:abc", "w", ' ', 0, 100},
      // Out of range numbers are clamped, never undefined.
      {"w:99999999999999999999:-99999999999999999999", "w", ' ', INT_MAX, INT_MIN},
      // Only a leading sign is a sign.
      {"a-b+", "a-b+", ' ', 1000, 100},
      {"--x", "-x", '-', 1000, 100},
  };
  for (const EntryCase& c : cases) {
    WeightedWord w = WeightedWord::Parse(c.text);
    EXPECT_EQ(w.word, c.word) << c.text;
    EXPECT_EQ(w.sign, c.sign) << c.text;
    EXPECT_EQ(w.weight, c.weight) << c.text;
    EXPECT_EQ(w.level, c.level) << c.text;
  }
}

TEST(WordLists, AddingAKnownWordReplacesTheWholeEntryInPlace) {
  WeightedWordList list;
  list.AddEntries("first cheap:30:5 last");
  list.AddEntry("+cheap:10");
  ASSERT_EQ(list.size(), 3);
  EXPECT_EQ(list.Find("cheap"), 1);
  auto cheap = list.Get(1);
  ASSERT_TRUE(cheap.has_value());
  EXPECT_EQ(cheap->sign, '+');
  EXPECT_EQ(cheap->weight, 10);
  EXPECT_EQ(cheap->level, 100);

  // Words compare exactly: another case is another entry, and a sign is not part of the word.
  list.AddEntry("Cheap");
  list.AddEntry("-first");
  EXPECT_EQ(list.size(), 4);
  EXPECT_EQ(list.Find("Cheap"), 3);
  EXPECT_EQ(list.Lookup("first")->sign, '-');
  EXPECT_EQ(list.Find("+cheap"), -1);
  EXPECT_FALSE(list.Lookup("missing").has_value());
  EXPECT_FALSE(list.Get(4).has_value());
  EXPECT_FALSE(list.Get(-1).has_value());

  list.RemoveAll();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.Find("first"), -1);
}

TEST(WordLists, AddEntriesTakesBlankSeparatedEntriesInOrder) {
  WeightedWordList list;
  list.AddEntries("  search:-100   site:-100 \t+buy  ");
  std::vector<WeightedWord> entries = list.Snapshot();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].word, "search");
  EXPECT_EQ(entries[0].weight, -100);
  EXPECT_EQ(entries[1].word, "site");
  EXPECT_EQ(entries[2].word, "buy");
  EXPECT_EQ(entries[2].sign, '+');

  // Blanks alone add nothing; a lone sign is an entry with an empty word.
  WeightedWordList blanks;
  blanks.AddEntries("    ");
  blanks.AddEntries("");
  EXPECT_TRUE(blanks.empty());
  blanks.AddEntries("- +");
  ASSERT_EQ(blanks.size(), 1);
  EXPECT_EQ(blanks.Get(0)->word, "");
  EXPECT_EQ(blanks.Get(0)->sign, '+');

  std::vector<std::string> seen;
  list.ForEach([&seen](const WeightedWord& w) { seen.push_back(w.word); });
  EXPECT_EQ(seen, (Words{"search", "site", "buy"}));
}

class KeywordFileTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope = std::make_unique<ScopedApplication>(*m_app);
    m_app->badKeywords = std::make_shared<WeightedWordList>();
    m_app->shoppingKeywords = std::make_shared<WeightedWordList>();
    std::filesystem::create_directories(ToFileSystemPath(GetCategoriesFolder()));
  }
  void TearDown() override {
    m_scope.reset();
    m_app.reset();
    TulixTest::TearDown();
  }
  void WriteKeywords(std::string_view text) {
    test::WriteFileBytes(ToFileSystemPath(GetKeywordsFile()), text);
  }

  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

TEST_F(KeywordFileTest, BothListsLoadAndReloadFromKeywordsFile) {
  WriteKeywords(
      "[main]\r\nbadkeywords=-casino:500 porn\r\nShoppingKeywords=price buy:2000 sale::20\r\n");
  LoadBadKeywords();
  LoadShoppingKeywords();
  EXPECT_EQ(App().badKeywords->size(), 2);
  EXPECT_EQ(App().badKeywords->Lookup("casino")->weight, 500);
  ASSERT_EQ(App().shoppingKeywords->size(), 3);
  EXPECT_EQ(App().shoppingKeywords->Lookup("buy")->weight, 2000);
  EXPECT_EQ(App().shoppingKeywords->Lookup("sale")->level, 20);

  // A reload after an update replaces the list; nothing of the old one stays.
  WriteKeywords("[main]\nbadkeywords=gamble\n");
  LoadBadKeywords();
  LoadShoppingKeywords();
  ASSERT_EQ(App().badKeywords->size(), 1);
  EXPECT_EQ(App().badKeywords->Find("casino"), -1);
  EXPECT_TRUE(App().shoppingKeywords->empty());
}

TEST_F(KeywordFileTest, MissingEmptyBinaryOrHugeFilesNeverCrash) {
  LoadBadKeywords();  // no file at all
  EXPECT_TRUE(App().badKeywords->empty());

  WriteKeywords("");
  LoadShoppingKeywords();
  EXPECT_TRUE(App().shoppingKeywords->empty());

  std::string binary;
  for (int i = 0; i < 4096; ++i) {
    binary += static_cast<char>((i * 131 + 7) % 256);
  }
  WriteKeywords("[main]\nbadkeywords=" + binary + "\n" + binary);
  LoadBadKeywords();
  LoadShoppingKeywords();

  // A value longer than 9,999 characters is cut there: the entries wholly inside the first
  // 9,999 characters are read, none beyond.
  std::string value;
  int wholeEntries = 0;
  for (int i = 0; value.size() < 30000; ++i) {
    std::string entry = "w" + std::to_string(i);
    if (value.size() + entry.size() <= kMaxKeywordValue) {
      wholeEntries = i + 1;
    }
    value += entry + " ";
  }
  WriteKeywords("[main]\nbadkeywords=" + value + "\n");
  LoadBadKeywords();
  int loaded = App().badKeywords->size();
  EXPECT_GE(loaded, wholeEntries);
  EXPECT_LE(loaded, wholeEntries + 1);  // the last one may be a cut piece
  EXPECT_EQ(App().badKeywords->Find("w" + std::to_string(wholeEntries + 1)), -1);
}

TEST_F(KeywordFileTest, ReadersNeverSeeAReloadHalfDone) {
  const std::string first = "[main]\nshoppingkeywords=a b c d\n";
  // Different sizes, so the profile cache always sees the file change.
  const std::string second = "[main]\nshoppingkeywords=ww x y z\n";
  WriteKeywords(first);
  LoadShoppingKeywords();
  std::shared_ptr<WeightedWordList> list = App().shoppingKeywords;

  std::atomic<bool> done{false};
  std::atomic<int> badSnapshots{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        std::vector<WeightedWord> seen = list->Snapshot();
        bool firstSet = seen.size() == 4 && seen[0].word == "a" && seen[3].word == "d";
        bool secondSet = seen.size() == 4 && seen[0].word == "ww" && seen[3].word == "z";
        if (!firstSet && !secondSet) {
          ++badSnapshots;
        }
        list->Find("c");
      }
    });
  }
  for (int i = 0; i < 100; ++i) {
    WriteKeywords(i % 2 == 0 ? second : first);
    LoadShoppingKeywords();
  }
  done = true;
  for (auto& t : readers) {
    t.join();
  }
  EXPECT_EQ(badSnapshots.load(), 0);
}

}  // namespace
}  // namespace tulix
