#include "definitions/engine_definition.h"

#include <boost/regex.hpp>

#include <algorithm>
#include <cctype>
#include <utility>

#include "base/application.h"
#include "base/ascii_case.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/token_splitter.h"
#include "definitions/category.h"
#include "definitions/safe_name.h"
#include "definitions/word_lists.h"
#include "family/family_mode.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "platform/url.h"

namespace tulix {
namespace {

// Text values are read up to this many characters.
constexpr size_t kMaxValue = 9999;

std::string ReadText(const char* section, const char* key, const char* def,
                     const std::string& file) {
  return GetPrivateProfileString(section, key, def, file, kMaxValue + 1);
}

int ReadInt(const char* section, const char* key, int def, const std::string& file) {
  return static_cast<int>(GetPrivateProfileInt(section, key, def, file));
}

// The words of `text` as the field splitter (no escapes) gives them at blanks; a quoted part
// stays one word.
std::vector<std::string> SplitAtBlanks(std::string_view text) {
  std::vector<std::string> words;
  std::string rest(text);
  while (!rest.empty()) {
    size_t before = rest.size();
    std::string word = PopToken(rest, " ", false);
    if (!word.empty()) {
      words.push_back(std::move(word));
    }
    if (rest.size() >= before) {
      break;  // the splitter made no progress; never spin
    }
  }
  return words;
}

void ReplaceAll(std::string& text, std::string_view token, std::string_view value) {
  if (token.empty()) {
    return;
  }
  size_t at = text.find(token);
  while (at != std::string::npos) {
    text.replace(at, token.size(), value);
    at = text.find(token, at + value.size());
  }
}

std::mutex& BrowserLock() {
  static std::mutex lock;
  return lock;
}
BrowserLauncher& Launcher() {
  static BrowserLauncher launcher;
  return launcher;
}
std::string& LastAddress() {
  static std::string address;
  return address;
}

// The categories folder, or "" when no application is there to say (a lone definition).
std::string CategoriesFolderOrEmpty() {
  return HasApp() ? GetCategoriesFolder() : std::string();
}

}  // namespace

// ---- HrefPattern ----

struct HrefPattern::Impl {
  boost::regex regex;
};

HrefPattern::HrefPattern(std::string_view pattern) {
  try {
    auto impl = std::make_unique<Impl>();
    impl->regex.assign(pattern.begin(), pattern.end(), boost::regex::perl);
    m_impl = std::move(impl);
  } catch (const std::exception& e) {
    m_error = e.what();
  }
}

HrefPattern::~HrefPattern() = default;

bool HrefPattern::Find(std::string_view text, std::string* address) const {
  if (!m_impl) {
    return false;
  }
  try {
    boost::match_results<std::string_view::const_iterator> match;
    if (!boost::regex_search(text.begin(), text.end(), match, m_impl->regex)) {
      return false;
    }
    if (address != nullptr) {
      // The address is the first group only: a pattern without one, or whose group took no
      // part, matches but gives an empty address, as engine authors have always had it.
      *address = match.size() > 1 && match[1].matched ? match[1].str() : std::string();
    }
    return true;
  } catch (const std::exception&) {
    // The matcher gives up on texts that would take too long; treat it as no match.
    return false;
  }
}

// ---- EngineData ----

std::vector<std::string> EngineData::DomainList() const {
  return SplitDomains(domains, kDomainSeparators);
}

// ---- EngineDefinition ----

EngineDefinition::EngineDefinition() : m_data(std::make_shared<const EngineData>()) {
  kind = kLeafNode;
}

EngineDefinition::~EngineDefinition() = default;

std::shared_ptr<const EngineData> EngineDefinition::Data() const {
  std::lock_guard<std::mutex> lock(m_dataLock);
  return m_data;
}

void EngineDefinition::SetFilePath(std::string file) {
  m_explicitFile = std::move(file);
}

std::string EngineDefinition::GetFilePath() const {
  if (!m_explicitFile.empty()) {
    return m_explicitFile;
  }
  auto hold = ReadCategoryTree();
  return LeafFilePath(CategoriesFolderOrEmpty(), this);
}

std::string EngineDefinition::IconFileName() const {
  std::string file = GetFilePath();
  if (file.size() >= 4 &&
      EqualsIgnoringCase(std::string_view(file).substr(file.size() - 4), ".ini")) {
    file.resize(file.size() - 4);
  }
  return file + ".ico";
}

bool EngineDefinition::Load() {
  auto data = std::make_shared<EngineData>();
  const std::string file = GetFilePath();
  data->filePath = file;
  data->stateFilePath = file;

  data->trimLeadingNumbers = ReadInt("main", "TrimLeadingNumbers", 1, file);
  data->local = ReadInt("main", "local", 0, file);
  data->translateHref = ReadInt("main", "translatehref", 0, file);
  data->siteType = ReadInt("main", "sitetype", 0, file);
  data->casePolicy = ReadInt("main", "casepolicy", 0, file);
  data->hrefIndex = ReadInt("main", "hrefindex", 1, file);
  data->page = ReadInt("main", "page", 1, file);
  data->visitHome = ReadInt("main", "visithome", 0, file);
  data->checkDuplicates = ReadInt("main", "checkduplicates", 1, file);
  data->categoryKeys = ReadInt("main", "categorykeys", 1, file);
  data->querySub = ReadText("main", "qsub", "%Q", file);
  data->resultSub = ReadText("main", "rsub", "%R", file);
  // The stored-value placeholder is read from the same key: a file that sets rsub uses its
  // token for both.
  data->storedSub = ReadText("main", "rsub", "%S", file);
  data->pageSub = ReadText("main", "psub", "%P", file);
  data->href = ReadText("main", "href", "", file);
  data->name = ReadText("main", "name", "", file);
  data->keywords = ReadText("main", "keywords", "", file);
  data->home = ReadText("main", "home", "", file);
  data->host = ReadText("main", "host", "", file);
  data->secure =
      SecureWebOn() && EqualsIgnoringCase(ReadText("main", "scheme", "http", file), "https");
  data->categoryKeySet = ReadText("main", "categorykeyset", "", file);
  data->statePath = ReadText("main", "statepath", "", file);
  data->resultHref = ReadText("main", "resulthref", "%R", file);

  // The file arrives from the update server: a script path that leaves the categories folder
  // would have the engine read any file of the user's as its script. The engine then reads its
  // states from its own file, as without the key.
  if (!data->statePath.empty() && !IsSafeRelativePath(data->statePath)) {
    LogMessage(0, kLogError, "Engine %s: state file %s leaves the categories folder; not read",
               file.c_str(), data->statePath.c_str());
  } else if (!data->statePath.empty()) {
    data->stateFilePath = JoinPath(CategoriesFolderOrEmpty(), data->statePath);
    if (!FileExists(data->stateFilePath)) {
      LogMessage(0, kLogWarning, "State file %s of engine %s is missing",
                 data->stateFilePath.c_str(), file.c_str());
    }
  }

  if (!data->href.empty()) {
    auto pattern = std::make_shared<const HrefPattern>(data->href);
    if (pattern->valid()) {
      data->hrefPattern = std::move(pattern);
    } else {
      LogMessage(0, kLogError, "Engine %s: href pattern does not compile: %s", file.c_str(),
                 pattern->error().c_str());
    }
  }

  if (HasApp()) {
    data->familySafe = GetFileProfileInt("FamilySafe", 1, file);
    data->order = GetFileProfileInt("Order", 500, file);
    data->domains = GetFileProfileString("Domains", "", file);
  }

  {
    std::lock_guard<std::mutex> lock(m_dataLock);
    m_data = std::move(data);
  }
  m_loaded.store(true);
  return true;
}

bool EngineDefinition::SaveUserValues() {
  if (disabled() || !HasApp()) {
    return true;
  }
  auto data = Data();
  RegistryStore& registry = App().registry();
  const std::string key = FileSettingsKey(GetFilePath());
  bool ok = registry.SetDword(key, "FamilySafe", static_cast<uint32_t>(data->familySafe));
  ok = registry.SetDword(key, "Order", static_cast<uint32_t>(data->order)) && ok;
  ok = registry.SetString(key, "Domains", data->domains) && ok;
  return ok;
}

void EngineDefinition::NoteSearchOutcome(bool failed) const {
  if (!HasApp()) {
    return;
  }
  RegistryStore& registry = App().registry();
  const std::string key = FileSettingsKey(GetFilePath());
  const uint32_t before = registry.GetDword(key, "FailedSearches", 0);
  const uint32_t now = failed ? before + 1 : 0;
  if (now != before) {
    registry.SetDword(key, "FailedSearches", now);
  }
  if (now >= kFailedSearchesBeforeRest) {
    const int64_t until = GetClock().Now() + kFailedEngineRestSeconds;
    registry.SetDword(key, "RestUntil", static_cast<uint32_t>(until));
    LogMessage(kLogStatusBar, kLogWarning,
               "%s failed on its last %u searches and is left out of searches for %d minutes",
               DisplayName().c_str(), now, static_cast<int>(kFailedEngineRestSeconds / 60));
  }
}

bool EngineDefinition::Resting(int64_t now) const {
  if (!HasApp()) {
    return false;
  }
  const uint32_t until =
      App().registry().GetDword(FileSettingsKey(GetFilePath()), "RestUntil", 0);
  return now < static_cast<int64_t>(until);
}

void EngineDefinition::SetUserValues(int familySafe, int order, const std::string& domains) {
  std::lock_guard<std::mutex> lock(m_dataLock);
  auto copy = std::make_shared<EngineData>(*m_data);
  copy->familySafe = familySafe;
  copy->order = order;
  copy->domains = domains;
  m_data = std::move(copy);
}

RequestSpec EngineDefinition::BuildFirstRequest(const SearchQuery& search,
                                                const ScriptCounters* runner) const {
  const std::string file = GetFilePath();
  const char* typeSection = search.type == kSearchAnyWords      ? "ANY"
                            : search.type == kSearchExactPhrase ? "EXACT"
                                                                : "ALL";
  RequestSpec request;
  request.host = ReadText("Main", "host", "", file);
  request.object = ReadText("Main", "object", "", file);
  request.referer = ReadText("Main", "referer", "", file);
  request.extra = ReadText("Main", "extra", "", file);
  request.variables = ReadText("Main", "variables", "", file);
  // "scheme=https" asks for TLS, on port 443 unless the file says otherwise; with https off
  // the key means nothing and every engine is asked over plain http.
  std::string scheme = ReadText("Main", "scheme", "http", file);
  scheme = ReadText(typeSection, "scheme", scheme.c_str(), file);
  request.secure = SecureWebOn() && EqualsIgnoringCase(scheme, "https");
  int port = ReadInt("Main", "port", request.secure ? 443 : 80, file);
  request.verb = ReadInt("Main", "verb", 1, file);

  request.host = ReadText(typeSection, "host", request.host.c_str(), file);
  request.object = ReadText(typeSection, "object", request.object.c_str(), file);
  request.referer = ReadText(typeSection, "referer", request.referer.c_str(), file);
  request.extra = ReadText(typeSection, "extra", request.extra.c_str(), file);
  request.variables = ReadText(typeSection, "variables", request.variables.c_str(), file);
  port = ReadInt(typeSection, "port", port, file);
  request.verb = ReadInt(typeSection, "verb", request.verb, file);
  // A port is 16 bits; the file's number is cut the way the format always cut it.
  request.port = static_cast<uint16_t>(port);

  request.templateExtra = request.extra;
  request.templateObject = request.object;
  request.object = SubstitutePlaceholders(request.object, search, runner);
  request.extra = SubstitutePlaceholders(request.extra, search, runner);
  return request;
}

std::string EngineDefinition::SubstitutePlaceholders(std::string_view text,
                                                     const SearchQuery& search,
                                                     const ScriptCounters* runner) const {
  auto data = Data();
  std::string out(text);
  ReplaceAll(out, data->querySub, BuildQueryText(search));
  ReplaceAll(out, data->resultSub, std::to_string(search.perEngine));
  ReplaceAll(out, data->storedSub, runner != nullptr ? runner->storedValue : std::string());
  ReplaceAll(out, data->pageSub, std::to_string(runner != nullptr ? runner->page : data->page));
  ReplaceAll(out, "%%", "%");
  return out;
}

std::string EngineDefinition::BuildQueryText(const SearchQuery& search) const {
  auto data = Data();
  std::string text = search.text;
  if (search.type != kSearchExactPhrase) {
    WeightedWordList list;
    BuildKeywordList(list, data->categoryKeys != 0);
    std::vector<std::string> words = SplitWords(text, " ");
    std::string adjusted;
    for (const WeightedWord& entry : list.Snapshot()) {
      auto same = [&](const std::string& w) { return EqualsIgnoringCase(w, entry.word); };
      if (entry.sign == '+' && std::none_of(words.begin(), words.end(), same)) {
        adjusted += entry.word + " ";
      } else if (entry.sign == '-') {
        words.erase(std::remove_if(words.begin(), words.end(), same), words.end());
      }
    }
    for (const std::string& w : words) {
      adjusted += w + " ";
    }
    while (!adjusted.empty() && adjusted.back() == ' ') {
      adjusted.pop_back();
    }
    text = std::move(adjusted);
  }
  std::string out;
  for (std::string word : SplitAtBlanks(text)) {
    if (data->casePolicy == 0 || data->casePolicy == 1) {
      for (char& c : word) {
        auto byte = static_cast<unsigned char>(c);
        c = static_cast<char>(data->casePolicy == 0 ? std::tolower(byte) : std::toupper(byte));
      }
    }
    if (!out.empty()) {
      out += '+';
    }
    // The words go into an address or a form as they stand: unencoded, "&n=1" in them would
    // add a parameter, "#" would cut the address short and "+" would read as a blank.
    out += EncodeQueryValue(word);
  }
  return out;
}

std::string EngineDefinition::BuildPlainQueryText(std::string_view text) {
  std::string out;
  for (const std::string& word : SplitAtBlanks(text)) {
    if (!out.empty()) {
      out += '+';
    }
    out += word;
  }
  return out;
}

std::vector<ScriptLine> EngineDefinition::ReadStateLines(const std::string& state) const {
  auto data = Data();
  std::vector<ScriptLine> lines;
  for (int n = 1;; ++n) {
    std::string line = ReadText(state.c_str(), std::to_string(n).c_str(), "", data->stateFilePath);
    if (line.empty()) {
      break;
    }
    std::string* fields[] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    ScriptLine parsed;
    fields[0] = &parsed.instruction;
    fields[1] = &parsed.nextState;
    fields[2] = &parsed.argument;
    fields[3] = &parsed.action;
    fields[4] = &parsed.actionArgument;
    std::string rest = line;
    for (std::string* field : fields) {
      *field = rest.empty() ? std::string() : PopToken(rest, "|", true);
    }
    lines.push_back(std::move(parsed));
  }
  return lines;
}

bool EngineDefinition::IsEngineUsable() const {
  return IsUsable(IsFamilyModeOn());
}

bool EngineDefinition::IsUsable(bool familyModeOn) const {
  return !disabled() && (!familyModeOn || Data()->familySafe != 0);
}

std::string EngineDefinition::TreePath() const {
  auto hold = ReadCategoryTree();
  return NodePath(this);
}

CategoryNode* EngineDefinition::Category() const {
  return dynamic_cast<CategoryNode*>(GetParent(this));
}

void EngineDefinition::BuildKeywordList(WeightedWordList& list, bool withCategoryKeywords) const {
  auto data = Data();
  // Copied under the hold: an install may reload the category while a search builds a request.
  std::string categoryKeywords;
  std::string catFile;
  {
    auto hold = ReadCategoryTree();
    if (CategoryNode* category = Category(); category != nullptr) {
      if (withCategoryKeywords) {
        categoryKeywords = category->keywords;
      }
      if (!data->categoryKeySet.empty()) {
        catFile = category->FilePath();
      }
    }
  }
  list.AddEntries(categoryKeywords);
  if (!catFile.empty()) {
    list.AddEntries(ReadText("main", data->categoryKeySet.c_str(), "", catFile));
  }
  list.AddEntries(data->keywords);
}

void EngineDefinition::ComputePriority(const SearchQuery& search) {
  auto data = Data();
  CategoryNode* own = Category();
  CategoryNode* searchCategory = FindCategoryByName(search.category);
  if (searchCategory == nullptr) {
    searchCategory = FindCategoryByName("web");
  }
  const bool sameCategory = searchCategory != nullptr && searchCategory == own;
  bool isWeb;
  {
    auto hold = ReadCategoryTree();
    isWeb = searchCategory == nullptr || EqualsIgnoringCase(searchCategory->name, "web");
  }
  if (!sameCategory && !isWeb) {
    m_priority.store(kEngineNotInSearch);
    return;
  }
  int priority = data->order;
  WeightedWordList list;
  BuildKeywordList(list, data->categoryKeys != 0);
  const std::vector<WeightedWord> entries = list.Snapshot();
  const std::vector<std::string> words = SplitWords(search.text, " ");
  int weight = 0;
  for (const WeightedWord& entry : entries) {
    for (const std::string& w : words) {
      if (EqualsIgnoringCase(w, entry.word)) {
        weight = entry.weight;
      }
    }
  }
  if (weight < 1 && !sameCategory) {
    m_priority.store(kEngineNotInSearch);
    return;
  }
  for (const WeightedWord& entry : entries) {
    for (const std::string& w : words) {
      if (EqualsIgnoringCase(w, entry.word)) {
        priority -= entry.level;
      }
    }
  }
  m_priority.store(priority);
}

void EngineDefinition::OpenHomePage() const {
  auto data = Data();
  std::string address = data->home;
  if (address.empty()) {
    address = (data->secure ? "https://" : "http://") + data->host + "/";
  }
  LaunchBrowser(address);
}

int EngineDefinition::Order() const {
  // Until its file is read an engine has no place of its own yet; the scan adds it first.
  return loaded() ? Data()->order : 0;
}

std::string EngineDefinition::DisplayName() const {
  auto data = Data();
  return data->name.empty() ? name : data->name;
}

// ---- free functions ----

void RenumberEngines(CategoryNode& category) {
  auto hold = ChangeCategoryTree();
  int order = 100;
  for (size_t i = 1; i < category.children.size(); ++i) {
    auto* engine = dynamic_cast<EngineDefinition*>(category.children[i].get());
    if (engine == nullptr) {
      continue;
    }
    if (!engine->loaded()) {
      engine->Load();
    }
    auto data = engine->Data();
    engine->SetUserValues(data->familySafe, order, data->domains);
    engine->SaveUserValues();
    order += 100;
  }
}

bool InstallEngineDefinition(const std::string& relativeName, std::string_view text) {
  if (!IsSafeRelativePath(relativeName)) {
    LogMessage(0, kLogError, "Refusing to install engine %s: the name leaves the categories folder",
               relativeName.c_str());
    return false;
  }
  const std::string path = JoinPath(GetCategoriesFolder(), relativeName);
  std::string treePath = relativeName;
  for (char& c : treePath) {
    if (c == '/') {
      c = '\\';
    }
  }
  if (treePath.size() >= 4 &&
      EqualsIgnoringCase(std::string_view(treePath).substr(treePath.size() - 4), ".ini")) {
    treePath.resize(treePath.size() - 4);
  }
  // Held until the engine has read its new file; let go before a message box, which waits for
  // the user while the user-interface thread may be waiting for the lock.
  auto hold = ChangeCategoryTree();
  Tree* tree = App().categoryTree.get();
  auto findEngine = [&]() -> EngineDefinition* {
    if (tree == nullptr) {
      return nullptr;
    }
    TreeNode* folder = tree->FindFolder(FolderOf(treePath));
    if (folder == nullptr) {
      return nullptr;
    }
    for (size_t i = 1; i < folder->children.size(); ++i) {
      auto* engine = dynamic_cast<EngineDefinition*>(folder->children[i].get());
      if (engine != nullptr && engine->name == FileNameOf(treePath)) {
        return engine;
      }
    }
    return nullptr;
  };

  if (text.find("TULIX_DELETE") != std::string_view::npos) {
    // A file that is already gone is what the update asked for; anything else that keeps it
    // leaves the engine in use, and the update must not count as done.
    if (!RemoveFile(path) && GetLastError() != kErrorFileNotFound) {
      LogMessage(kLogStatusBar | kLogMessageBox, kLogError, "Cannot delete %s, engine not deleted",
                 path.c_str());
      return false;
    }
    if (EngineDefinition* engine = findEngine(); engine != nullptr) {
      engine->SetDisabled(true);
    }
    LogMessage(kLogStatusBar, kLogPlain, "Engine %s deleted", path.c_str());
    return true;
  }
  if (text.find("[main]") == std::string_view::npos) {
    return false;
  }
  EngineDefinition* engine = findEngine();
  const bool isNew = engine == nullptr;
  if (isNew && tree != nullptr) {
    auto node = std::make_unique<EngineDefinition>();
    node->name = std::string(FileNameOf(treePath));
    engine = static_cast<EngineDefinition*>(tree->Add(FolderOf(treePath), std::move(node)));
  }
  MakeFolders(FolderOf(path));
  if (!WriteFileAtomically(path, text)) {
    hold.Release();
    LogMessage(kLogStatusBar | kLogMessageBox, kLogError,
               "Cannot open %s for writing, engine not updated", path.c_str());
    return false;
  }
  LogMessage(kLogStatusBar, kLogPlain, "Engine %s added/updated", path.c_str());
  if (engine != nullptr) {
    engine->SetDisabled(false);
    engine->Load();
    if (isNew) {
      PlaceByOrder(engine);  // it went in first, before its file gave it an order
    }
  }
  return true;
}

void SetBrowserLauncher(BrowserLauncher launcher) {
  std::lock_guard<std::mutex> lock(BrowserLock());
  Launcher() = std::move(launcher);
}

void LaunchBrowser(const std::string& address) {
  BrowserLauncher launcher;
  {
    std::lock_guard<std::mutex> lock(BrowserLock());
    LastAddress() = address;
    launcher = Launcher();
  }
  if (launcher) {
    launcher(address);
  }
}

std::string LastBrowserAddress() {
  std::lock_guard<std::mutex> lock(BrowserLock());
  return LastAddress();
}

}  // namespace tulix
