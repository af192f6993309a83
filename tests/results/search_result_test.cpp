#include "results/search_result.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/browser.h"
#include "platform/clock.h"
#include "platform/profile_file.h"
#include "platform/shell.h"
#include "base/decimal_number.h"
#include "results/result_list.h"
#include "results/results_fixture.h"

namespace tulix {
namespace {

using namespace std::chrono_literals;

class SearchResultTest : public test::ResultsTest {
 protected:
  std::unique_ptr<SearchResult> Scored(int percent, int keywords, int rank, int engines,
                                       int mark = kMarkRanked) {
    auto result = std::make_unique<SearchResult>(Hit(m_alpha, "http://x.test/", 1));
    result->score.percent = percent;
    result->score.keywords = keywords;
    result->score.rank = rank;
    result->score.engines = engines;
    result->score.mark = mark;
    return result;
  }
};

TEST_F(SearchResultTest, CombinedScoreWeighsEveryScoreAndTheMark) {
  EXPECT_EQ(Scored(100, 0, 1, 1)->CombinedScore(), 108);
  EXPECT_EQ(Scored(100, 0, 1, 1, kMarkRelevant)->CombinedScore(), 10108);
  EXPECT_EQ(Scored(100, 0, 1, 1, kMarkIrrelevant)->CombinedScore(), -9892);
  // engines 4: a = 20; average 12 / 4 = 3: c = trunc(20 + 50 + 15 - 3.46) = 81.
  EXPECT_EQ(Scored(50, 3, 12, 4)->CombinedScore(), 81);
  // Nothing merged yet: engines and average count as 1, an unset percent as -1.
  EXPECT_EQ(Scored(-1, 0, 0, 0)->CombinedScore(), 10 - 1 - 2);
  // Negative results are cut towards zero: trunc(10 - 1 - 10 - 2) = -3.
  EXPECT_EQ(Scored(-1, -2, 1, 1)->CombinedScore(), -3);
  // Scores at the ends of int stay within it.
  EXPECT_EQ(Scored(INT_MAX, INT_MAX, INT_MAX, INT_MAX, kMarkRelevant)->CombinedScore(), INT_MAX);
  EXPECT_EQ(Scored(INT_MIN, INT_MIN, INT_MIN, INT_MIN)->CombinedScore(), INT_MIN);
}

TEST_F(SearchResultTest, SortValuesFollowTheirKeys) {
  const auto result = Scored(40, -3, 9, 2);
  EXPECT_EQ(result->SortValue(kSortByRank), 10000 - 4);
  EXPECT_EQ(result->SortValue(kSortByEngines), 2);
  EXPECT_EQ(result->SortValue(kSortByPercent), 4000);
  EXPECT_EQ(result->SortValue(kSortByCombined), result->CombinedScore());
  EXPECT_EQ(result->SortValue(kSortByKeywords), -3);
  EXPECT_EQ(result->SortValue(0), 0);
  EXPECT_EQ(result->SortValue(6), 0);
  EXPECT_EQ(Scored(0, 0, 0, 0)->SortValue(kSortByEngines), 1);
  EXPECT_EQ(Scored(0, 0, 0, 0)->SortValue(kSortByRank), 9999);
  EXPECT_EQ(Scored(INT_MAX, 0, 0, 0)->SortValue(kSortByPercent), int64_t{INT_MAX} * 100);
}

TEST_F(SearchResultTest, DisplayTextsComeFromTheMarkedUpText) {
  SearchResult result(Hit(m_alpha, "http://x.test/", 1));
  result.text =
      "<a href=http://x.test/>Big <r>car</r> show</a> best cars and <r>car</r> parts "
      "<b>bold</b> <a href=http://y.test/>more</a>";
  EXPECT_EQ(result.ResultTitle(), "<a href=http://x.test/>Big car show </a>");
  EXPECT_EQ(result.ResultSummaryText(),
            "<r></r></a>best cars and <r>car </r>parts bold  <a href=http://y.test/>more </a>");
  // The blank between two tags is a text token of its own, with no text.
  EXPECT_EQ(result.ResultPlainText(), "Big car show best cars and car parts bold  more ");
  EXPECT_EQ(result.DisplayHtml(),
            "<b>" + result.ResultTitle() + "</b><p>" + result.ResultSummaryText());

  result.text = "no anchor at all";
  EXPECT_EQ(result.ResultTitle(), "no anchor at all ");
  EXPECT_EQ(result.ResultSummaryText(), "no anchor at all ");
  result.text.clear();
  EXPECT_EQ(result.ResultTitle(), "");
  EXPECT_EQ(result.ResultPlainText(), "");
}

TEST_F(SearchResultTest, LinksLongerThanFiftyCharactersAreCut) {
  SearchResult result(Hit(m_alpha, "http://x.test/", 1));
  const std::string fifty = "http://example.test/" + std::string(30, 'a');
  ASSERT_EQ(fifty.size(), 50u);
  result.href = fifty;
  EXPECT_EQ(result.LinkHtml(), "<a href=\"" + fifty + "\">" + fifty + "</a>");
  result.href = fifty + "b";
  EXPECT_EQ(result.LinkHtml(), "<a href=\"" + fifty + "b\">" + fifty + "...</a>");
}

TEST_F(SearchResultTest, EngineNamesAreWrittenAndReadAsABarSeparatedList) {
  SearchResult result(Hit(m_alpha, "http://x.test/", 2));
  result.Merge(Hit(m_beta, "http://x.test/", 3));
  EXPECT_EQ(result.EngineNames(" "), "Alpha Beta ");
  EXPECT_EQ(result.EngineNames("|"), "Alpha|Beta|");
  ASSERT_TRUE(result.Save(SearchFile(), "3"));
  SearchResult read(SearchFile(), "3");
  EXPECT_EQ(read.engines, (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(read.index, 3);

  for (const auto& [list, names] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"A||B|", {"A"}},
           {"|A|", {}},
           {"", {}},
           {"A|B", {"A", "B"}},
           {"A|B|A|", {"A", "B"}},
       }) {
    WritePrivateProfileString("9", "enginelist", list.c_str(), SearchFile());
    EXPECT_EQ(SearchResult(SearchFile(), "9").engines, names) << list;
  }
  // A result without engines writes an empty list.
  SearchResult none(SearchFile(), "missing");
  EXPECT_EQ(none.EngineNames("|"), "");
  EXPECT_EQ(none.index, -1);
  EXPECT_EQ(none.visited, -1);
  EXPECT_EQ(none.score.percent, -1);
}

TEST_F(SearchResultTest, ASectionWrittenAgainLosesAnOlderText) {
  SearchResult result(Hit(m_alpha, "http://x.test/", 1));
  ASSERT_TRUE(result.Save(SearchFile(), "1"));
  result.text.clear();
  ASSERT_TRUE(result.Save(SearchFile(), "1"));
  EXPECT_EQ(SearchResult(SearchFile(), "1").text, "");
  EXPECT_EQ(test::CountOf(FileText(), "result="), 0u);
}

TEST_F(SearchResultTest, DecimalTextReadsOnlyNumbersAndClamps) {
  EXPECT_EQ(DecimalText(-12), "-12");
  EXPECT_EQ(DecimalText(INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(ParseDecimal64(" 42 "), 42);
  EXPECT_EQ(ParseDecimal64("+7"), 7);
  EXPECT_EQ(ParseDecimal64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseDecimal64("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(ParseDecimal64("-99999999999999999999999"), INT64_MIN);
  EXPECT_EQ(ParseDecimalInt("3000000000"), INT_MAX);
  for (const char* bad : {"", "-", "abc", "12abc", "1 2", "0x10", "99999999999999999999x"}) {
    EXPECT_FALSE(ParseDecimal64(bad).has_value()) << bad;
  }
  EXPECT_EQ(SaturatingAdd(INT64_MAX, 1), INT64_MAX);
  EXPECT_EQ(SaturatingMultiply(INT64_MIN, 2), INT64_MIN);
  EXPECT_EQ(SaturatingMultiply(-3, INT64_MAX), INT64_MIN);
}

TEST_F(SearchResultTest, TheListIndexFollowsEveryChange) {
  ResultList list;
  auto add = [&](const std::string& address) -> SearchResult& {
    return list.Append(std::make_unique<SearchResult>(Hit(m_alpha, address, 1)));
  };
  SearchResult& first = add("http://a/");
  SearchResult& other = add("http://b/");
  SearchResult& second = add("http://a/");
  SearchResult& third = add("http://a/");
  EXPECT_EQ(list.FindFirst("http://a/"), &first);
  EXPECT_EQ(list.CountOf("http://a/"), 3u);
  EXPECT_EQ(list.FindFirst("http://A/"), nullptr);  // addresses compare exactly

  EXPECT_TRUE(list.Delete(first));
  EXPECT_EQ(list.FindFirst("http://a/"), &second);
  std::unique_ptr<SearchResult> taken = list.Take(second);
  EXPECT_EQ(taken.get(), &second);
  EXPECT_EQ(list.FindFirst("http://a/"), &third);
  EXPECT_EQ(list.Take(second), nullptr);  // no longer here
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(&list.at(0), &other);
  EXPECT_EQ(&list.at(1), &third);

  // Moved to another list, results keep their order and are found there.
  ResultList moved;
  for (auto& result : list.RemoveAll()) {
    moved.Append(std::move(result));
  }
  moved.Append(std::move(taken));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.FindFirst("http://b/"), nullptr);
  EXPECT_EQ(moved.FindFirst("http://a/"), &third);
  EXPECT_EQ(moved.CountOf("http://a/"), 2u);
  moved.DeleteAll();
  EXPECT_EQ(moved.FindFirst("http://a/"), nullptr);
}

// Records what would be opened instead of starting anything.
class RecordingShell : public ShellLauncher {
 public:
  ExecutableLookup FindExecutable(const std::string&) override { return {}; }
  bool StartProcess(const std::vector<std::string>&) override { return true; }
  bool Open(const std::string& target) override {
    std::lock_guard lock(m_mutex);
    opened.push_back(target);
    return true;
  }
  std::vector<std::string> Opened() {
    std::lock_guard lock(m_mutex);
    return opened;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> opened;
};

TEST_F(SearchResultTest, VisitingOpensTheAddressAndSavesTheVisitTime) {
  auto shell = std::make_shared<RecordingShell>();
  SetShellLauncher(shell);
  m_app->settings().BrowserNewWindow = 0;
  ManualClock clock(1'234'567'890);
  ScopedClock scopedClock(clock);

  m_search->AddEngineHit(Hit(m_alpha, "http://visit.test/", 1));
  m_search->AddEngineHit(Hit(m_alpha, "http://unsaved.test/", 1));
  ASSERT_TRUE(m_search->SaveAllResults());
  SearchResult& saved = m_search->current().at(0);
  EXPECT_FALSE(saved.OpensLocally());
  saved.Visit();
  EXPECT_TRUE(WaitForBrowserRequests(20s));
  EXPECT_EQ(shell->Opened(), (std::vector<std::string>{"http://visit.test/"}));
  EXPECT_EQ(saved.visited, 1'234'567'890);
  ClearProfileCache();
  EXPECT_EQ(SearchResult(SearchFile(), "0").visited, 1'234'567'890);

  // A result that has no section yet is visited without writing one.
  m_search->AddEngineHit(Hit(m_alpha, "http://new.test/", 1));
  SearchResult& fresh = m_search->current().at(2);
  clock.AdvanceSeconds(5);
  fresh.Visit();
  EXPECT_TRUE(WaitForBrowserRequests(20s));
  EXPECT_EQ(fresh.visited, 1'234'567'895);
  EXPECT_EQ(test::CountOf(FileText(), "http://new.test/"), 0u);
  SetShellLauncher(nullptr);

  // The first engine decides whether the page is downloaded first.
  SearchResult local(Hit(m_beta, "http://x.test/", 1));
  local.Merge(Hit(m_alpha, "http://x.test/", 1));
  EXPECT_TRUE(local.OpensLocally());
  local.engines = {"Nobody"};
  EXPECT_FALSE(local.OpensLocally());
  local.engines.clear();
  EXPECT_FALSE(local.OpensLocally());
}

}  // namespace
}  // namespace tulix
