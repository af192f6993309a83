#include "ui/tree_pane.h"

#include <QContextMenuEvent>
#include <QDropEvent>
#include <QMessageBox>

#include <set>

#include "definitions/tree.h"
#include "platform/paths.h"
#include "ui/core_text.h"

namespace tulix {

namespace {

constexpr int kNodeRole = Qt::UserRole + 1;

// Splits "New Folder12" into "New Folder" and 12; no number at the end counts as 0.
std::pair<std::string, long long> SplitTrailingNumber(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') {
    --digits;
  }
  long long number = 0;
  for (size_t i = digits; i < name.size() && number < 1'000'000'000LL; ++i) {
    number = number * 10 + (name[i] - '0');
  }
  return {name.substr(0, digits), number};
}

}  // namespace

std::string NewFolderName(const TreeNode* folder) {
  std::string name = "New Folder";
  while (FindChild(folder, name) != nullptr) {
    auto [stem, number] = SplitTrailingNumber(name);
    name = stem + std::to_string(number + 1);
  }
  return name;
}

TreePane::TreePane(TreePaneOptions options, QWidget* parent)
    : QTreeWidget(parent), m_options(std::move(options)) {
  if (!m_options.askYesNo) {
    m_options.askYesNo = [this](const QString& question) {
      return QMessageBox::question(this, QStringLiteral("Tulix"), question,
                                   QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
  }
  // Made once: asking the style for them per item decodes their images again each time.
  m_folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
  m_leafIcon = style()->standardIcon(QStyle::SP_FileIcon);
  setHeaderHidden(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::EditKeyPressed);
  if (m_options.dragAndDrop) {
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::InternalMove);
    setAutoScroll(true);  // scrolls while a drag nears the top or bottom edge
  }
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (!m_filling && item != nullptr) {
      emit nodeSelected(NodeOf(item));
    }
  });
  connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    emit nodeActivated(NodeOf(item));
  });
  connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item) {
    if (!m_filling) {
      FinishRename(item);
    }
  });
}

void TreePane::Refill() {
  const TreeNode* selected = SelectedNode();
  std::set<const TreeNode*> open;
  for (const auto& [node, item] : m_items) {
    if (item->isExpanded()) {
      open.insert(node);
    }
  }
  m_filling = true;
  const std::shared_ptr<void> hold = m_options.readHold ? m_options.readHold() : nullptr;
  clear();
  m_items.clear();
  Tree* tree = m_options.tree ? m_options.tree() : nullptr;
  if (tree != nullptr && tree->root() != nullptr) {
    AddChildren(invisibleRootItem(), tree->root());
  }
  for (const TreeNode* node : open) {
    if (QTreeWidgetItem* item = ItemOf(node)) {
      item->setExpanded(true);
    }
  }
  if (QTreeWidgetItem* item = ItemOf(selected)) {
    setCurrentItem(item);
  }
  m_filling = false;
}

void TreePane::AddChildren(QTreeWidgetItem* parentItem, const TreeNode* parent) {
  for (TreeNode* node : Tree::Collect(parent, false, true)) {
    if (!IsUsableNow(node)) {
      continue;  // hidden in family mode, with everything below it
    }
    auto* item = new QTreeWidgetItem(parentItem);
    item->setText(0, LabelOf(node));
    item->setData(0, kNodeRole, QVariant::fromValue(reinterpret_cast<quintptr>(node)));
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    const bool folder = IsFolder(node);
    if ((folder && m_options.foldersRenamable) || (!folder && m_options.itemsRenamable)) {
      flags |= Qt::ItemIsEditable;
    }
    if (m_options.dragAndDrop) {
      flags |= Qt::ItemIsDragEnabled;
      if (folder) {
        flags |= Qt::ItemIsDropEnabled;
      }
    }
    item->setFlags(flags);
    item->setIcon(0, folder ? m_folderIcon : m_leafIcon);
    m_items[node] = item;
    if (folder) {
      AddChildren(item, node);
    }
  }
}

QString TreePane::LabelOf(const TreeNode* node) const {
  return FromCoreText(m_options.label ? m_options.label(node) : node->DisplayName());
}

