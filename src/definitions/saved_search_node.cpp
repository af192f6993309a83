#include "definitions/saved_search_node.h"

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "platform/file_system.h"
#include "platform/paths.h"

namespace tulix {

namespace {

// The first category, in tree order, with this name.
const TreeNode* FindCategory(const std::string& name) {
  if (name.empty() || !HasApp() || App().categoryTree == nullptr) {
    return nullptr;
  }
  Tree::Iterator it(App().categoryTree->root(), true, true);
  while (const TreeNode* node = it.Next()) {
    if (node->kind == kFolderNode && node->name == name) {
      return node;
    }
  }
  return nullptr;
}

}  // namespace

std::string SavedSearchNode::FilePath() const {
  return LeafFilePath(GetSearchesFolder(), this);
}

std::string SavedSearchNode::IconFile(std::string_view /*treeFolder*/) const {
  std::string icon;
  {
    auto hold = ReadCategoryTree();
    if (const TreeNode* category = FindCategory(CategoryName())) {
      icon = FolderDirectory(GetCategoriesFolder(), category) + ".ico";
    }
  }
  if (!icon.empty() && FileExists(icon)) {
    return icon;
  }
  return {};
}

bool SavedSearchNode::DeleteFiles() {
  const std::string file = FilePath();
  return RemoveFile(file) || !FileExists(file);
}

bool SavedSearchNode::MoveFiles(const TreeNode& newFolder) {
  const std::string oldPath = FilePath();
  const std::string newPath =
      JoinPath(FolderDirectory(GetSearchesFolder(), &newFolder), name + ".ini");
  if (oldPath == newPath) {
    return true;
  }
  if (!RenamePath(oldPath, newPath)) {
    LogMessage(0, kLogError, "Cannot rename file %s to %s", oldPath.c_str(), newPath.c_str());
    return false;
  }
  return true;
}

bool SavedSearchNode::IsUsable(bool familyModeOn) const {
  const TreeNode* folder = GetParent(this);
  return folder == nullptr || folder->IsUsable(familyModeOn);
}

}  // namespace tulix
