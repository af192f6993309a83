#include "results/result_sort.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "results/results_fixture.h"

namespace tulix {
namespace {

class ResultSortTest : public test::ResultsTest {
 protected:
  // Adds a result named by its address, with these scores.
  void Add(const std::string& name, int percent, int keywords, int rank, int engines) {
    auto result = std::make_unique<SearchResult>(Hit(m_alpha, "http://" + name + "/", 1));
    result->score.percent = percent;
    result->score.keywords = keywords;
    result->score.rank = rank;
    result->score.engines = engines;
    m_list.Append(std::move(result));
  }
  std::string Order(int key) const {
    std::string order;
    for (const SearchResult* result : SortedResults(m_list, key)) {
      order += result->href.substr(7, 1);
    }
    return order;
  }

  ResultList m_list;
};

TEST_F(ResultSortTest, SignedKeysSortStablyUpAndDown) {
  Add("a", 50, 1, 6, 2);   // average 3
  Add("b", 100, 0, 1, 1);  // average 1
  Add("c", 50, 4, 20, 2);  // average 10
  Add("d", 0, -2, 2, 1);   // average 2
  Add("e", 100, 4, 6, 3);  // average 2
  EXPECT_EQ(Order(kSortByRank), "bdeac");
  EXPECT_EQ(Order(-kSortByRank), "cadeb");
  EXPECT_EQ(Order(kSortByEngines), "eacbd");
  EXPECT_EQ(Order(-kSortByEngines), "bdace");
  EXPECT_EQ(Order(kSortByPercent), "beacd");
  EXPECT_EQ(Order(-kSortByPercent), "dacbe");
  EXPECT_EQ(Order(kSortByKeywords), "ceabd");
  EXPECT_EQ(Order(-kSortByKeywords), "dbace");
  EXPECT_EQ(Order(kSortByCombined), "ebcad");
  EXPECT_EQ(Order(0), "abcde");
  EXPECT_EQ(Order(9), "abcde");
  // The list itself keeps its order.
  EXPECT_EQ(m_list.at(0).href, "http://a/");
}

TEST_F(ResultSortTest, HeadingsNameTheKey) {
  EXPECT_EQ(SortHeadingText(kDefaultSortKey), "Results: Sort by - Combined");
  EXPECT_EQ(SortHeadingText(-kSortByRank), "Results: Sort by - Rank");
  const char* words[] = {"Rank", "Engines", "Percentage", "Combined", "Keywords"};
  for (int key = 1; key <= 5; ++key) {
    EXPECT_STREQ(SortHeadingWord(key), words[key - 1]);
  }
  EXPECT_STREQ(SortHeadingWord(0), "");
  EXPECT_EQ(kSortCommands[1].key, kSortByPercent);
  Add("a", 37, 0, 0, 0);
  EXPECT_EQ(PercentText(m_list.at(0)), "37%");
}

}  // namespace
}  // namespace tulix
