#include "results/result_filter.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <thread>

#include "definitions/categories_fixture.h"
#include "definitions/site_list.h"
#include "definitions/word_lists.h"
#include "engine/script_actions.h"
#include "family/family_dictionary.h"
#include "results/saved_search.h"

namespace tulix {
namespace {

class ResultFilterTest : public test::CategoriesTest {
 protected:
  void SetUp() override {
    CategoriesTest::SetUp();
    m_app->sites = std::make_shared<SiteList>();
    m_app->shoppingKeywords = std::make_shared<WeightedWordList>();
    m_app->shoppingKeywords->AddEntries("price buy cheap:500 bargain:50");
    for (const char* value : {"Shop shop.example", "PShop preferred.example",
                              "Blacklist bad.example", "Normal plain.example"}) {
      m_app->sites->AddFromString(value, true);
    }
    m_filter = std::make_unique<ResultFilter>(*m_app);
  }
  void TearDown() override {
    m_filter.reset();
    CategoriesTest::TearDown();
  }

  bool Accept(int shopping, const std::string& host, const std::string& text) const {
    EngineHit hit;
    hit.address = "http://" + host + "/page";
    hit.text = text;
    return m_filter->AcceptHit(shopping, hit);
  }
  int Score(const std::string& text) const { return m_filter->ShoppingScore(text); }

  std::unique_ptr<ResultFilter> m_filter;
};

TEST_F(ResultFilterTest, SliderValuesMapToPoliciesAtTheirEdges) {
  const std::pair<int, int> cases[] = {
      {INT_MIN, 0}, {-5, 0}, {0, 0},  {9, 0},  {10, 1}, {19, 1},  {20, 2},  {29, 2},
      {30, 3},      {60, 3}, {61, 4}, {89, 4}, {90, 5}, {100, 5}, {150, 5}, {INT_MAX, 5}};
  for (const auto& [slider, policy] : cases) {
    EXPECT_EQ(ShoppingPolicyOf(slider), policy) << slider;
  }
  EXPECT_STREQ(ShoppingPolicyText(0),
               "Aggressively eliminate sites that appear to be shopping sites");
  EXPECT_STREQ(ShoppingPolicyText(3), "Show all sites");
  EXPECT_STREQ(ShoppingPolicyText(5), "Only show known shopping sites");
  EXPECT_STREQ(ShoppingPolicyText(6), "");
}

TEST_F(ResultFilterTest, ScoreCountsShoppingWordsOfThePlainText) {
  EXPECT_EQ(Score("<a href=\"http://x/\">Best price</a> buy now"), 20);
  EXPECT_EQ(Score("price price"), 20);  // every occurrence counts
  EXPECT_EQ(Score("PRICE. Buy! cheap:"), 25);
  EXPECT_EQ(Score(".price :buy !cheap"), 0);  // leading punctuation stays on the word
  EXPECT_EQ(Score("<b>price</b>buy"), 20);    // text runs on either side of a tag stay apart
  EXPECT_EQ(Score("price-buy,cheap"), 25);    // word separators split
  EXPECT_EQ(Score("bargain"), 0);             // weight 50 gives nothing
  EXPECT_EQ(Score("prices buying"), 0);
}

TEST_F(ResultFilterTest, HitsFollowTheShoppingPolicyAndSiteType) {
  // Show all: only the blacklist refuses.
  EXPECT_FALSE(Accept(50, "bad.example", "nothing"));
  EXPECT_TRUE(Accept(50, "shop.example", "price buy cheap"));
  EXPECT_TRUE(Accept(50, "unknown.example", "nothing"));
  EXPECT_TRUE(Accept(50, "BAD.example", "nothing"));  // host names compare exactly

  // Policy 0: known shops go, and a score of 20 is too much.
  EXPECT_FALSE(Accept(5, "unknown.example", "Good price, buy here"));
  EXPECT_TRUE(Accept(5, "unknown.example", "Good price here"));
  EXPECT_FALSE(Accept(5, "preferred.example", "nothing"));
  EXPECT_TRUE(Accept(5, "plain.example", "cheap bargain"));  // 5

  // Policy 1: up to 40.
  EXPECT_TRUE(Accept(15, "unknown.example", "price buy price buy"));
  EXPECT_FALSE(Accept(15, "unknown.example", "price buy price buy price"));
  EXPECT_FALSE(Accept(15, "shop.example", "nothing"));

  // Policy 2: plain shops go, preferred ones stay.
  EXPECT_FALSE(Accept(25, "shop.example", "nothing"));
  EXPECT_TRUE(Accept(25, "preferred.example", "nothing"));
  EXPECT_TRUE(Accept(25, "unknown.example", "price buy price buy price"));

  // Policy 4: known shops, or at least one shopping word worth something.
  EXPECT_TRUE(Accept(70, "shop.example", "nothing"));
  EXPECT_TRUE(Accept(70, "preferred.example", "nothing"));
  EXPECT_FALSE(Accept(70, "unknown.example", "nothing"));
  EXPECT_FALSE(Accept(70, "unknown.example", "bargain"));
  EXPECT_TRUE(Accept(70, "unknown.example", "buy"));

  // Policy 5: known shops only.
  EXPECT_TRUE(Accept(95, "shop.example", "nothing"));
  EXPECT_TRUE(Accept(95, "preferred.example", "nothing"));
  EXPECT_FALSE(Accept(95, "unknown.example", "price buy cheap"));
  EXPECT_FALSE(Accept(95, "bad.example", "nothing"));

  // A change of a site's type counts for the next hit.
  ASSERT_TRUE(m_app->sites->SetHostType("unknown.example", kSiteBlacklist));
  EXPECT_FALSE(Accept(50, "unknown.example", "nothing"));
}

TEST_F(ResultFilterTest, EnginesFollowFamilyModeDomainsAndSiteType) {
  Write("web\\plain.ini", "[main]\nsitetype=0\n");
  Write("web\\shop.ini", "[main]\nsitetype=1\n");
  Write("web\\pshop.ini", "[main]\nsitetype=2\n");
  Write("web\\unsafe.ini", "[main]\nFamilySafe=0\n");
  Write("web\\local.ini", "[main]\nDomains=uk; com\n");
  Write("web\\gone.ini", "[main]\n");
  m_app->categoryTree = ScanCategoryTree();
  auto engine = [&](const char* name) -> const EngineDefinition& {
    auto* found =
        dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find(std::string("web\\") + name));
    EXPECT_NE(found, nullptr) << name;
    found->Load();
    return *found;
  };
  const EngineDefinition& plain = engine("plain");
  const EngineDefinition& shop = engine("shop");
  const EngineDefinition& pshop = engine("pshop");
  const EngineDefinition& unsafe = engine("unsafe");
  const EngineDefinition& local = engine("local");
  const_cast<EngineDefinition&>(engine("gone")).SetDisabled(true);
  const EngineDefinition& gone = engine("gone");

