#include "definitions/search_folder.h"

#include "base/log.h"
#include "base/settings.h"
#include "definitions/saved_search_node.h"
#include "definitions/tree_scan.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "platform/profile_file.h"

namespace tulix {

namespace {

constexpr char kSection[] = "main";
constexpr char kFamilySafeKey[] = "familysafe";

std::string PropertiesFileOf(const std::string& directory) {
  return directory + ".sdp";
}

bool WriteFamilySafe(int familySafe, const std::string& file) {
  if (!WritePrivateProfileString(kSection, kFamilySafeKey, std::to_string(familySafe).c_str(),
                                 file)) {
    LogMessage(0, kLogError, "Cannot write %s", file.c_str());
    return false;
  }
  return true;
}

bool IsValidFolderName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/") == std::string::npos;
}

// Whether `folder` already holds a folder of this name other than `node`.
bool HasFolderNamed(const TreeNode& folder, const std::string& name, const TreeNode* node) {
  for (size_t i = 1; i < folder.children.size(); ++i) {
    const TreeNode* child = folder.children[i].get();
    if (child != node && child->kind == kFolderNode && child->name == name) {
      return true;
    }
  }
  return false;
}

void LogFolderRenameFailed(const std::string& oldDir, const std::string& newDir) {
  LogMessage(0, kLogError, "error renaming search folder %s to %s", oldDir.c_str(), newDir.c_str());
}

// Moves the folder's directory, when it has one yet, then its properties file, when it has
// one. False, with nothing changed on disk, when the directory could not be moved.
bool MoveFolderFiles(const SearchFolder& node, const std::string& oldDir,
                     const std::string& newDir) {
  if (FolderExists(oldDir) && !RenamePath(oldDir, newDir)) {
    LogFolderRenameFailed(oldDir, newDir);
    return false;
  }
  const std::string oldFile = PropertiesFileOf(oldDir);
  const std::string newFile = PropertiesFileOf(newDir);
  if (FileExists(oldFile) && !RenamePath(oldFile, newFile)) {
    LogMessage(0, kLogError, "error renaming search folder properties file %s to %s",
               oldFile.c_str(), newFile.c_str());
    // Left behind, the setting would be lost at the next start, and a folder hidden in family
    // mode would show: the folder's own value is written to the new place instead.
    WriteFamilySafe(node.familySafe, newFile);
  }
  return true;
}

}  // namespace

SearchFolder::SearchFolder() {
  kind = kFolderNode;
}

std::string SearchFolder::Directory() const {
  return FolderDirectory(GetSearchesFolder(), this);
}

std::string SearchFolder::PropertiesFile() const {
  return PropertiesFileOf(Directory());
}

bool SearchFolder::DeleteFiles() {
  return DeleteFolderFiles(*this);
}

bool SearchFolder::MoveFiles(const TreeNode& newFolder) {
  const std::string oldDir = Directory();
  const std::string newDir = JoinPath(FolderDirectory(GetSearchesFolder(), &newFolder), name);
  if (oldDir == newDir) {
    return true;
  }
  if (HasFolderNamed(newFolder, name, this)) {
    LogFolderRenameFailed(oldDir, newDir);
    return false;
  }
  return MoveFolderFiles(*this, oldDir, newDir);
}

bool SearchFolder::IsUsable(bool familyModeOn) const {
  if (familyModeOn && familySafe == 0) {
    return false;
  }
  const TreeNode* parent = GetParent(this);
  return parent == nullptr || parent->IsUsable(familyModeOn);
}

bool SearchFolder::Rename(const std::string& newName) {
  return RenameFolder(*this, newName);
}

bool SearchFolder::Load() {
  familySafe =
      static_cast<int>(GetPrivateProfileInt(kSection, kFamilySafeKey, 1, PropertiesFile()));
  return true;
}

bool SearchFolder::Save() {
  return WriteFamilySafe(familySafe, PropertiesFile());
}

bool RenameFolder(SearchFolder& node, const std::string& newName) {
  const std::string oldName = node.name;
  if (newName == oldName) {
    return true;
  }
  const std::string oldDir = node.Directory();
  node.name = newName;
  const std::string newDir = node.Directory();
  const TreeNode* parent = GetParent(&node);
  // The name only changes together with the directory: a folder whose directory kept the old
  // name would send its searches' reads and writes to files that are not there.
  bool renamed =
      parent != nullptr && IsValidFolderName(newName) && !HasFolderNamed(*parent, newName, &node);
  if (!renamed) {
    LogFolderRenameFailed(oldDir, newDir);
  } else {
    renamed = MoveFolderFiles(node, oldDir, newDir);
  }
  if (!renamed) {
    node.name = oldName;
  }
  return renamed;
}

bool DeleteFolderFiles(SearchFolder& node) {
  const std::string directory = node.Directory();
  if (FolderExists(directory) && !RemoveEmptyFolder(directory)) {
    LogMessage(0, kLogError, "failed to delete %s", directory.c_str());
    return false;
  }
  const std::string file = node.PropertiesFile();
  if (FileExists(file) && !RemoveFile(file)) {
    LogMessage(0, kLogError, "failed to delete %s", file.c_str());
    return false;
  }
  return true;
}

TreeNodeFactory SearchTreeFactory() {
  return {
      [](const std::string&) -> std::unique_ptr<TreeNode> {
        return std::make_unique<SearchFolder>();
      },
      [](const std::string&) -> std::unique_ptr<TreeNode> {
        return std::make_unique<SavedSearchNode>();
      },
  };
}

std::unique_ptr<Tree> ScanSearchTree() {
  return ScanTree(GetSearchesFolder(), SearchTreeFactory());
}

}  // namespace tulix