TreeNode* TreePane::NodeOf(const QTreeWidgetItem* item) const {
  if (item == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<TreeNode*>(item->data(0, kNodeRole).value<quintptr>());
}

QTreeWidgetItem* TreePane::ItemOf(const TreeNode* node) const {
  auto it = m_items.find(node);
  return it == m_items.end() ? nullptr : it->second;
}

TreeNode* TreePane::SelectedNode() const {
  return NodeOf(currentItem());
}

void TreePane::SelectNode(const TreeNode* node) {
  if (QTreeWidgetItem* item = ItemOf(node)) {
    setCurrentItem(item);
    scrollToItem(item);
  }
}

TreeNode* TreePane::NewFolder() {
  Tree* tree = m_options.tree ? m_options.tree() : nullptr;
  if (tree == nullptr) {
    return nullptr;
  }
  TreeNode* parent = SelectedNode();
  if (parent == nullptr) {
    parent = tree->root();
  } else if (!IsFolder(parent)) {
    parent = GetParent(parent);
  }
  const std::string name = NewFolderName(parent);
  const std::string parentPath = NodePath(parent);
  const std::string path = parentPath.empty() ? name : parentPath + "\\" + name;
  std::unique_ptr<TreeNode> folder = tree->factory().createFolder(path);
  if (!folder) {
    return nullptr;
  }
  TreeNode* added = tree->Add(parentPath, std::move(folder));
  if (added == nullptr) {
    return nullptr;
  }
  added->name = name;
  MakeFolders(tree->FolderPath(added));
  Refill();
  if (QTreeWidgetItem* parentItem = ItemOf(parent)) {
    parentItem->setExpanded(true);
  }
  SelectNode(added);
  emit treeChanged();
  return added;
}

bool TreePane::DeleteSelected() {
  TreeNode* node = SelectedNode();
  if (node == nullptr) {
    return false;
  }
  if (IsFolder(node) && !Tree::Collect(node, false, true).empty() &&
      !m_options.askYesNo(QStringLiteral("Folder is not empty, Do you really want to delete?"))) {
    return false;
  }
  emit nodeSelected(nullptr);  // whoever shows the node lets go of it first
  if (!Tree::Delete(node)) {
    Refill();
    return false;
  }
  Refill();
  emit treeChanged();
  return true;
}

bool TreePane::RenameSelected() {
  QTreeWidgetItem* item = currentItem();
  if (item == nullptr || (item->flags() & Qt::ItemIsEditable) == 0) {
    return false;
  }
  editItem(item, 0);
  return true;
}

void TreePane::FinishRename(QTreeWidgetItem* item) {
  TreeNode* node = NodeOf(item);
  if (node == nullptr) {
    return;
  }
  if (item->text(0) == LabelOf(node)) {
    return;
  }
  if (node->Rename(ToCoreText(item->text(0)))) {
    emit treeChanged();
  }
  // Shows the name the node has now: the new one, or the old one when the rename was refused.
  Refill();
  SelectNode(node);
}

bool TreePane::MoveNode(TreeNode* node, TreeNode* target) {
  if (node == nullptr || target == nullptr || node == target) {
    return false;
  }
  TreeNode* folder = IsFolder(target) ? target : GetParent(target);
  if (folder == nullptr || folder == GetParent(node)) {
    return false;
  }
  if (!Tree::Move(node, folder)) {
    return false;
  }
  Refill();
  if (QTreeWidgetItem* folderItem = ItemOf(folder)) {
    folderItem->setExpanded(true);
  }
  SelectNode(node);
  emit treeChanged();
  return true;
}

void TreePane::dropEvent(QDropEvent* event) {
  // The widget's own move is never used: the tree moves the node with its files and the pane
  // is refilled from the tree.
  event->setDropAction(Qt::IgnoreAction);
  event->accept();
  DropSelectedAt(event->position().toPoint());
}

bool TreePane::DropSelectedAt(const QPoint& at) {
  QTreeWidgetItem* targetItem = itemAt(at);
  TreeNode* target = targetItem != nullptr ? NodeOf(targetItem) : nullptr;
  if (target == nullptr) {
    Tree* tree = m_options.tree ? m_options.tree() : nullptr;
    target = tree != nullptr ? tree->root() : nullptr;
  }
  return MoveNode(SelectedNode(), target);
}

void TreePane::contextMenuEvent(QContextMenuEvent* event) {
  QTreeWidgetItem* item = itemAt(viewport()->mapFromGlobal(event->globalPos()));
  if (item != nullptr) {
    setCurrentItem(item);
  }
  emit nodeMenuRequested(NodeOf(item), event->globalPos());
}

}  // namespace tulix
