// Engine definitions: one per ".ini" file in the category tree, the leaves below the
// categories. A definition says how the first request of a search is built, how query words
// are written into it, which script walks the returned pages and which properties decide
// whether and when the engine is asked.
//
// The values read from the file live in an immutable EngineData record that the engine holds
// through a shared_ptr. Load() builds a whole new record and swaps it in under a small lock, so
// a search job that took Data() keeps a complete, unchanging record (and its compiled address
// pattern) for as long as it runs, however often an install rewrites and reloads the engine.
//
// Ownership: the category tree owns its engines. EngineData records are shared by the engine
// and every job that holds one.
//
// Thread safety: Load, SaveUserValues, SetUserValues and the tree operations run on one thread
// at a time (the user-interface thread, or the upgrade job's worker while installing). Data(),
// the disabled flag and the priority may be read from any thread at any time. What an engine
// reads of its category (keywords, the category file) is copied under the category tree's
// shared hold (category.h), so a request may be built while an install runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/tree.h"

namespace tulix {

class CategoryNode;
class WeightedWordList;

// A compiled result-address pattern (Perl syntax, case-sensitive). Immutable after
// construction, so any number of threads may match with it at once. The regular-expression
// library stays inside the .cpp file: only this small class is seen by the rest of the program.
class HrefPattern {
 public:
  // Compiles `pattern`; valid() tells whether it compiled, error() why not.
  explicit HrefPattern(std::string_view pattern);
  ~HrefPattern();
  HrefPattern(const HrefPattern&) = delete;
  HrefPattern& operator=(const HrefPattern&) = delete;

  bool valid() const { return m_impl != nullptr; }
  const std::string& error() const { return m_error; }
  // Searches `text`; on a match, `*address` receives the first sub-expression ("" when the
  // pattern has none or it took no part in the match). False when the pattern is invalid or
  // nothing matches, or when the matcher gives up on a pathological text.
  bool Find(std::string_view text, std::string* address) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
  std::string m_error;
};

// One request a search job makes. The template fields keep object and extra before the
// placeholders were replaced, so that a request can be built again.
struct RequestSpec {
  std::string variables;  // name=value pairs joined by "&", set when the job takes the request
  int verb = 1;           // 0 POST, 1 GET
  bool secure = false;    // over https (only ever set while https is on)
  uint16_t port = 80;
  std::string object;  // path and query part
  std::string host;
  std::string referer;
  std::string extra;       // form data of a POST
  std::string startState;  // script state that walks the page; "" = go on where the script was
  std::string body;        // POST body, prepared when the request is sent
  std::string templateExtra;
  std::string templateObject;
};

// Search types.
inline constexpr int kSearchAllWords = 0;
inline constexpr int kSearchAnyWords = 1;
inline constexpr int kSearchExactPhrase = 2;

// What an engine needs to know about the search it takes part in.
struct SearchQuery {
  std::string text;  // the search words as the user typed them
  int type = kSearchAllWords;
  int perEngine = 50;    // results wanted from each engine
  std::string category;  // the search's category name; "" or an unknown name means "web"
};

// What the running script contributes to placeholder substitution. Without a runner the stored
// value is empty and the page counter is the engine's `page` start value.
struct ScriptCounters {
  std::string storedValue;  // the value last stored by the script's SET action
  int page = 1;
};

// One instruction line of a script state, its five fields split.
struct ScriptLine {
  std::string instruction;
  std::string nextState;
  std::string argument;
  std::string action;
  std::string actionArgument;
};

// Searches failed in a row after which an engine rests, and for how long.
inline constexpr int kFailedSearchesBeforeRest = 3;
inline constexpr int64_t kFailedEngineRestSeconds = 600;

// Priority of an engine that must not run in a search.
inline constexpr int kEngineNotInSearch = 99999999;

// Everything Load() reads from the file; immutable once published.
struct EngineData {
  std::string filePath;
  std::string stateFilePath;
  // [main] properties
  int trimLeadingNumbers = 1;
  int local = 0;
  int translateHref = 0;
  int siteType = 0;
  int casePolicy = 0;
  int hrefIndex = 1;
  int page = 1;
  int visitHome = 0;
  int checkDuplicates = 1;
  int categoryKeys = 1;
  std::string querySub = "%Q";
  std::string resultSub = "%R";
  std::string storedSub = "%S";
  std::string pageSub = "%P";
  std::string href;
  std::string name;
  std::string keywords;
  std::string home;
  std::string host;
  bool secure = false;  // scheme=https while https is on
  std::string categoryKeySet;
  std::string statePath;
  std::string resultHref = "%R";
  // Compiled href; null when href is empty or did not compile.
  std::shared_ptr<const HrefPattern> hrefPattern;
  // Per-user values (layered lookup).
  int familySafe = 1;
  int order = 500;
  std::string domains;

