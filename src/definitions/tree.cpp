#include "definitions/tree.h"

#include <algorithm>

#include "base/log.h"
#include "family/family_mode.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace tulix {

namespace {

std::unique_ptr<TreeNode> MakeUpLink(TreeNode* parent) {
  auto upLink = std::make_unique<TreeNode>();
  upLink->kind = kUpLinkNode;
  upLink->name = "..";
  upLink->link = parent;
  return upLink;
}

// The first real child that is a folder with this name. Leaves are passed over: a search
// "A.ini" and a folder "A" may well lie side by side.
TreeNode* FindFolderChild(const TreeNode* parent, std::string_view name) {
  for (size_t i = 1; i < parent->children.size(); ++i) {
    TreeNode* child = parent->children[i].get();
    if (child->kind == kFolderNode && child->name == name) {
      return child;
    }
  }
  return nullptr;
}

// Calls `visit` with each non-empty component of a "\"-separated path; stops when it returns
// false and then returns false itself.
template <typename Visit>
bool ForEachComponent(std::string_view path, Visit visit) {
  while (!path.empty()) {
    size_t slash = path.find('\\');
    std::string_view part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (!part.empty() && !visit(part)) {
      return false;
    }
  }
  return true;
}

bool IsAncestorOrSelf(const TreeNode* candidate, const TreeNode* node) {
  for (const TreeNode* n = node; n != nullptr; n = GetParent(n)) {
    if (n == candidate) {
      return true;
    }
  }
  return false;
}

// Takes the node out of its parent's children and hands over its ownership.
std::unique_ptr<TreeNode> Detach(TreeNode* node) {
  TreeNode* parent = GetParent(node);
  auto& siblings = parent->children;
  auto it =
      std::find_if(siblings.begin() + 1, siblings.end(),
                   [node](const std::unique_ptr<TreeNode>& child) { return child.get() == node; });
  if (it == siblings.end()) {
    return nullptr;
  }
  std::unique_ptr<TreeNode> owned = std::move(*it);
  siblings.erase(it);
  return owned;
}

}  // namespace

// ---- TreeNode ----

TreeNode::TreeNode() {
  iconIndexes.fill(-1);
}

TreeNode::~TreeNode() = default;

std::string TreeNode::IconFile(std::string_view treeFolder) const {
  return kind == kLeafNode ? LeafFilePath(treeFolder, this) : FolderDirectory(treeFolder, this);
}

bool TreeNode::MoveFiles(const TreeNode& /*newFolder*/) {
  return true;
}

bool TreeNode::IsUsable(bool /*familyModeOn*/) const {
  return true;
}

bool TreeNode::Rename(const std::string& /*newName*/) {
  return false;
}

// ---- Node functions ----

TreeNode* GetParent(const TreeNode* node) {
  if (node == nullptr || node->children.empty()) {
    return nullptr;
  }
  return node->children[0]->link;
}

TreeNode* AddChild(TreeNode* parent, const std::string& name, std::unique_ptr<TreeNode> node) {
  if (parent == nullptr || node == nullptr) {
    return nullptr;
  }
  node->name = name;
  if (!node->children.empty() && node->children[0]->kind == kUpLinkNode) {
    node->children[0]->link = parent;
  } else {
    node->children.insert(node->children.begin(), MakeUpLink(parent));
  }
  const int order = node->Order();
  auto& siblings = parent->children;
  auto place = std::find_if(
      siblings.begin() + 1, siblings.end(),
      [order](const std::unique_ptr<TreeNode>& sibling) { return sibling->Order() > order; });
  TreeNode* added = node.get();
  siblings.insert(place, std::move(node));
  return added;
}

void PlaceByOrder(TreeNode* node) {
  TreeNode* parent = GetParent(node);
  if (parent == nullptr) {
    return;
  }
  std::unique_ptr<TreeNode> owned = Detach(node);
  if (owned != nullptr) {
    const std::string name = owned->name;
    AddChild(parent, name, std::move(owned));
  }
}

TreeNode* FindChild(const TreeNode* parent, std::string_view name) {
  if (parent == nullptr) {
    Trace("Null Node passed to Find Item\n");
    return nullptr;
  }
  for (const auto& child : parent->children) {
    if (child->name == name) {
      return child.get();
    }
  }
  return nullptr;
}

TreeNode* FindChildByDisplayName(const TreeNode* parent, std::string_view name) {
  if (parent == nullptr) {
    Trace("Null Node passed to Find Item\n");
    return nullptr;
  }
  for (const auto& child : parent->children) {
    if (child->DisplayName() == name) {
      return child.get();
    }
  }
  return nullptr;
}

