// The behaviour the searches pane and the categories pane share over a tree of the core
// (definitions/tree.h): showing what family mode lets the user see, "New Folder" with its
// numbering, deleting with the question for a folder that is not empty, renaming where the pane
// and the node allow it, and moving a node by drag and drop, its files with it.
//
// Items refer to their nodes by pointer; the pane is refilled after every change of the tree's
// shape, so an item never outlives its node on screen. Main thread only.
#pragma once

#include <QTreeWidget>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace tulix {

class Tree;
class TreeNode;

struct TreePaneOptions {
  // The tree shown; may give null (not loaded yet).
  std::function<Tree*()> tree;
  // Held while the pane walks the tree (the categories' reader lock); may be empty.
  std::function<std::shared_ptr<void>()> readHold;
  // The text a node shows; empty: its display name.
  std::function<std::string(const TreeNode*)> label;
  bool foldersRenamable = false;
  bool itemsRenamable = false;
  bool dragAndDrop = false;
  // Asks a Yes/No question; true for Yes. Tests replace the message box.
  std::function<bool(const QString& question)> askYesNo;
};

// The name "New Folder" gets among the children of `folder`: while a sibling has the name, the
// number at its end goes up by one ("New Folder", "New Folder1", "New Folder2", ...).
std::string NewFolderName(const TreeNode* folder);

class TreePane : public QTreeWidget {
  Q_OBJECT
 public:
  TreePane(TreePaneOptions options, QWidget* parent = nullptr);

  // Shows the tree again as it is now, keeping the selection and the open folders.
  void Refill();

  QString LabelOf(const TreeNode* node) const;
  TreeNode* NodeOf(const QTreeWidgetItem* item) const;
  QTreeWidgetItem* ItemOf(const TreeNode* node) const;
  TreeNode* SelectedNode() const;
  void SelectNode(const TreeNode* node);

  // The commands, on the selected node. Each returns whether it changed the tree.
  TreeNode* NewFolder();
  bool DeleteSelected();
  // Starts editing the selected node's label when the pane and the node allow it.
  bool RenameSelected();
  // Moves `node` as a drop on `target` does: into a folder, or beside an item.
  bool MoveNode(TreeNode* node, TreeNode* target);
  // A drop of the selected node at `at` (viewport coordinates): on the item there, or on the
  // top of the tree when there is none.
  bool DropSelectedAt(const QPoint& at);

 signals:
  // The user picked a node (click or keyboard).
  void nodeSelected(TreeNode* node);
  // The user asked for the node's menu (null: the pane's empty area).
  void nodeMenuRequested(TreeNode* node, const QPoint& globalPos);
  // A double click or Enter on a node.
  void nodeActivated(TreeNode* node);
  // The tree's shape changed through this pane.
  void treeChanged();

 protected:
  void dropEvent(QDropEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void AddChildren(QTreeWidgetItem* parentItem, const TreeNode* parent);
  void FinishRename(QTreeWidgetItem* item);

  TreePaneOptions m_options;
  QIcon m_folderIcon;
  QIcon m_leafIcon;
  std::unordered_map<const TreeNode*, QTreeWidgetItem*> m_items;
  bool m_filling = false;
};

}  // namespace tulix
