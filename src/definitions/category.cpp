#include "definitions/category.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <utility>

#include "base/application.h"
#include "base/ascii_case.h"
#include "base/decimal_number.h"
#include "base/log.h"
#include "base/settings.h"
#include "definitions/engine_definition.h"
#include "definitions/safe_name.h"
#include "definitions/tree_scan.h"
#include "definitions/word_lists.h"
#include "family/family_mode.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"

namespace tulix {
namespace {

constexpr size_t kMaxValue = 9999;
// Every category's keyword list ends with these: a search for "search" or "site" says little
// about which category it belongs to.
constexpr std::string_view kFixedKeywords = "search:-100 site:-100";

// The category values read through the layered lookup, in the order Save writes them, with
// the default each is read with: a fixed number, or the setting named.
struct LayeredField {
  const char* key;
  int CategoryNode::*field;
  int fixedDefault;
  int32_t AppSettings::*settingsDefault;  // null: fixedDefault
};
const LayeredField kLayeredFields[] = {
    {"order", &CategoryNode::order, 500, nullptr},
    {"EngineCount", &CategoryNode::engineCount, 0, &AppSettings::DefaultEngineCount},
    {"PerEngine", &CategoryNode::perEngine, 0, &AppSettings::DefaultResultCount},
    {"FamilySafe", &CategoryNode::familySafe, 1, nullptr},
    {"DomainLimited", &CategoryNode::domainLimited, 1, nullptr},
};

int DefaultOf(const LayeredField& f) {
  return f.settingsDefault != nullptr ? App().settings().*f.settingsDefault : f.fixedDefault;
}

// The category tree lock as the calling thread holds it, so that a thread that holds it already
// does not wait for itself.
struct HeldTreeLock {
  const std::shared_mutex* mutex = nullptr;
  bool exclusive = false;
  int depth = 0;
};
thread_local HeldTreeLock t_heldTreeLock;

std::mutex& StarterLock() {
  static std::mutex lock;
  return lock;
}
UpgradeJobStarter& Starter() {
  static UpgradeJobStarter starter;
  return starter;
}

// Writes `bytes` to categories folder + fileName after the name check. `what` names the thing
// in the failure message; `success` (may be null) is the line logged when it worked.
bool WriteInstalledFile(const std::string& fileName, std::string_view bytes, const char* what,
                        const char* success, std::string* fullPath = nullptr) {
  if (!IsSafeRelativePath(fileName)) {
    LogMessage(0, kLogError, "Refusing to install %s: the name leaves the categories folder",
               fileName.c_str());
    return false;
  }
  const std::string path = JoinPath(GetCategoriesFolder(), fileName);
  if (fullPath != nullptr) {
    *fullPath = path;
  }
  MakeFolders(FolderOf(path));
  if (!WriteFileAtomically(path, bytes)) {
    LogMessage(0, kLogError, "Cannot open %s for writing, %s not updated", path.c_str(), what);
    return false;
  }
  if (success != nullptr) {
    LogMessage(0, kLogPlain, success, path.c_str());
  }
  return true;
}

CategoryNode* FindIn(TreeNode* node, std::string_view name) {
  for (TreeNode* found : Tree::Collect(node, true, true)) {
    auto* category = dynamic_cast<CategoryNode*>(found);
    if (category != nullptr && category->name == name) {
      return category;
    }
  }
  return nullptr;
}

}  // namespace

CategoryNode::CategoryNode() {
  kind = kFolderNode;
}

CategoryNode::~CategoryNode() = default;

std::string CategoryNode::FilePath() const {
  auto hold = ReadCategoryTree();
  if (GetParent(this) == nullptr || !HasApp()) {
    return {};
  }
  return FolderDirectory(GetCategoriesFolder(), this) + ".cat";
}

bool CategoryNode::Load() {
  static_assert(std::size(kLayeredFields) == kLayeredCount);
  const std::string file = FilePath();
  if (file.empty()) {
    return true;
  }
  for (size_t i = 0; i < kLayeredCount; ++i) {
    const LayeredField& f = kLayeredFields[i];
    this->*f.field = GetFileProfileInt(f.key, DefaultOf(f), file);
    m_asStored[i] = this->*f.field;
  }
  keywords = GetPrivateProfileString("main", "keywords", "", file, kMaxValue + 1);
  timestamp = GetPrivateProfileString("main", "timestamp", "", file, kMaxValue + 1);
  // Read as text: seconds since 1970 outgrow 32 bits, and an unreadable value means never.
  {
    const std::string text = GetPrivateProfileString("main", "lastupdatecheck", "", file, 32);
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    lastUpdateCheck = text.empty() || end == text.c_str() ? -1 : static_cast<int64_t>(value);
  }
  displayName = GetPrivateProfileString("main", "name", "", file, kMaxValue + 1);
  return true;
}

bool CategoryNode::Save() {
  const std::string file = FilePath();
  if (file.empty()) {
    return true;
  }
  bool ok = true;
  {
    ProfileBatch batch(file);
    ok = WritePrivateProfileString("main", "timestamp", timestamp.c_str(), file) && ok;
    ok = WritePrivateProfileString("main", "lastupdatecheck",
                                   std::to_string(lastUpdateCheck).c_str(), file) &&
         ok;
    ok = batch.Commit() && ok;
  }
  // A registry value wins over the file for good; storing values nobody changed would pin
  // them against every later update of the file and change of the default settings.
  RegistryStore& registry = App().registry();
  const std::string key = FileSettingsKey(file);
  for (size_t i = 0; i < kLayeredCount; ++i) {
    const LayeredField& f = kLayeredFields[i];
    const int value = this->*f.field;
    if (value == m_asStored[i]) {
      continue;
    }
    const int def = DefaultOf(f);
    const int fromFile = static_cast<int>(GetPrivateProfileInt("main", f.key, def, file));
    const bool stored = value == fromFile || value == def
                            ? registry.DeleteValue(key, f.key)
                            : registry.SetDword(key, f.key, static_cast<uint32_t>(value));
    if (stored) {
      m_asStored[i] = value;
    }
    ok = stored && ok;
  }
  if (!ok) {
    LogMessage(0, kLogError, "Cannot save category %s", file.c_str());
  }
  return ok;
}

void CategoryNode::SetTimestamp(const std::string& text) {
  if (ParseDecimal(text) > ParseDecimal(timestamp)) {
    timestamp = text;
    Save();
  }
}

bool CategoryNode::NeedsUpdateCheck() const {
  auto hold = ReadCategoryTree();
  if (App().settings().UpdatePolicy == 1 && checkedThisRun == 1) {
    return false;
  }
  const int64_t elapsedHours =
      lastUpdateCheck == -1 ? 2400 : (GetClock().Now() - lastUpdateCheck) / 3600;
  return elapsedHours >= 0;
}

bool CategoryNode::StartUpdateIfNeeded() {
  if (!NeedsUpdateCheck()) {
    return false;
  }
  UpgradeJobStarter starter;
  {
    std::lock_guard<std::mutex> lock(StarterLock());
    starter = Starter();
  }
  return starter ? starter(*this) : false;
}

void CategoryNode::UpdateChecked() {
  auto hold = ChangeCategoryTree();
  lastUpdateCheck = GetClock().Now();
  checkedThisRun = 1;
}

std::string CategoryNode::Keywords() const {
  auto hold = ReadCategoryTree();
  return keywords;
}

bool CategoryNode::IsUsable(bool familyModeOn) const {
  auto hold = ReadCategoryTree();
  if (familyModeOn && familySafe == 0) {
    return false;
  }
  const TreeNode* parent = GetParent(this);
  return parent == nullptr || parent->IsUsable(familyModeOn);
}

int CategoryNode::CountEngines(bool allCategories) const {
  const bool familyOn = IsFamilyModeOn();
  auto hold = ReadCategoryTree();
  const TreeNode* start = this;
  const bool whole = allCategories || EqualsIgnoringCase(name, "web");
  if (whole) {
    while (GetParent(start) != nullptr) {
      start = GetParent(start);
    }
  }
  int count = 0;
  for (TreeNode* node : Tree::Collect(start, whole, false)) {
    auto* engine = dynamic_cast<EngineDefinition*>(node);
    if (engine != nullptr && engine->IsUsable(familyOn)) {
      ++count;
    }
  }
  return count;
}

void CategoryNode::BuildKeywordList(WeightedWordList& list) const {
  list.AddEntries(Keywords());
  list.AddEntries(kFixedKeywords);
}

template <typename Pick>
int CategoryNode::SumKeywords(std::string_view text, Pick pick) const {
  WeightedWordList list;
  auto hold = ReadCategoryTree();
  BuildKeywordList(list);
  for (size_t i = 1; i < children.size(); ++i) {
    if (auto* engine = dynamic_cast<EngineDefinition*>(children[i].get()); engine != nullptr) {
      engine->BuildKeywordList(list, false);
    }
  }
  hold.Release();
  const std::vector<WeightedWord> entries = list.Snapshot();
  int sum = 0;
  for (const std::string& word : SplitWords(text, kWordSeparators)) {
    for (const WeightedWord& entry : entries) {
      if (EqualsIgnoringCase(word, entry.word)) {
        sum += pick(entry);
      }
    }
  }
  return sum;
}

int CategoryNode::KeywordScore(std::string_view text) const {
  return SumKeywords(text, [](const WeightedWord& e) { return e.weight; });
}

int CategoryNode::KeywordLevel(std::string_view text) const {
  return SumKeywords(text, [](const WeightedWord& e) { return e.level; });
}

void CategoryNode::Renumber() {
  auto hold = ChangeCategoryTree();
  TreeNode* parent = GetParent(this);
  if (parent == nullptr) {
    return;
  }
  int value = 100;
  for (size_t i = 1; i < parent->children.size(); ++i) {
    TreeNode* child = parent->children[i].get();
    if (auto* engine = dynamic_cast<EngineDefinition*>(child); engine != nullptr) {
      if (!engine->loaded()) {
        engine->Load();
      }
      auto data = engine->Data();
      engine->SetUserValues(data->familySafe, value, data->domains);
      engine->SaveUserValues();
    } else {
      child->order = value;
      child->Save();
    }
    value += 100;
  }
}

int CategoryNode::EngineCount() const {
  auto hold = ReadCategoryTree();
  return engineCount >= 1 ? engineCount : App().settings().DefaultEngineCount;
}

int CategoryNode::PerEngine() const {
  auto hold = ReadCategoryTree();
  return perEngine >= 1 ? perEngine : App().settings().DefaultResultCount;
}

std::string CategoryNode::DisplayName() const {
  auto hold = ReadCategoryTree();
  return displayName.empty() ? name : displayName;
}

CategoryTreeHold::CategoryTreeHold(Mode mode) {
  if (!HasApp()) {
    return;
  }
  std::shared_mutex& mutex = App().categoryTreeLock;
  HeldTreeLock& held = t_heldTreeLock;
  m_active = true;
  if (held.mutex == &mutex) {
    assert(held.exclusive || mode == Mode::kRead);
    ++held.depth;
    return;
  }
  m_exclusive = mode == Mode::kChange;
  if (m_exclusive) {
    mutex.lock();
  } else {
    mutex.lock_shared();
  }
  m_locked = &mutex;
  held = {&mutex, m_exclusive, 1};
}

void CategoryTreeHold::Release() {
  if (!m_active) {
    return;
  }
  m_active = false;
  HeldTreeLock& held = t_heldTreeLock;
  if (--held.depth > 0 || m_locked == nullptr) {
    return;
  }
  held = {};
  if (m_exclusive) {
    m_locked->unlock();
  } else {
    m_locked->unlock_shared();
  }
  m_locked = nullptr;
}

void SetUpgradeJobStarter(UpgradeJobStarter starter) {
  std::lock_guard<std::mutex> lock(StarterLock());
  Starter() = std::move(starter);
}

TreeNodeFactory CategoryTreeFactory() {
  TreeNodeFactory factory;
  factory.createFolder = [](const std::string&) -> std::unique_ptr<TreeNode> {
    return std::make_unique<CategoryNode>();
  };
  factory.createLeaf = [](const std::string&) -> std::unique_ptr<TreeNode> {
    return std::make_unique<EngineDefinition>();
  };
  return factory;
}

std::unique_ptr<Tree> ScanCategoryTree() {
  return ScanTree(GetCategoriesFolder(), CategoryTreeFactory());
}

CategoryNode* FindCategoryByName(std::string_view name) {
  if (!HasApp() || name.empty()) {
    return nullptr;
  }
  auto hold = ReadCategoryTree();
  if (App().categoryTree == nullptr) {
    return nullptr;
  }
  return FindIn(App().categoryTree->root(), name);
}

bool InstallCategory(const std::string& fileName, std::string_view text,
                     const std::string& timestamp) {
  if (text.find("[main]") == std::string_view::npos) {
    return false;
  }
  if (!IsSafeRelativePath(fileName)) {
    LogMessage(0, kLogError, "Refusing to install %s: the name leaves the categories folder",
               fileName.c_str());
    return false;
  }
  std::string treePath = fileName;
  std::replace(treePath.begin(), treePath.end(), '/', '\\');
  if (size_t dot = treePath.rfind('.');
      dot != std::string::npos && treePath.find('\\', dot) == std::string::npos) {
    treePath.resize(dot);
  }
  auto hold = ChangeCategoryTree();  // until the node has read its new file
  CategoryNode* node = nullptr;
  bool isNew = false;
  if (Tree* tree = App().categoryTree.get(); tree != nullptr) {
    node = dynamic_cast<CategoryNode*>(tree->FindFolder(treePath));
    isNew = node == nullptr;
    if (isNew && !treePath.empty()) {
      // The tree creates any missing category on the way down.
      auto fresh = tree->factory().createFolder(treePath);
      if (fresh != nullptr) {
        fresh->name = std::string(FileNameOf(treePath));
        node = dynamic_cast<CategoryNode*>(tree->Add(FolderOf(treePath), std::move(fresh)));
      }
    }
  }
  const bool written = WriteInstalledFile(fileName, text, "category", "Category %s added/updated");
  if (node != nullptr) {
    // Read the new file before the timestamp is saved: saving writes the node's timestamp
    // and lastupdatecheck back into it.
    node->Load();
    node->SetTimestamp(timestamp);
    node->Load();
    if (isNew) {
      PlaceByOrder(node);  // it went in first, before its file gave it an order
    }
  }
  return written;
}

bool InstallIcon(const std::string& fileName, std::string_view bytes) {
  return WriteInstalledFile(fileName, bytes, "category", "Icon %s added/updated");
}

bool InstallFile(const std::string& fileName, std::string_view bytes) {
  return WriteInstalledFile(fileName, bytes, "file", "File %s added/updated");
}

bool InstallFileQuietly(const std::string& fileName, std::string_view bytes) {
  return WriteInstalledFile(fileName, bytes, "file", nullptr);
}

bool InstallAndRun(const std::string& fileName, std::string_view bytes) {
  std::string path;
  if (!WriteInstalledFile(fileName, bytes, "file", nullptr, &path)) {
    return false;
  }
  // A server could make this program start anything it sends; the file is kept for the user
  // to look at, never started.
  LogMessage(0, kLogWarning, "File %s was stored and not run", path.c_str());
  return true;
}

}  // namespace tulix
