#include "results/saved_search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "definitions/word_lists.h"
#include "platform/profile_file.h"
#include "results/results_fixture.h"
#include "results/search_hit_sink.h"

namespace tulix {
namespace {

using test::CountOf;

class SavedSearchTest : public test::ResultsTest {};

// Counts the changes it is told of.
class CountingListener : public SearchChangeListener {
 public:
  void SearchChanged(SavedSearch& search) override {
    ++changes;
    lastSearch = &search;
  }
  std::atomic<int> changes{0};
  SavedSearch* lastSearch = nullptr;
};

TEST_F(SavedSearchTest, HitsWithOneAddressMergeIntoOneResult) {
  CountingListener listener;
  m_search->SetChangeListener(&listener);
  m_search->AddEngineHit(Hit(m_alpha, "http://a.test/", 3, "short"));
  m_search->AddEngineHit(Hit(m_beta, "http://a.test/", 5, "a longer title"));
  m_search->AddEngineHit(Hit(m_alpha, "http://a.test/", 7, "tiny"));
  m_search->AddEngineHit(Hit(m_alpha, "http://b.test/", 1));

  ASSERT_EQ(m_search->current().size(), 2u);
  const SearchResult& merged = m_search->current().at(0);
  EXPECT_EQ(merged.engines, (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(merged.score.engines, 3);  // the same engine twice counts twice
  EXPECT_EQ(merged.score.rank, 3 + 5 + 7);
  EXPECT_EQ(merged.text, "<a href=http://a.test/>a longer title</a> ");
  EXPECT_EQ(merged.owner, m_search.get());
  EXPECT_EQ(merged.index, -1);
  EXPECT_EQ(merged.visited, -1);
  EXPECT_EQ(m_search->Found(), 2);  // merging finds nothing new
  EXPECT_EQ(listener.changes, 4);
  EXPECT_EQ(listener.lastSearch, m_search.get());
  EXPECT_EQ(m_search->Title(), "blue whale (2 results)");
}

TEST_F(SavedSearchTest, AnEngineThatKeepsDuplicatesAddsASecondResult) {
  m_search->AddEngineHit(Hit(m_alpha, "http://a.test/", 1));
  m_search->AddEngineHit(Hit(m_dupe, "http://a.test/", 1));
  m_search->AddEngineHit(Hit(m_dupe, "http://a.test/", 2));
  // A later engine that checks duplicates merges into the first of them.
  m_search->AddEngineHit(Hit(m_beta, "http://a.test/", 4));

  ASSERT_EQ(m_search->current().size(), 3u);
  EXPECT_EQ(m_search->Found(), 3);
  EXPECT_EQ(m_search->current().at(0).score.engines, 2);
  EXPECT_EQ(m_search->current().at(0).engines, (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(m_search->current().at(1).score.engines, 1);
  EXPECT_EQ(m_search->current().at(2).score.rank, 2);
}

TEST_F(SavedSearchTest, OnlyWebAddressesBecomeResultsAndHttpsOnlyWhileHttpsIsOn) {
  SearchHitSink sink(*m_search);
  {
    test::ScopedSecureWeb plainHttp(false);
    for (const char* address :
         {"https://a.test/", "ftp://a.test/f", "mailto:x@a.test", "", "a.test"}) {
      EXPECT_TRUE(sink.AcceptHit(Hit(m_alpha, address, 1)));
      sink.AddEngineHit(Hit(m_alpha, address, 1));
    }
    EXPECT_TRUE(m_search->current().empty());
    EXPECT_EQ(m_search->Found(), 0);
  }
  test::ScopedSecureWeb secureWeb(true);
  sink.AddEngineHit(Hit(m_alpha, "https://a.test/", 1));
  sink.AddEngineHit(Hit(m_beta, "https://a.test/", 2));
  // Addresses compare exactly: the same page over http is another result.
  sink.AddEngineHit(Hit(m_beta, "http://a.test/", 3));
  sink.AddEngineHit(Hit(m_beta, "ftp://a.test/f", 4));
  ASSERT_EQ(m_search->current().size(), 2u);
  EXPECT_EQ(m_search->current().at(0).engines, (std::vector<std::string>{"Alpha", "Beta"}));
  ASSERT_TRUE(m_search->SaveAllResults());

  ClearProfileCache();
  auto loaded = NewSearch("", "search", false);
  loaded->LoadSettings();
  loaded->LoadResults();
  ASSERT_EQ(loaded->current().size(), 2u);
  EXPECT_EQ(loaded->current().at(0).href, "https://a.test/");
  EXPECT_EQ(loaded->current().at(1).href, "http://a.test/");
}

TEST_F(SavedSearchTest, TheSinkAsksTheFilterAndHandsOnWhatItAccepts) {
  SearchHitSink sink(*m_search, [](const EngineHit& hit) { return hit.position != 2; });
  EXPECT_TRUE(sink.AcceptHit(Hit(m_alpha, "http://a.test/", 1)));
  EXPECT_FALSE(sink.AcceptHit(Hit(m_alpha, "http://b.test/", 2)));
  sink.AddEngineHit(Hit(m_alpha, "http://a.test/", 1));
  EXPECT_EQ(&sink.search(), m_search.get());
  EXPECT_EQ(m_search->current().size(), 1u);
}

TEST_F(SavedSearchTest, ARerunRevivesMarkedResultsWithFreshScores) {
  m_search->AddEngineHit(Hit(m_alpha, "http://kept.test/", 4, "kept title"));
  m_search->AddEngineHit(Hit(m_beta, "http://kept.test/", 6));
  m_search->AddEngineHit(Hit(m_alpha, "http://gone.test/", 5));
  ASSERT_TRUE(m_search->SaveAllResults());
  SearchResult& kept = m_search->current().at(0);
  kept.visited = 12345;
  EXPECT_FALSE(m_search->MarkResult(kept, 3));
  EXPECT_TRUE(m_search->MarkResult(kept, kMarkIrrelevant));
  const int keptIndex = kept.index;
  // The mark is in the file at once.
  EXPECT_NE(FileText().find("visited=12345\r\nhref=http://kept.test/\r\npercent=0\r\n"
                            "engines=2\r\nkeywords=0\r\nrank=10\r\nmark=2\r\n"),
            std::string::npos)
      << FileText();

  m_search->PrepareRerun();
  EXPECT_TRUE(m_search->current().empty());
  EXPECT_EQ(m_search->previous().size(), 2u);
  EXPECT_EQ(m_search->Found(), 0);
  // The old sections and the list have left the file; the settings have not.
  EXPECT_EQ(CountOf(FileText(), "\nhref="), 0u);
  EXPECT_EQ(CountOf(FileText(), "[results]"), 0u);

  m_search->AddEngineHit(Hit(m_beta, "http://kept.test/", 2, "t"));
  ASSERT_EQ(m_search->current().size(), 1u);
  const SearchResult& revived = m_search->current().at(0);
  EXPECT_EQ(&revived, &kept);
  EXPECT_EQ(revived.score.mark, kMarkIrrelevant);
  EXPECT_EQ(revived.index, keptIndex);
  EXPECT_EQ(revived.visited, 12345);
  EXPECT_EQ(revived.text, "<a href=http://kept.test/>kept title</a> ");  // longer text stays
  EXPECT_EQ(revived.score.engines, 1);
  EXPECT_EQ(revived.score.rank, 2);
  EXPECT_EQ(revived.engines, (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(m_search->Found(), 1);
  EXPECT_EQ(m_search->previous().size(), 1u);
  EXPECT_EQ(m_search->previous().FindFirst("http://kept.test/"), nullptr);

  // A second hit merges into the revived result; the next rerun drops what was not revived.
  m_search->AddEngineHit(Hit(m_alpha, "http://kept.test/", 1));
  EXPECT_EQ(m_search->current().at(0).score.engines, 2);
  EXPECT_EQ(m_search->Found(), 1);
  m_search->PrepareRerun();
  EXPECT_EQ(m_search->previous().size(), 1u);
  EXPECT_NE(m_search->previous().FindFirst("http://kept.test/"), nullptr);
}

TEST_F(SavedSearchTest, ARerunBeforeTheResultsWereShownStillCarriesThemOver) {
  m_search->AddEngineHit(Hit(m_alpha, "http://a.test/", 1));
  m_search->current().at(0).score.mark = kMarkRelevant;
  ASSERT_TRUE(m_search->SaveAllResults());

  auto reopened = NewSearch("blue whale", "search", false);
  reopened->PrepareRerun();
  reopened->AddEngineHit(Hit(m_beta, "http://a.test/", 3));
  ASSERT_EQ(reopened->current().size(), 1u);
  EXPECT_EQ(reopened->current().at(0).score.mark, kMarkRelevant);
  EXPECT_EQ(reopened->current().at(0).index, 0);
}

TEST_F(SavedSearchTest, KeywordsCountEverySearchWordInTheText) {
  struct Case {
    std::string words;
    std::string text;
    int keywords;
    int percent;
  } cases[] = {
      {"car car", "<a href=http://x/>a car</a>", 2, 100},
      {"Blue whale", "<a href=http://x/>BLUE</a> blue Whales", 2, 50},
      {"whale", "<a href=http://x/>BLUE</a> <r>Whale</r>s", 1, 100},
      {"blue whale", "<a href=http://x/>blue-whale</a> (blue)", 3, 100},
      {"", "<a href=http://x/>blue</a>", 0, 0},
      {"+ - /", "<a href=http://x/>blue</a>", 0, 0},
      {"red", "<a href=http://x/>blue</a>", 0, 0},
  };
  for (const Case& c : cases) {
    m_search->settings.name = c.words;
    SearchResult result(Hit(m_alpha, "http://x/", 1));
    result.text = c.text;
    m_search->ScoreKeywords(result);
    EXPECT_EQ(result.score.keywords, c.keywords) << c.words << " in " << c.text;
    EXPECT_EQ(result.score.percent, c.percent) << c.words << " in " << c.text;
  }
}

TEST_F(SavedSearchTest, BadKeywordsLowerTheKeywordScore) {
  m_app->badKeywords = std::make_shared<WeightedWordList>();
  // n = 2: each casino costs (3 * 1000) / 200 = 15, each cheap (3 * 150) / 200 = 2.
  m_app->badKeywords->AddEntries("casino -cheap:150:7");
  m_search->settings.name = "blue whale";
  SearchResult result(Hit(m_alpha, "http://x/", 1));
  result.text = "<a href=http://x/>Blue Casino</a> cheap casino CHEAP whale";
  m_search->ScoreKeywords(result);
  EXPECT_EQ(result.score.keywords, 2 - 2 * 15 - 2 * 2);
  EXPECT_EQ(result.score.percent, 100);

  // Scoring happens as hits arrive.
  m_search->AddEngineHit(Hit(m_alpha, "http://y/", 1, "casino whale"));
  EXPECT_EQ(m_search->current().at(0).score.keywords, 1 - 15);
  EXPECT_EQ(m_search->current().at(0).score.percent, 50);
}

TEST_F(SavedSearchTest, ScoringLongTextsWithManySearchWordsStaysExact) {
  // 10,000 distinct search words and a text of about 300 KB. Compared pairwise this would be
  // half a billion comparisons; the counts must still come out exactly.
  std::string words;
  for (int i = 0; i < 10000; ++i) {
    words += "w" + std::to_string(i) + " ";
  }
  m_search->settings.name = words;
  std::string text = "<a href=http://x/>W1</a>";
  while (text.size() < 300 * 1024) {
    text += " w1 w2 other filler words here";
  }
  SearchResult result(Hit(m_alpha, "http://x/", 1));
  result.text = text;
  m_search->ScoreKeywords(result);
  const int64_t repeats = static_cast<int64_t>(CountOf(text, " w1 "));
  EXPECT_EQ(result.score.keywords, 1 + 2 * repeats);
  EXPECT_EQ(result.score.percent, 0);  // 2 of 10,000 words

  // One word given 10,000 times against a text of that word: the count is beyond nothing.
  m_search->settings.name.clear();
  for (int i = 0; i < 10000; ++i) {
    m_search->settings.name += "w ";
  }
  result.text = "<a href=http://x/>w</a>";
  for (int i = 0; i < 100000; ++i) {
    result.text += " w";
  }
  m_search->ScoreKeywords(result);
  EXPECT_EQ(result.score.keywords, 100001 * 10000);
  EXPECT_EQ(result.score.percent, 100);
}

TEST_F(SavedSearchTest, ResultsSurviveSavingAndLoading) {
  m_search->AddEngineHit(Hit(m_alpha, "http://a.test/", 1, "blue whale song"));
  m_search->AddEngineHit(Hit(m_beta, "http://a.test/", 2));
  m_search->AddEngineHit(Hit(m_beta, "http://b.test/?q=1&r=2", 3));
  m_search->current().at(1).score.mark = kMarkRelevant;
  m_search->current().at(1).visited = 1'100'000'000;
  ASSERT_TRUE(m_search->SaveAllResults());
  ASSERT_TRUE(m_search->SaveSettings());
  EXPECT_EQ(m_search->current().at(0).index, 0);
  EXPECT_EQ(m_search->current().at(1).index, 1);
  const std::string text = FileText();
  // A text with a blank at its end is quoted, or reading would trim the blank.
  EXPECT_NE(text.find("[0]\r\nresult=\"<a href=http://a.test/>blue whale song</a> \"\r\n"
                      "enginelist=Alpha|Beta|\r\nvisited=-1\r\nhref=http://a.test/\r\n"
                      "percent=100\r\nengines=2\r\nkeywords=2\r\nrank=3\r\nmark=0\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[results]\r\n1=0\r\n2=1\r\n"), std::string::npos) << text;

  ClearProfileCache();
  auto loaded = NewSearch("", "search", false);
  loaded->LoadSettings();
  loaded->LoadResults();
  EXPECT_EQ(loaded->settings.name, "blue whale");
  EXPECT_EQ(loaded->Found(), 2);
  ASSERT_EQ(loaded->current().size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const SearchResult& a = m_search->current().at(i);
    const SearchResult& b = loaded->current().at(i);
    EXPECT_EQ(b.index, a.index);
    EXPECT_EQ(b.href, a.href);
    EXPECT_EQ(b.engines, a.engines);
    EXPECT_EQ(b.visited, a.visited);
    EXPECT_EQ(b.text, a.text);
    EXPECT_EQ(b.score.percent, a.score.percent);
    EXPECT_EQ(b.score.engines, a.score.engines);
    EXPECT_EQ(b.score.keywords, a.score.keywords);
    EXPECT_EQ(b.score.rank, a.score.rank);
    EXPECT_EQ(b.score.mark, a.score.mark);
    EXPECT_EQ(b.owner, loaded.get());
  }
  // Loading happens once; a loaded result merges the next hit.
  loaded->LoadResults();
  EXPECT_EQ(loaded->current().size(), 2u);
  loaded->AddEngineHit(Hit(m_alpha, "http://b.test/?q=1&r=2", 9));
  EXPECT_EQ(loaded->current().at(1).score.rank, 12);
}

TEST_F(SavedSearchTest, NewResultsTakeTheNextFreeIndexAndDeletingRenumbersTheList) {
  for (int i = 0; i < 4; ++i) {
    m_search->AddEngineHit(Hit(m_alpha, "http://r" + std::to_string(i) + ".test/", i + 1));
  }
  m_search->current().at(0).index = 7;
  m_search->current().at(2).index = 3;
  ASSERT_TRUE(m_search->SaveAllResults());
  EXPECT_EQ(m_search->current().at(1).index, 8);
  EXPECT_EQ(m_search->current().at(3).index, 9);
  EXPECT_NE(FileText().find("[results]\r\n1=7\r\n2=8\r\n3=3\r\n4=9\r\n"), std::string::npos);

  m_search->DeleteResult(m_search->current().at(1));
  m_search->DeleteResult(m_search->current().at(0));
  const std::string text = FileText();
  EXPECT_NE(text.find("[results]\r\n1=3\r\n2=9\r\n"), std::string::npos) << text;
  EXPECT_EQ(CountOf(text, "[8]"), 0u);
  EXPECT_EQ(CountOf(text, "[7]"), 0u);
  EXPECT_EQ(CountOf(text, "\nhref="), 2u);
  EXPECT_EQ(m_search->current().size(), 2u);
  EXPECT_EQ(m_search->current().FindFirst("http://r0.test/"), nullptr);

  // A result that was never saved leaves the list and nothing else.
  CountingListener listener;
  m_search->SetChangeListener(&listener);
  m_search->AddEngineHit(Hit(m_alpha, "http://new.test/", 1));
  m_search->DeleteResult(m_search->current().at(2), true);
  EXPECT_EQ(listener.changes, 2);
  EXPECT_EQ(m_search->current().size(), 2u);
  EXPECT_NE(FileText().find("[results]\r\n1=3\r\n2=9\r\n"), std::string::npos);
}

TEST_F(SavedSearchTest, DamagedResultsFilesLoadWhatTheyCan) {
  std::string bars(100000, '|');
  test::WriteFileBytes(ToFileSystemPath(SearchFile()),
                       "[Main]\r\nName=whale\r\n"
                       "[results]\r\n1=4\r\n2=missing\r\n3=abc\r\n4=5\r\n5=4\r\n6=Main\r\n"
                       "7=99999999999\r\n8=6\r\n9=\r\n10=7\r\n"
                       "[4]\r\nhref=http://four.test/\r\nenginelist=" +
                           bars +
                           "\r\npercent=-5\r\nengines=99999999999\r\nkeywords=-99999999999\r\n"
                           "rank=12abc\r\nmark=7\r\nvisited=99999999999999999999999\r\n"
                           "[abc]\r\nhref=http://abc.test/\r\nenginelist=A||B|\r\n"
                           "[5]\r\nresult=<a>x</a>\r\n"
                           "[99999999999]\r\nhref=http://huge.test/\r\n"
                           "[6]\r\nhref=http://six.test/\r\nenginelist=A|B|A|C|\r\n"
                           "[7]\r\nhref=http://seven.test/\r\n");
  m_search = NewSearch("", "search", false);
  m_search->LoadResults();
  // [5] has no address, the second 4 is a repeat, "Main" holds no result, the list ends at 9.
  ASSERT_EQ(m_search->current().size(), 4u);
  const SearchResult& four = m_search->current().at(0);
  EXPECT_EQ(four.index, 4);
  EXPECT_TRUE(four.engines.empty());
  EXPECT_EQ(four.score.percent, -5);
  EXPECT_EQ(four.score.engines, INT_MAX);
  EXPECT_EQ(four.score.keywords, INT_MIN);
  EXPECT_EQ(four.score.rank, 0);
  EXPECT_EQ(four.score.mark, 7);
  EXPECT_EQ(four.visited, INT64_MAX);
  const SearchResult& abc = m_search->current().at(1);
  EXPECT_EQ(abc.index, -1);
  EXPECT_EQ(abc.engines, (std::vector<std::string>{"A"}));
  EXPECT_EQ(m_search->current().at(2).index, -1);  // a section name beyond int
  EXPECT_EQ(m_search->current().at(3).engines, (std::vector<std::string>{"A", "B", "C"}));
  // Damaged scores still give a combined score and sort values without overflow.
  EXPECT_EQ(four.CombinedScore(), INT_MIN);
  EXPECT_EQ(four.SortValue(kSortByPercent), -500);

  // Saving gives the unnumbered results fresh indexes and keeps the settings.
  ASSERT_TRUE(m_search->SaveAllResults());
  EXPECT_EQ(abc.index, 7);
  EXPECT_EQ(m_search->current().at(2).index, 8);
  const std::string text = FileText();
  EXPECT_NE(text.find("Name=whale"), std::string::npos);
  EXPECT_EQ(CountOf(text, "[abc]"), 0u);
  EXPECT_NE(text.find("[results]\r\n1=4\r\n2=7\r\n3=8\r\n4=6\r\n"), std::string::npos) << text;
}

TEST_F(SavedSearchTest, TheLargestIndexDoesNotOverflow) {
  m_search->AddEngineHit(Hit(m_alpha, "http://a.test/", 1));
  m_search->AddEngineHit(Hit(m_alpha, "http://b.test/", 1));
  m_search->AddEngineHit(Hit(m_alpha, "http://c.test/", 1));
  m_search->current().at(0).index = INT_MAX;
  m_search->current().at(2).index = 0;
  ASSERT_TRUE(m_search->SaveAllResults());
  EXPECT_EQ(m_search->current().at(1).index, 1);
}

TEST_F(SavedSearchTest, HitsFromManyThreadsAreAllCounted) {
  constexpr int kThreads = 4;
  constexpr int kHitsPerThread = 500;
  constexpr int kAddresses = 300;
  CountingListener listener;
  m_search->SetChangeListener(&listener);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      SearchHitSink sink(*m_search);
      const EngineDefinition* engine = t % 2 == 0 ? m_alpha : m_beta;
      for (int i = 0; i < kHitsPerThread; ++i) {
        sink.AddEngineHit(Hit(engine, "http://h" + std::to_string(i % kAddresses) + ".test/", 1));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(m_search->Found(), kAddresses);
  ASSERT_EQ(m_search->current().size(), static_cast<size_t>(kAddresses));
  int engines = 0;
  int rank = 0;
  for (const auto& result : m_search->current()) {
    engines += result->score.engines;
    rank += result->score.rank;
    EXPECT_EQ(result->engines.size(), 2u);
  }
  EXPECT_EQ(engines, kThreads * kHitsPerThread);
  EXPECT_EQ(rank, kThreads * kHitsPerThread);
  EXPECT_EQ(listener.changes, kThreads * kHitsPerThread);
}

TEST_F(SavedSearchTest, SettingsAreReadWithTheirDefaults) {
  test::WriteFileBytes(ToFileSystemPath(SearchFile()), "[Other]\r\nx=1\r\n");
  m_search->LoadSettings();
  EXPECT_EQ(m_search->settings.name, "_empty_");
  EXPECT_EQ(m_search->settings.category, "_empty_");
  EXPECT_EQ(m_search->settings.perEngine, -1);
  EXPECT_EQ(m_search->settings.shopping, 50);
  EXPECT_EQ(m_search->Query().perEngine, SearchQuery().perEngine);

  m_search->settings = SearchSettings{};
  m_search->settings.name = "car";
  m_search->settings.category = "shops";
  m_search->settings.perEngine = 20;
  m_search->settings.found = 3;
  ASSERT_TRUE(m_search->SaveSettings());
  EXPECT_NE(FileText().find("[Main]\r\nName=car\r\nCategory=shops\r\nType=0\r\nShopping=50\r\n"
                            "EngineCount=-1\r\nPerEngine=20\r\n[ResultSummary]\r\nFound=3\r\n"),
            std::string::npos)
      << FileText();
  EXPECT_EQ(m_search->Query().perEngine, 20);
  EXPECT_EQ(m_search->CategoryName(), "shops");

  // An exact phrase keeps its quotes, as words typed with blanks around keep them.
  for (const char* name : {"\"blue whale\"", " whale ", "'krill'", "\"a\" or \"b\""}) {
    m_search->settings.name = name;
    ASSERT_TRUE(m_search->SaveSettings());
    ClearProfileCache();
    m_search->LoadSettings();
    EXPECT_EQ(m_search->settings.name, name);
  }
}

}  // namespace
}  // namespace tulix
