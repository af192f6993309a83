// Search categories: the folder nodes of the category tree. A category groups engine
// definitions and carries the defaults of searches in it (engines to ask, results per engine,
// family safety, domain limit) and keywords that tell which searches belong to it. Its
// settings file is the folder's path followed by ".cat", beside the folder.
//
// Also here: the category tree factory and scan, and the installers through which the upgrade
// job writes downloaded category, icon and other files below the categories folder.
//
// Ownership: the category tree owns its nodes.
//
// Thread safety: the installers run on the upgrade job's worker and change the tree (new
// categories and engines) and the fields of categories (Load, SetTimestamp) while the
// user-interface thread walks the tree and search workers read categories for every request.
// One reader-writer lock, App().categoryTreeLock, keeps them apart:
// - Changing: installers, and any edit of the tree's shape (Tree::Add, Delete, Move, a rename,
//   replacing App().categoryTree) or of a category's fields, hold ChangeCategoryTree(). The
//   installers, Renumber and UpdateChecked take it themselves. Load, Save and SetTimestamp
//   change fields without taking it: their callers hold it (a tree that is still being built
//   and not yet in App() needs no lock, as no other thread can see it).
// - Reading, on any thread (the user-interface thread included): hold ReadCategoryTree() while
//   walking children or reading a category's fields, and copy out what is needed. The member
//   functions below that read (FilePath, Keywords, EngineCount, PerEngine, DisplayName,
//   IsUsable, NeedsUpdateCheck, CountEngines, KeywordScore, KeywordLevel, BuildKeywordList),
//   FindCategoryByName and the engines' path functions take the shared hold themselves. A node's
//   path is a read of the tree too: walking up reads each parent's list of children. A pointer to a
//   node stays valid after the hold ends: installs never delete nodes (a deleted engine is only
//   disabled); only the user-interface thread deletes them.
// - A thread that already holds the lock may take it again (see CategoryTreeHold), so these
//   functions may call one another; only a change asked for under a shared hold is an error.
// The hooks may be set from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "definitions/tree.h"

namespace tulix {

class EngineDefinition;
class WeightedWordList;

class CategoryNode : public TreeNode {
 public:
  CategoryNode();
  ~CategoryNode() override;

  // <categories folder>\<tree path>.cat; empty for the root, which has no file.
  std::string FilePath() const;

  // Reads every field from the file (defaults when it is missing). Always true.
  bool Load() override;
  // Writes timestamp and lastupdatecheck into [main]. Of order, EngineCount, PerEngine,
  // FamilySafe and DomainLimited it stores in the registry section of the file only those that
  // changed since they were read (the user's or the program's own choice); one changed back to
  // what the file or the default gives is taken out of the registry. A value never changed
  // keeps following the file and the default settings. False when something could not be
  // written.
  bool Save() override;
  // Takes `text` as the new timestamp (and saves) only when it is a larger number. The caller
  // holds ChangeCategoryTree().
  void SetTimestamp(const std::string& text);
  bool NeedsUpdateCheck() const;
  // Starts an upgrade job for the category through the registered starter when an update
  // check is due. True when a job was started.
  bool StartUpdateIfNeeded();
  // The upgrade job finished: remember when, and that it ran in this run of the program.
  void UpdateChecked();

  // A copy of the keywords, taken under the shared hold.
  std::string Keywords() const;

  bool IsUsable(bool familyModeOn) const override;
  // Enabled engines of this category, or of the whole tree for "web" or `allCategories`.
  int CountEngines(bool allCategories) const;
  // The keywords followed by "search:-100 site:-100".
  void BuildKeywordList(WeightedWordList& list) const;
  int KeywordScore(std::string_view text) const;
  int KeywordLevel(std::string_view text) const;
  // Orders 100, 200, ... for every child of this node's parent, in tree order, each saved.
  void Renumber() override;

  int EngineCount() const;
  int PerEngine() const;

  std::string DisplayName() const override;
  std::string TypeName() const override { return "category"; }

  // Fields in file order (`order` is the TreeNode's), guarded by App().categoryTreeLock once
  // the node is in App().categoryTree.
  int domainLimited = 0;
  int checkedThisRun = 0;
  int familySafe = 1;
  std::string keywords;
  std::string timestamp;
  int64_t lastUpdateCheck = -1;  // seconds since 1970; -1 = never
  int perEngine = -1;
  int engineCount = -1;
  std::string displayName;

 private:
  template <typename Pick>
  int SumKeywords(std::string_view text, Pick pick) const;

  // The values read through the layered lookup, as the file and the registry gave them at the
  // last Load or Save (constructor values before either), in the order order, EngineCount,
  // PerEngine, FamilySafe, DomainLimited.
  static constexpr size_t kLayeredCount = 5;
  std::array<int, kLayeredCount> m_asStored{0, -1, -1, 1, 0};
};

// A hold on App().categoryTreeLock, shared (reading) or exclusive (changing), released when the
// object goes or by Release. Re-entrant per thread: a thread that holds the lock already, in
// either mode, gets a hold that takes nothing, so functions that take it may call one another.
// Holds of one thread end in the reverse order they were taken. Asking to change while holding
// only a shared hold cannot work (it would wait for itself) and is asserted. Without an
// application the hold takes nothing: a lone definition has no tree other threads could see.
class CategoryTreeHold {
 public:
  enum class Mode { kRead, kChange };
  explicit CategoryTreeHold(Mode mode);
  ~CategoryTreeHold() { Release(); }
  CategoryTreeHold(const CategoryTreeHold&) = delete;
  CategoryTreeHold& operator=(const CategoryTreeHold&) = delete;
  void Release();

 private:
  std::shared_mutex* m_locked = nullptr;  // set when this hold took the lock
  bool m_exclusive = false;
  bool m_active = false;
};
inline CategoryTreeHold ReadCategoryTree() {
  return CategoryTreeHold(CategoryTreeHold::Mode::kRead);
}
inline CategoryTreeHold ChangeCategoryTree() {
  return CategoryTreeHold(CategoryTreeHold::Mode::kChange);
}

// What starts an upgrade job for a category; returns whether a job was started. Until the
// update subsystem registers one, no job is ever started.
using UpgradeJobStarter = std::function<bool(CategoryNode& category)>;
void SetUpgradeJobStarter(UpgradeJobStarter starter);

// CategoryNode for folders, EngineDefinition for ".ini" files.
TreeNodeFactory CategoryTreeFactory();
// Scans the categories folder into a new category tree.
std::unique_ptr<Tree> ScanCategoryTree();

// The category with this name anywhere in App().categoryTree (first found, tree order), or
// null. Names are compared exactly, as every other name of the program is: a search of the
// category "News" finds neither "news" nor its engines.
CategoryNode* FindCategoryByName(std::string_view name);

// Installers: `fileName` is relative to the categories folder. Each refuses (logged, nothing
// written) a name that is absolute or has a ".." component, and returns whether the file was
// written. The upgrade job calls them (and InstallEngineDefinition) on its worker; those that
// touch the tree take ChangeCategoryTree() themselves, so the caller must not hold the lock.
bool InstallCategory(const std::string& fileName, std::string_view text,
                     const std::string& timestamp);
bool InstallIcon(const std::string& fileName, std::string_view bytes);
bool InstallFile(const std::string& fileName, std::string_view bytes);
bool InstallFileQuietly(const std::string& fileName, std::string_view bytes);
// Stores the file but never runs it: running downloaded programs is not something this
// program does. The log says it was stored and not run.
bool InstallAndRun(const std::string& fileName, std::string_view bytes);

}  // namespace tulix