  bool hasHrefPattern() const { return hrefPattern != nullptr; }
  // Domains split at the domain separators.
  std::vector<std::string> DomainList() const;
};

class EngineDefinition : public TreeNode {
 public:
  EngineDefinition();
  ~EngineDefinition() override;

  // The current record; never null (defaults until the first Load).
  std::shared_ptr<const EngineData> Data() const;

  // Uses `file` as the engine's file instead of the one its place in the tree gives (a
  // definition opened outside a category tree). Call before Load.
  void SetFilePath(std::string file);
  // <categories folder>\<tree path>.ini, or the path given to SetFilePath.
  std::string GetFilePath() const;
  // The engine's path in the tree (NodePath), read under the category tree's shared hold.
  std::string TreePath() const;
  // <categories folder>\<tree path>.ico.
  std::string IconFileName() const;

  // Reads the file into a new record and publishes it. Missing keys give their defaults, an
  // href that does not compile is logged and leaves the pattern unset. Always true: a missing
  // file gives an engine with an empty request.
  bool Load() override;
  // Writes FamilySafe, Order and Domains into the registry section of the file. Nothing for a
  // disabled engine. False when a value could not be written.
  bool SaveUserValues();
  bool Save() override { return SaveUserValues(); }
  // Publishes a record with the given per-user values (the properties dialog and reordering).
  void SetUserValues(int familySafe, int order, const std::string& domains);

  RequestSpec BuildFirstRequest(const SearchQuery& search,
                                const ScriptCounters* runner = nullptr) const;
  std::string SubstitutePlaceholders(std::string_view text, const SearchQuery& search,
                                     const ScriptCounters* runner = nullptr) const;
  std::string BuildQueryText(const SearchQuery& search) const;
  static std::string BuildPlainQueryText(std::string_view text);

  // The lines of script state `state`, read from keys 1, 2, ... up to the first missing or
  // empty one.
  std::vector<ScriptLine> ReadStateLines(const std::string& state) const;

  // Not disabled, and family mode off or the engine family-safe.
  bool IsEngineUsable() const;
  bool IsUsable(bool familyModeOn) const override;
  // Sets priority() for the search: lower runs first, kEngineNotInSearch keeps it out.
  void ComputePriority(const SearchQuery& search);
  int priority() const { return m_priority.load(); }

  // The engine's record of failed searches, kept beside the user's values in the settings
  // store so that every program sharing them (desktop, command line, library) sees it: a
  // search that failed raises the count of searches failed in a row, one that did not clears
  // it. The third failure in a row and every one after it keep the engine out of searches for
  // kFailedEngineRestSeconds, with one log line. Main thread.
  void NoteSearchOutcome(bool failed) const;
  // Whether the engine rests after failing, at `now` (seconds since 1970).
  bool Resting(int64_t now) const;

  // Opens the home page (or http://host/) through the registered browser launcher.
  void OpenHomePage() const;

  // The engine's keyword list for the search: its category's keywords (when categorykeys is
  // set), the list named by categorykeyset in the category file, then its own keywords.
  void BuildKeywordList(WeightedWordList& list, bool withCategoryKeywords) const;

  bool disabled() const { return m_disabled.load(); }
  void SetDisabled(bool disabled) { m_disabled.store(disabled); }
  bool loaded() const { return m_loaded.load(); }

  CategoryNode* Category() const;

  int Order() const override;
  std::string DisplayName() const override;
  std::string TypeName() const override { return "engine"; }

 private:
  mutable std::mutex m_dataLock;
  std::shared_ptr<const EngineData> m_data;  // guarded by m_dataLock
  std::string m_explicitFile;
  std::atomic<bool> m_disabled{false};
  std::atomic<bool> m_loaded{false};
  std::atomic<int> m_priority{0};
};

// Gives the engines of `category`, in their list order, Order values 100, 200, 300, ...,
// loading each first when needed, and saves them.
void RenumberEngines(CategoryNode& category);

// Installs, updates or deletes the engine `relativeName` (with ".ini", relative to the
// categories folder) from downloaded text, keeping App().categoryTree in step. Refuses a name
// that leaves the categories folder. True when the file was written or deleted (a file that
// was not there counts as deleted); false, logged, when it could not be.
bool InstallEngineDefinition(const std::string& relativeName, std::string_view text);

// Where engines send an address to be opened in the user's browser. Browser launching lives
// above this folder, so it registers itself here when the application is built; until then the
// address is only recorded (LastBrowserAddress). Safe to call from any thread.
using BrowserLauncher = std::function<void(const std::string& address)>;
void SetBrowserLauncher(BrowserLauncher launcher);
void LaunchBrowser(const std::string& address);
std::string LastBrowserAddress();

}  // namespace tulix
