// The node framework behind the two trees that mirror folders on disk: the category tree
// (categories holding engine definitions) and the tree of searches (search folders holding
// saved searches).
//
// Every node owns its children. Element 0 of a node's `children` is its up-link entry: a node
// of kind kUpLinkNode named ".." whose `link` points (without owning) at the node's parent; the
// real children start at index 1. The root's up-link entry has no parent. A node's path is the
// names of its ancestors below the root and its own name, joined with "\"; its files live at
// the same path below the folder the tree mirrors.
//
// Ownership: a Tree owns its root and, through it, every node. Pointers handed out by the
// functions below stay valid until the node is deleted or the tree is destroyed.
//
// Thread safety: none of its own. A tree is built and changed on one thread at a time; other
// threads may read it only while nobody changes it. The category tree is kept so by
// App().categoryTreeLock (definitions/category.h).
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tulix {

// Values of TreeNode::kind.
inline constexpr int kLeafNode = 0;    // a saved search or an engine definition
inline constexpr int kFolderNode = 1;  // a search folder or a category
inline constexpr int kUpLinkNode = 2;  // the ".." entry at index 0 of every node's children

class TreeNode {
 public:
  TreeNode();
  virtual ~TreeNode();
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;

  // The node's operations. Derived nodes override what concerns them; the defaults suit a node
  // that has no files of its own. Menus and the shell's icons belong to the desktop program.

  // The file whose icon the views show for the node: by default the node's own file (a leaf)
  // or folder, below `treeFolder`, the folder the node's tree mirrors. Empty means the
  // program's default icon.
  virtual std::string IconFile(std::string_view treeFolder) const;
  // Removes the node's files from disk. False, with the failure logged, when something that
  // belongs to the node could not be removed.
  virtual bool DeleteFiles() { return true; }
  virtual std::string TypeName() const { return "invalid"; }
  // Moves the node's files below `newFolder` (the node is still at its old place when this
  // runs). False, with the failure logged, when they could not be moved.
  virtual bool MoveFiles(const TreeNode& newFolder);
  // The sort key among siblings, ascending.
  virtual int Order() const { return order; }
  virtual std::string DisplayName() const { return name; }
  // Whether the node may be offered to the user with family mode in the given state.
  virtual bool IsUsable(bool familyModeOn) const;
  virtual void Renumber() {}
  // Gives the node a new name, with its files. The default refuses: a node that keeps files
  // cannot change its name without moving them.
  virtual bool Rename(const std::string& newName);
  // Read or write the node's own file. Defaults: nothing to do.
  virtual bool Load() { return true; }
  virtual bool Save() { return true; }

  // Icon indexes the views cache, -1 until asked: normal and open icon, small and large, for
  // the node and for its file.
  std::array<int, 8> iconIndexes;
  int spare = 0;  // zero at construction; kept for the views
  int order = 0;
  int kind = kLeafNode;
  std::vector<std::unique_ptr<TreeNode>> children;
  int deleting = 0;          // set while the node is being deleted, so it is never deleted twice
  std::string name;          // the file or folder name without extension
  TreeNode* link = nullptr;  // in an up-link entry: the parent, not owned
};

// What a tree creates its nodes with. Each takes the node's path in the tree (the name of the
// node last); a folder node must have kind kFolderNode. A factory may return null for a path it
// does not want.
struct TreeNodeFactory {
  std::function<std::unique_ptr<TreeNode>(const std::string& path)> createFolder;
  std::function<std::unique_ptr<TreeNode>(const std::string& path)> createLeaf;
};

// The parent of a node: the link of its up-link entry. Null for the root, for a node that has
// not been added anywhere, and for null.
TreeNode* GetParent(const TreeNode* node);

// Names the node `name`, gives it its up-link entry to `parent` (a node moved from elsewhere
// keeps its entry, relinked) and inserts it before the first real child whose Order() is
// strictly greater than its own, or at the end. Returns the node; null (the node dropped) when
// `parent` or `node` is null.
TreeNode* AddChild(TreeNode* parent, const std::string& name, std::unique_ptr<TreeNode> node);

// Moves the node among its siblings to where its Order() now places it: before the first other
// sibling whose Order() is strictly greater, or last. For a node that had to be added before it
// could read its file (its path comes from its place) and learns its order only then.
void PlaceByOrder(TreeNode* node);

// The first child, up-link entry included, whose name (FindChild) or display name
// (FindChildByDisplayName) equals `name` exactly. A null parent writes a line to the trace
// stream and gives null.
TreeNode* FindChild(const TreeNode* parent, std::string_view name);
TreeNode* FindChildByDisplayName(const TreeNode* parent, std::string_view name);

// The index of `child` among the real children of `parent` (from 1), or -1.
int IndexOf(const TreeNode* parent, const TreeNode* child);

// Kind folder or up-link entry.
bool IsFolder(const TreeNode* node);

// Whether the node may be offered to the user now, with the current family mode.
bool IsUsableNow(const TreeNode* node);

// The node's names from below the root down, joined with "\"; empty for the root.
std::string NodePath(const TreeNode* node);
// treeFolder + "\" + path + ".ini": the file of a leaf.
std::string LeafFilePath(std::string_view treeFolder, const TreeNode* node);
// treeFolder + "\" + path (treeFolder itself for the root): the directory of a folder node.
std::string FolderDirectory(std::string_view treeFolder, const TreeNode* node);

class Tree {
 public:
  // A tree mirroring `folder` (the internal path of the folder on disk), holding only its root:
  // a folder node from the factory (a plain one when it gives none) with an empty name.
  Tree(std::string folder, TreeNodeFactory factory);
  ~Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  TreeNode* root() const { return m_root.get(); }
  const std::string& folder() const { return m_folder; }
  const TreeNodeFactory& factory() const { return m_factory; }

  // Adds `node` under the folder with the tree path `folderPath` (empty: the root), keeping
  // the node's name. Missing folders are created one level at a time through the factory and
  // load their files. Returns the node, or null (the node dropped) when it is null or a
  // missing folder could not be created.
  TreeNode* Add(std::string_view folderPath, std::unique_ptr<TreeNode> node);

  // The folder node with this tree path (empty: the root), or null; nothing is created.
  TreeNode* FindFolder(std::string_view folderPath) const;
  // The node with this tree path, folders before leaves of the same name; null when absent.
  TreeNode* Find(std::string_view path) const;

  std::string LeafFile(const TreeNode* node) const { return LeafFilePath(m_folder, node); }
  std::string FolderPath(const TreeNode* node) const { return FolderDirectory(m_folder, node); }

  // Deletes the node with its files: a folder's children first, then the node's own files,
  // then the node. A null node or a root is refused ("Attempt to delete root node", logged).
  // When some files cannot be removed the node stays (children already deleted stay deleted)
  // and false is returned. A node already being deleted reports success. `node` is invalid
  // after a successful call.
  static bool Delete(TreeNode* node);

  // Moves the node (with its files) into the folder `newFolder`, placed by its order. Refused
  // for the root, for a folder into itself or its own descendant, and when the files cannot
  // be moved; the tree is then unchanged.
  static bool Move(TreeNode* node, TreeNode* newFolder);

  // Walks the real children of `start` depth-first in index order. A leaf is returned. A
  // folder is returned when `returnFolders` is set, and entered (after being returned) when
  // `recurse` is set. The tree must not change during the walk.
  class Iterator {
   public:
    Iterator(const TreeNode* start, bool recurse, bool returnFolders);
    // The next node, or null when the walk is over.
    TreeNode* Next();

   private:
    struct Level {
      const TreeNode* node;
      size_t next;
    };
    std::vector<Level> m_stack;
    bool m_recurse;
    bool m_returnFolders;
  };

  // Every node the iterator would return, in order.
  static std::vector<TreeNode*> Collect(const TreeNode* start, bool recurse, bool returnFolders);

 private:
  TreeNode* CreateFolder(TreeNode* parent, const std::string& name);

  std::string m_folder;
  TreeNodeFactory m_factory;
  std::unique_ptr<TreeNode> m_root;
};

}  // namespace tulix