  auto usable = [&](const EngineDefinition& e, int shopping) {
    return m_filter->EngineUsable(e, shopping, false);
  };
  for (int shopping : {5, 15}) {
    EXPECT_TRUE(usable(plain, shopping));
    EXPECT_FALSE(usable(shop, shopping));
    EXPECT_FALSE(usable(pshop, shopping));
  }
  EXPECT_TRUE(usable(plain, 25));
  EXPECT_FALSE(usable(shop, 25));
  EXPECT_TRUE(usable(pshop, 25));
  for (int shopping : {50, 70}) {
    EXPECT_TRUE(usable(plain, shopping) && usable(shop, shopping) && usable(pshop, shopping));
  }
  EXPECT_FALSE(usable(plain, 95));
  EXPECT_TRUE(usable(shop, 95));
  EXPECT_TRUE(usable(pshop, 95));
  EXPECT_FALSE(usable(gone, 50));

  EXPECT_TRUE(usable(unsafe, 50));
  m_app->FamilyMode = 1;
  EXPECT_FALSE(usable(unsafe, 50));
  EXPECT_TRUE(usable(plain, 50));
  m_app->FamilyMode = 0;

  // The domain limit: only in limited categories, never with no domains of the user's own.
  auto limited = [&](const EngineDefinition& e) { return m_filter->EngineUsable(e, 50, true); };
  EXPECT_TRUE(limited(local));
  m_app->settings().MyDomains = "de";
  EXPECT_FALSE(limited(local));
  EXPECT_TRUE(usable(local, 50));
  EXPECT_TRUE(limited(plain));  // an engine without domains is never limited
  m_app->settings().MyDomains = "de, com";
  EXPECT_TRUE(limited(local));
  m_app->settings().MyDomains = "UK";
  EXPECT_FALSE(limited(local));
}

TEST_F(ResultFilterTest, SearchSettingsTakeTheDomainLimitOfTheirCategory) {
  Write("web.cat", "[main]\n");
  Write("open.cat", "[main]\nDomainLimited=0\n");
  Write("web\\local.ini", "[main]\nDomains=uk\n");
  m_app->categoryTree = ScanCategoryTree();
  auto* local = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\local"));
  ASSERT_NE(local, nullptr);
  local->Load();
  m_app->settings().MyDomains = "de";

  SearchSettings search;
  search.category = "web";
  EXPECT_FALSE(m_filter->EngineUsable(*local, search));
  search.category = "open";
  EXPECT_TRUE(m_filter->EngineUsable(*local, search));
  search.category = "nowhere";
  EXPECT_TRUE(m_filter->EngineUsable(*local, search));
  search.category = "web";
  search.shopping = 95;  // only shopping engines
  m_app->settings().MyDomains = "uk";
  EXPECT_FALSE(m_filter->EngineUsable(*local, search));
}

TEST_F(ResultFilterTest, FamilyModeHidesResultsThatHitTheDictionary) {
  EXPECT_TRUE(m_filter->ShowInFamilyMode("cat"));  // no dictionary at all
  m_app->familyDictionary = std::make_shared<FamilyDictionary>();
  ASSERT_TRUE(m_app->familyDictionary->AddWord("cat", kFullWordEntry, kLevelBlock));
  EXPECT_TRUE(m_filter->ShowInFamilyMode("a cat."));
  m_app->FamilyMode = 1;
  EXPECT_FALSE(m_filter->ShowInFamilyMode("a cat."));
  EXPECT_TRUE(m_filter->ShowInFamilyMode("concat"));
}

TEST_F(ResultFilterTest, HitsAreJudgedWhileTheListsChange) {
  // A worker judges hits while the lists are reloaded and edited; each read sees a whole list.
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i) {
      Accept(70, "unknown.example", "price buy");
      Accept(5, "shop.example", "cheap");
    }
  });
  for (int i = 0; i < 200; ++i) {
    WeightedWordList fresh;
    fresh.AddEntries(i % 2 ? "price buy" : "cheap:500");
    m_app->shoppingKeywords->Swap(fresh);
    m_app->sites->SetHostType("unknown.example", i % 4);
  }
  worker.join();
  EXPECT_EQ(Score("price buy cheap"), 20);  // the last list loaded
}

}  // namespace
}  // namespace tulix