int IndexOf(const TreeNode* parent, const TreeNode* child) {
  if (parent == nullptr || child == nullptr) {
    return -1;
  }
  for (size_t i = 1; i < parent->children.size(); ++i) {
    if (parent->children[i].get() == child) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool IsFolder(const TreeNode* node) {
  return node != nullptr && (node->kind == kFolderNode || node->kind == kUpLinkNode);
}

bool IsUsableNow(const TreeNode* node) {
  return node != nullptr && node->IsUsable(IsFamilyModeOn());
}

std::string NodePath(const TreeNode* node) {
  std::vector<const std::string*> names;
  for (const TreeNode* n = node; n != nullptr;) {
    const TreeNode* parent = GetParent(n);
    if (parent == nullptr) {
      break;  // the root's own (empty) name is not part of any path
    }
    names.push_back(&n->name);
    n = parent;
  }
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (it != names.rbegin()) {
      path += '\\';
    }
    path += **it;
  }
  return path;
}

std::string LeafFilePath(std::string_view treeFolder, const TreeNode* node) {
  return std::string(treeFolder) + "\\" + NodePath(node) + ".ini";
}

std::string FolderDirectory(std::string_view treeFolder, const TreeNode* node) {
  std::string path = NodePath(node);
  return path.empty() ? std::string(treeFolder) : JoinPath(treeFolder, path);
}

// ---- Tree ----

Tree::Tree(std::string folder, TreeNodeFactory factory)
    : m_folder(std::move(folder)), m_factory(std::move(factory)) {
  if (m_factory.createFolder) {
    m_root = m_factory.createFolder("");
  }
  if (m_root == nullptr) {
    m_root = std::make_unique<TreeNode>();
  }
  m_root->kind = kFolderNode;
  m_root->name.clear();
  m_root->children.insert(m_root->children.begin(), MakeUpLink(nullptr));
}

Tree::~Tree() = default;

TreeNode* Tree::CreateFolder(TreeNode* parent, const std::string& name) {
  if (!m_factory.createFolder) {
    return nullptr;
  }
  const std::string parentPath = NodePath(parent);
  std::unique_ptr<TreeNode> folder = m_factory.createFolder(JoinPath(parentPath, name));
  if (folder == nullptr) {
    return nullptr;
  }
  folder->kind = kFolderNode;
  TreeNode* added = AddChild(parent, name, std::move(folder));
  // A folder made on the way may well have its file already (a category whose file arrives
  // after its sub-category's): it should show what the file says, and stand where its order
  // says.
  added->Load();
  PlaceByOrder(added);
  return added;
}

TreeNode* Tree::Add(std::string_view folderPath, std::unique_ptr<TreeNode> node) {
  if (node == nullptr) {
    return nullptr;
  }
  TreeNode* folder = m_root.get();
  bool found = ForEachComponent(folderPath, [&](std::string_view part) {
    TreeNode* next = FindFolderChild(folder, part);
    if (next == nullptr) {
      next = CreateFolder(folder, std::string(part));
    }
    folder = next;
    return folder != nullptr;
  });
  if (!found) {
    return nullptr;
  }
  const std::string name = node->name;
  return AddChild(folder, name, std::move(node));
}

TreeNode* Tree::FindFolder(std::string_view folderPath) const {
  TreeNode* folder = m_root.get();
  ForEachComponent(folderPath, [&](std::string_view part) {
    folder = FindFolderChild(folder, part);
    return folder != nullptr;
  });
  return folder;
}

TreeNode* Tree::Find(std::string_view path) const {
  TreeNode* parent = FindFolder(FolderOf(path));
  if (parent == nullptr) {
    return nullptr;
  }
  std::string_view name = path.substr(path.find_last_of('\\') + 1);
  if (name.empty()) {
    return path.empty() ? m_root.get() : nullptr;
  }
  if (TreeNode* folder = FindFolderChild(parent, name)) {
    return folder;
  }
  for (size_t i = 1; i < parent->children.size(); ++i) {
    if (parent->children[i]->name == name) {
      return parent->children[i].get();
    }
  }
  return nullptr;
}

bool Tree::Delete(TreeNode* node) {
  if (node == nullptr || GetParent(node) == nullptr) {
    // The root holds the whole tree and mirrors the data folder itself: never deleted.
    LogMessage(0, kLogError, "Attempt to delete root node");
    return false;
  }
  if (node->deleting) {
    return true;
  }
  node->deleting = 1;
  if (IsFolder(node)) {
    // A snapshot, since each successful delete takes its node out of the list.
    std::vector<TreeNode*> children;
    for (size_t i = 1; i < node->children.size(); ++i) {
      children.push_back(node->children[i].get());
    }
    for (TreeNode* child : children) {
      if (!Delete(child)) {
        node->deleting = 0;
        return false;
      }
    }
  }
  // The files go last, so a folder's directory is already empty when it is removed; and when
  // they cannot go, the node stays so the tree still shows what is on disk.
  if (!node->DeleteFiles()) {
    node->deleting = 0;
    return false;
  }
  Detach(node);  // destroys the node with its up-link entry and children
  return true;
}

bool Tree::Move(TreeNode* node, TreeNode* newFolder) {
  TreeNode* oldParent = GetParent(node);
  if (oldParent == nullptr || node->kind == kUpLinkNode || newFolder == nullptr ||
      newFolder->kind != kFolderNode || IsAncestorOrSelf(node, newFolder)) {
    return false;
  }
  if (oldParent == newFolder) {
    return true;
  }
  if (!node->MoveFiles(*newFolder)) {
    return false;
  }
  std::unique_ptr<TreeNode> owned = Detach(node);
  const std::string name = owned->name;
  AddChild(newFolder, name, std::move(owned));
  return true;
}

// ---- Iterator ----

Tree::Iterator::Iterator(const TreeNode* start, bool recurse, bool returnFolders)
    : m_recurse(recurse), m_returnFolders(returnFolders) {
  if (start != nullptr) {
    m_stack.push_back({start, 1});
  }
}

TreeNode* Tree::Iterator::Next() {
  while (!m_stack.empty()) {
    Level& level = m_stack.back();
    if (level.next >= level.node->children.size()) {
      m_stack.pop_back();
      continue;
    }
    TreeNode* child = level.node->children[level.next++].get();
    if (!IsFolder(child)) {
      return child;
    }
    if (m_recurse) {
      m_stack.push_back({child, 1});  // `level` may dangle from here on
    }
    if (m_returnFolders) {
      return child;
    }
  }
  return nullptr;
}

std::vector<TreeNode*> Tree::Collect(const TreeNode* start, bool recurse, bool returnFolders) {
  std::vector<TreeNode*> nodes;
  Iterator it(start, recurse, returnFolders);
  while (TreeNode* node = it.Next()) {
    nodes.push_back(node);
  }
  return nodes;
}

}  // namespace tulix
