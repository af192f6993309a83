// Search folders: the folder nodes of the tree of searches. Each mirrors a directory below the
// searches folder (GetSearchesFolder) and may have a properties file beside it, the directory's
// path followed by ".sdp", a profile file whose [main] familysafe says whether the folder, and
// everything below it, may be shown in family mode.
//
// Ownership and thread safety as for every tree node (definitions/tree.h): owned by the parent,
// used on the user-interface thread.
#pragma once

#include <memory>
#include <string>

#include "definitions/tree.h"

namespace tulix {

class SearchFolder : public TreeNode {
 public:
  SearchFolder();

  // searches folder + "\" + path, and the same + ".sdp".
  std::string Directory() const;
  std::string PropertiesFile() const;

  bool DeleteFiles() override;
  // Moves the directory and the properties file below the new folder.
  bool MoveFiles(const TreeNode& newFolder) override;
  // False in family mode when this folder is not family-safe; else what the parent says, and
  // true at the root.
  bool IsUsable(bool familyModeOn) const override;
  bool Rename(const std::string& newName) override;
  // Reads familysafe (1 when there is no file or no key).
  bool Load() override;
  // Writes familysafe; false, logged, when the file cannot be written.
  bool Save() override;

  int familySafe = 1;
};

// Renames the folder and its directory, then its properties file when it has one. When the
// directory cannot be renamed ("error renaming search folder %s to %s", logged) the folder
// keeps its old name, so its searches still find their files, and false is returned. When only
// the properties file cannot be renamed ("error renaming search folder properties file %s to
// %s"), the folder's setting is written to the new file instead. A folder without a directory
// yet simply takes the new name. Names that are empty, ".", "..", hold a separator, or belong
// to a sibling folder are refused like a failed rename.
bool RenameFolder(SearchFolder& node, const std::string& newName);

// Removes the folder's directory (which must be empty by now) and then its properties file;
// each failure is logged as "failed to delete %s". When the directory stays, so does the
// properties file, so the folder keeps its family setting. A directory that is not there
// counts as removed.
bool DeleteFolderFiles(SearchFolder& node);

// The factory of the tree of searches: SearchFolder for folders, SavedSearchNode for files.
TreeNodeFactory SearchTreeFactory();

// Scans the searches folder into a new tree of searches.
std::unique_ptr<Tree> ScanSearchTree();

}  // namespace tulix
