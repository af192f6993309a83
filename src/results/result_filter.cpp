#include "results/result_filter.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/application.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "definitions/site_list.h"
#include "definitions/word_lists.h"
#include "engine/page_scanner.h"
#include "engine/script_actions.h"
#include "family/family_dictionary.h"
#include "results/saved_search.h"
#include "results/search_result.h"

namespace tulix {

namespace {

struct PolicyRow {
  int below;  // first slider value of the next policy
  const char* text;
};

const PolicyRow kPolicies[] = {
    {10, "Aggressively eliminate sites that appear to be shopping sites"},
    {20, "Eliminate sites that appear to be shopping sites"},
    {30, "Eliminate non preferred shopping sites"},
    {61, "Show all sites"},
    {90, "Only show known shopping sites and sites that appear to be shopping sites"},
    {0, "Only show known shopping sites"},
};

constexpr int kPolicyCount = static_cast<int>(std::size(kPolicies));

// Scores below these keep a hit under policies 0 and 1.
constexpr int kAggressiveScoreLimit = 20;
constexpr int kEliminateScoreLimit = 41;

bool IsShopType(int type) {
  return type == kSiteShop || type == kSitePShop;
}

// The text runs of the marked-up text, each behind one blank, so that runs on either side of a
// tag never join into one word.
std::string PlainText(std::string_view markedUp) {
  PageScanner scanner(markedUp);
  std::string plain;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    if (token->tagId() == kTextTokenId) {
      plain.push_back(' ');
      plain.append(token->text());
    }
  }
  return plain;
}

std::string ShoppingKey(std::string word) {
  const size_t end = word.find_last_not_of(kShoppingTrailingTrim);
  word.resize(end == std::string::npos ? 0 : end + 1);
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return word;
}

}  // namespace

int ShoppingPolicyOf(int shopping) {
  for (int policy = 0; policy < kPolicyCount - 1; ++policy) {
    if (shopping < kPolicies[policy].below) {
      return policy;
    }
  }
  return kShoppingKnownOnly;
}

const char* ShoppingPolicyText(int policy) {
  return policy >= 0 && policy < kPolicyCount ? kPolicies[policy].text : "";
}

int ResultFilter::ShoppingScore(std::string_view hitText) const {
  const WeightedWordList* keywords = m_app.shoppingKeywords.get();
  if (keywords == nullptr) {
    return 0;
  }
  int score = 0;
  for (std::string& word : SplitWords(PlainText(hitText), kWordSeparators)) {
    if (std::optional<WeightedWord> entry = keywords->Lookup(ShoppingKey(std::move(word)))) {
      score += entry->weight / 100;
    }
  }
  return score;
}

int ResultFilter::ShoppingScore(const EngineHit& hit) const {
  return ShoppingScore(hit.text);
}

bool ResultFilter::FamilyModeOn() const {
  return m_app.FamilyMode.load(std::memory_order_acquire) != 0;
}

int ResultFilter::SiteTypeOf(std::string_view href) const {
  const SiteList* sites = m_app.sites.get();
  return sites == nullptr ? kSiteNormal : sites->TypeOf(href);
}

bool ResultFilter::AcceptHit(int shopping, const EngineHit& hit) const {
  const int type = SiteTypeOf(hit.address);
  if (type == kSiteBlacklist) {
    return false;
  }
  switch (ShoppingPolicyOf(shopping)) {
    case kShoppingAggressivelyEliminate:
      return type == kSiteNormal && ShoppingScore(hit) < kAggressiveScoreLimit;
    case kShoppingEliminate:
      return type == kSiteNormal && ShoppingScore(hit) < kEliminateScoreLimit;
    case kShoppingEliminateNonPreferred:
      return type != kSiteShop;
    case kShoppingKnownAndApparent:
      return IsShopType(type) || ShoppingScore(hit) > 0;
    case kShoppingKnownOnly:
      return IsShopType(type);
    default:
      return true;
  }
}

bool ResultFilter::WithinMyDomains(const EngineDefinition& engine) const {
  const std::vector<std::string> domains = engine.Data()->DomainList();
  if (domains.empty()) {
    return true;
  }
  const std::vector<std::string> mine = SplitDomains(m_app.settings().MyDomains);
  if (mine.empty()) {
    return true;
  }
  return std::any_of(mine.begin(), mine.end(), [&](const std::string& domain) {
    return std::find(domains.begin(), domains.end(), domain) != domains.end();
  });
}

bool ResultFilter::EngineUsable(const EngineDefinition& engine, int shopping,
                                bool domainLimited) const {
  if (!engine.IsUsable(FamilyModeOn())) {
    return false;
  }
  if (domainLimited && !WithinMyDomains(engine)) {
    return false;
  }
  const int siteType = engine.Data()->siteType;
  switch (ShoppingPolicyOf(shopping)) {
    case kShoppingAggressivelyEliminate:
    case kShoppingEliminate:
      return siteType == kSiteNormal;
    case kShoppingEliminateNonPreferred:
      return siteType == kSiteNormal || siteType == kSitePShop;
    case kShoppingKnownOnly:
      return IsShopType(siteType);
    default:
      return true;
  }
}

bool ResultFilter::ShowInFamilyMode(std::string_view resultText) const {
  if (!FamilyModeOn()) {
    return true;
  }
  const FamilyDictionary* dictionary = m_app.familyDictionary.get();
  return dictionary == nullptr || dictionary->PassesWordCheck(resultText, kFamilySeparators);
}

bool ResultFilter::AcceptHit(const SearchSettings& settings, const EngineHit& hit) const {
  return AcceptHit(settings.shopping, hit);
}

bool ResultFilter::EngineUsable(const EngineDefinition& engine,
                                const SearchSettings& settings) const {
  bool domainLimited = false;
  {
    auto hold = ReadCategoryTree();
    if (const CategoryNode* category = FindCategoryByName(settings.category)) {
      domainLimited = category->domainLimited != 0;
    }
  }
  return EngineUsable(engine, settings.shopping, domainLimited);
}

bool ResultFilter::ShowInFamilyMode(const SearchResult& result) const {
  return ShowInFamilyMode(result.text);
}

}  // namespace tulix
