// The result filter: which engines a search asks, which hits a search job keeps, and which
// results the results view lists in family mode.
//
// A search's shopping slider (1..100, default 50) maps to one of six shopping policies, from
// "eliminate anything that looks like shopping" to "only known shopping sites". A hit is judged
// by the known-site type of its host and by its shopping score (the weights of the
// shopping-keyword list's words in its text); an engine by its own site type, its family
// safety and, in categories limited to the user's domains, its domain list.
//
// The filter takes only the values it reads: the search's Shopping value, its category's
// DomainLimited flag and a result's text. The search and result types pass their own settings
// in through these calls, so the filter does not depend on them.
//
// Ownership: the application object owns the program's one filter (App().resultFilter). The
// filter holds no state of its own: at every call it reads the application's known-site list,
// shopping-keyword list, settings, family flag and dictionary, so a change of a site's type
// takes effect for the next hit. The application must outlive the filter.
//
// Thread safety: AcceptHit and ShoppingScore run on search jobs' worker threads, EngineUsable
// and ShowInFamilyMode on the user-interface thread; all may run at once. The lists and the
// dictionary guard their own lookups with reader-writer locks (a reader never sees a change half
// done), and the application's pointers to them are set before any search runs and never
// replaced afterwards. Settings fields are read as single values, as every worker does.
#pragma once

#include <string_view>

namespace tulix {

class EngineDefinition;
class SearchResult;
struct SearchSettings;
class TulixApplication;
struct EngineHit;

// The six shopping policies.
inline constexpr int kShoppingAggressivelyEliminate = 0;
inline constexpr int kShoppingEliminate = 1;
inline constexpr int kShoppingEliminateNonPreferred = 2;
inline constexpr int kShoppingShowAll = 3;
inline constexpr int kShoppingKnownAndApparent = 4;
inline constexpr int kShoppingKnownOnly = 5;

// The policy of a slider value: below 10 gives 0, 10-19 1, 20-29 2, 30-60 3, 61-89 4, 90 and
// above 5. Values outside 1..100 (an old or edited file) follow the same bounds.
int ShoppingPolicyOf(int shopping);
// The text the search page shows under the slider for a policy; "" for a value that is none.
const char* ShoppingPolicyText(int policy);

// Characters cut from the end of a word before it is looked up among the shopping keywords:
// ".,:;!&()+~#-".
inline constexpr std::string_view kShoppingTrailingTrim = ".,:;!&()+~#-";

class ResultFilter {
 public:
  explicit ResultFilter(TulixApplication& app) : m_app(app) {}

  // The shopping score of a marked-up text: for every word of its plain text (trailing
  // punctuation cut, lower-cased) that is a shopping keyword, the keyword's weight / 100.
  int ShoppingScore(std::string_view hitText) const;
  int ShoppingScore(const EngineHit& hit) const;

  // Whether a search whose Shopping value is `shopping` keeps the hit. A blacklisted host is
  // always refused.
  bool AcceptHit(int shopping, const EngineHit& hit) const;
  bool AcceptHit(const SearchSettings& settings, const EngineHit& hit) const;

  // Whether the engine may be asked by a search whose Shopping value is `shopping`, in a
  // category whose DomainLimited flag is `domainLimited`: enabled, family-safe in family mode,
  // within the user's domains when limited, and of a site type the policy takes.
  bool EngineUsable(const EngineDefinition& engine, int shopping, bool domainLimited) const;
  // The same for a search's settings: its Shopping value and its category's DomainLimited flag
  // (a category that is not installed limits nothing).
  bool EngineUsable(const EngineDefinition& engine, const SearchSettings& settings) const;

  // Whether the results view lists a result with this text: always outside family mode, else
  // only when the text passes the family dictionary's word check (blank and full stop
  // separate words).
  bool ShowInFamilyMode(std::string_view resultText) const;
  bool ShowInFamilyMode(const SearchResult& result) const;

 private:
  bool FamilyModeOn() const;
  int SiteTypeOf(std::string_view href) const;
  bool WithinMyDomains(const EngineDefinition& engine) const;

  TulixApplication& m_app;
};

}  // namespace tulix
