// A saved search as a node of the tree of searches: its file (searches folder + "\" + path +
// ".ini") and what the tree does with it (move, delete, icon, family visibility). The search's
// settings and results are not read here; the full saved search builds on this node.
//
// Ownership and thread safety as for every tree node (definitions/tree.h).
#pragma once

#include <string>
#include <string_view>

#include "definitions/tree.h"

namespace tulix {

class SavedSearchNode : public TreeNode {
 public:
  SavedSearchNode() = default;

  // searches folder + "\" + path + ".ini".
  std::string FilePath() const;
  // The name of the search's category.
  virtual std::string CategoryName() const { return category; }

  // The category's ".ico" file when it exists; empty (the default icon) otherwise.
  std::string IconFile(std::string_view treeFolder) const override;
  // Removes the search's file; a file that is not there counts as removed.
  bool DeleteFiles() override;
  // Renames the file to new folder + "\" + name + ".ini"; "Cannot rename file %s to %s"
  // (logged) and false when that fails, an existing file is never replaced.
  bool MoveFiles(const TreeNode& newFolder) override;
  // In family mode shown only when its category (if the category tree knows it) is usable in
  // family mode and its folder is shown; otherwise where its folder is.
  bool IsUsable(bool familyModeOn) const override;

  std::string category;
};

}  // namespace tulix
