#include "definitions/saved_search_node.h"

#include "base/log.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "platform/file_system.h"
#include "platform/paths.h"

namespace tulix {

std::string SavedSearchNode::FilePath() const {
  return LeafFilePath(GetSearchesFolder(), this);
}

std::string SavedSearchNode::IconFile(std::string_view /*treeFolder*/) const {
  std::string icon;
  {
    auto hold = ReadCategoryTree();
    if (const TreeNode* category = FindCategoryByName(CategoryName())) {
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
  // A search whose category is not known cannot run, so only its folder decides for it.
  if (familyModeOn) {
    auto hold = ReadCategoryTree();
    const TreeNode* searchCategory = FindCategoryByName(CategoryName());
    if (searchCategory != nullptr && !searchCategory->IsUsable(true)) {
      return false;
    }
  }
  const TreeNode* folder = GetParent(this);
  return folder == nullptr || folder->IsUsable(familyModeOn);
}

}  // namespace tulix
