#include "definitions/tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "definitions/tree_scan.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "test_support.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// A node that records what the tree does with it.
class TestNode : public TreeNode {
 public:
  TestNode(int nodeKind, int nodeOrder, std::vector<std::string>* events = nullptr)
      : m_events(events) {
    kind = nodeKind;
    order = nodeOrder;
  }
  std::string DisplayName() const override { return display.empty() ? name : display; }
  bool DeleteFiles() override {
    if (m_events != nullptr) {
      m_events->push_back("files " + name);
    }
    return !failDelete;
  }
  bool MoveFiles(const TreeNode& newFolder) override {
    if (m_events != nullptr) {
      m_events->push_back("move " + name + " to " + NodePath(&newFolder));
    }
    return !failMove;
  }
  bool Load() override {
    ++loads;
    return true;
  }

  std::string display;
  bool failDelete = false;
  bool failMove = false;
  int loads = 0;

 private:
  std::vector<std::string>* m_events;
};

TestNode* Add(TreeNode* parent, const std::string& name, int kind, int order = 0,
              std::vector<std::string>* events = nullptr) {
  return static_cast<TestNode*>(
      AddChild(parent, name, std::make_unique<TestNode>(kind, order, events)));
}

// The real children's names, space-separated.
std::string ChildNames(const TreeNode* parent) {
  std::string names;
  for (size_t i = 1; i < parent->children.size(); ++i) {
    names += (i > 1 ? " " : "") + parent->children[i]->name;
  }
  return names;
}

std::string Paths(const std::vector<TreeNode*>& nodes) {
  std::string paths;
  for (const TreeNode* node : nodes) {
    paths += (paths.empty() ? "" : " ") + NodePath(node);
  }
  return paths;
}

TreeNodeFactory TestFactory(std::vector<std::string>* created = nullptr) {
  return {[created](const std::string& path) -> std::unique_ptr<TreeNode> {
            if (created != nullptr) {
              created->push_back("folder " + path);
            }
            return std::make_unique<TestNode>(kFolderNode, 0);
          },
          [created](const std::string& path) -> std::unique_ptr<TreeNode> {
            if (created != nullptr) {
              created->push_back("leaf " + path);
            }
            return std::make_unique<TestNode>(kLeafNode, 0);
          }};
}

TEST(TreeFramework, InsertsBeforeTheFirstGreaterOrderKeepingEqualOrdersInArrivalOrder) {
  Tree tree("/data", TestFactory());
  TreeNode* root = tree.root();
  Add(root, "A", kLeafNode, 500);
  Add(root, "B", kLeafNode, 100);
  Add(root, "C", kLeafNode, 500);
  Add(root, "D", kLeafNode, 0);
  Add(root, "E", kFolderNode, 700);
  Add(root, "F", kLeafNode, 500);
  EXPECT_EQ(ChildNames(root), "D B A C F E");

  TreeNode* zeros = Add(root, "zeros", kFolderNode, 800);
  for (const char* name : {"z1", "z2", "z3"}) {
    Add(zeros, name, kLeafNode, 0);
  }
  EXPECT_EQ(ChildNames(zeros), "z1 z2 z3");
}

TEST(TreeFramework, UpLinkEntriesParentsAndPaths) {
  Tree tree("/data\\searches", TestFactory());
  TreeNode* root = tree.root();
  ASSERT_EQ(root->children.size(), 1u);
  EXPECT_EQ(root->children[0]->kind, kUpLinkNode);
  EXPECT_EQ(root->children[0]->name, "..");
  EXPECT_EQ(root->children[0]->link, nullptr);
  EXPECT_EQ(root->kind, kFolderNode);
  EXPECT_EQ(GetParent(root), nullptr);
  EXPECT_EQ(GetParent(nullptr), nullptr);

  TreeNode* folder = Add(root, "Work", kFolderNode);
  TreeNode* sub = Add(folder, "Old Stuff", kFolderNode);
  TreeNode* leaf = Add(sub, "20240102030405", kLeafNode);
  for (TreeNode* node : {folder, sub, leaf}) {
    ASSERT_FALSE(node->children.empty());
    EXPECT_EQ(node->children[0]->kind, kUpLinkNode);
    EXPECT_EQ(node->children[0]->name, "..");
  }
  EXPECT_EQ(GetParent(folder), root);
  EXPECT_EQ(GetParent(sub), folder);
  EXPECT_EQ(GetParent(leaf), sub);
  EXPECT_EQ(leaf->children.size(), 1u);

  EXPECT_EQ(NodePath(root), "");
  EXPECT_EQ(NodePath(leaf), "Work\\Old Stuff\\20240102030405");
  EXPECT_EQ(tree.LeafFile(leaf), "/data\\searches\\Work\\Old Stuff\\20240102030405.ini");
  EXPECT_EQ(tree.FolderPath(sub), "/data\\searches\\Work\\Old Stuff");
  EXPECT_EQ(tree.FolderPath(root), "/data\\searches");
  EXPECT_EQ(leaf->IconFile(tree.folder()), tree.LeafFile(leaf));
  EXPECT_EQ(sub->IconFile(tree.folder()), tree.FolderPath(sub));

  EXPECT_FALSE(IsFolder(leaf));
  EXPECT_TRUE(IsFolder(folder));
  EXPECT_TRUE(IsFolder(folder->children[0].get()));
  EXPECT_FALSE(IsFolder(nullptr));

  // Moving relinks the node's one up-link entry.
  ASSERT_TRUE(Tree::Move(leaf, folder));
  EXPECT_EQ(GetParent(leaf), folder);
  EXPECT_EQ(leaf->children.size(), 1u);
  EXPECT_EQ(NodePath(leaf), "Work\\20240102030405");
  EXPECT_EQ(ChildNames(sub), "");
}

TEST(TreeFramework, FindChildAndIndexOf) {
  Tree tree("/data", TestFactory());
  TreeNode* root = tree.root();
  TestNode* first = Add(root, "news", kLeafNode);
  TestNode* folder = Add(root, "News", kFolderNode);
  TestNode* second = Add(root, "news", kLeafNode);
  folder->display = "Daily news";

  EXPECT_EQ(FindChild(root, "news"), first);
  EXPECT_EQ(FindChild(root, "News"), folder);
  EXPECT_EQ(FindChild(root, "NEWS"), nullptr);
  EXPECT_EQ(FindChild(root, ".."), root->children[0].get());
  EXPECT_EQ(FindChild(nullptr, "news"), nullptr);
  EXPECT_EQ(FindChildByDisplayName(root, "Daily news"), folder);
  EXPECT_EQ(FindChildByDisplayName(root, "News"), nullptr);
  EXPECT_EQ(FindChildByDisplayName(nullptr, "news"), nullptr);

  EXPECT_EQ(IndexOf(root, first), 1);
  EXPECT_EQ(IndexOf(root, folder), 2);
  EXPECT_EQ(IndexOf(root, second), 3);
  EXPECT_EQ(IndexOf(root, root->children[0].get()), -1);
  EXPECT_EQ(IndexOf(folder, first), -1);
  EXPECT_EQ(IndexOf(nullptr, first), -1);
}

// Child half of NullParentGoesToTheTraceStream: does nothing unless started by it.
TEST(TreeFrameworkChild, LooksUpInANullParent) {
  if (std::getenv("TULIX_TREE_CHILD") == nullptr) {
    return;
  }
  EXPECT_EQ(FindChild(nullptr, "x"), nullptr);
  EXPECT_EQ(FindChildByDisplayName(nullptr, "x"), nullptr);
}

TEST(TreeFramework, NullParentGoesToTheTraceStream) {
  test::TempFolder temp;
  const std::string trace = temp.File("trace.txt");
  CaptureStderr();
  ASSERT_EQ(test::RunChildTest("TreeFrameworkChild.LooksUpInANullParent",
                               {"TULIX_TRACE=" + trace, "TULIX_TREE_CHILD=1"}),
            0);
  GetCapturedStderr();
  EXPECT_EQ(test::ReadFileBytes(trace),
            "Null Node passed to Find Item\nNull Node passed to Find Item\n");
}

TEST(TreeFramework, IteratorWalksDepthFirstInEveryMode) {
  Tree tree("/data", TestFactory());
  TreeNode* root = tree.root();
  Add(root, "a", kLeafNode);
  TreeNode* f = Add(root, "F", kFolderNode);
  Add(f, "b", kLeafNode);
  TreeNode* g = Add(f, "G", kFolderNode);
  Add(g, "c", kLeafNode);
  Add(f, "d", kLeafNode);
  Add(root, "H", kFolderNode);
  TreeNode* e = Add(root, "e", kLeafNode);

  EXPECT_EQ(Paths(Tree::Collect(root, false, false)), "a e");
  EXPECT_EQ(Paths(Tree::Collect(root, false, true)), "a F H e");
  EXPECT_EQ(Paths(Tree::Collect(root, true, false)), "a F\\b F\\G\\c F\\d e");
  EXPECT_EQ(Paths(Tree::Collect(root, true, true)), "a F F\\b F\\G F\\G\\c F\\d H e");
  // The walk ends after the last child of its start, not at the end of the tree.
  EXPECT_EQ(Paths(Tree::Collect(f, true, true)), "F\\b F\\G F\\G\\c F\\d");
  EXPECT_EQ(Paths(Tree::Collect(g, false, false)), "F\\G\\c");
  EXPECT_EQ(Paths(Tree::Collect(e, true, true)), "");
  EXPECT_EQ(Paths(Tree::Collect(nullptr, true, true)), "");

  Tree::Iterator it(root, true, true);
  EXPECT_EQ(it.Next()->name, "a");
  for (int i = 0; i < 7; ++i) {
    ASSERT_NE(it.Next(), nullptr);
  }
  EXPECT_EQ(it.Next(), nullptr);
  EXPECT_EQ(it.Next(), nullptr);
}

TEST(TreeFramework, DeleteTakesChildrenThenFilesThenTheNode) {
  std::vector<std::string> events;
  Tree tree("/data", TestFactory());
  TreeNode* root = tree.root();
  TestNode* folder = Add(root, "F", kFolderNode, 0, &events);
  Add(folder, "a", kLeafNode, 0, &events);
  TestNode* sub = Add(folder, "G", kFolderNode, 0, &events);
  Add(sub, "b", kLeafNode, 0, &events);
  Add(folder, "c", kLeafNode, 0, &events);
  Add(root, "keep", kLeafNode, 0, &events);

  ASSERT_TRUE(Tree::Delete(folder));
  EXPECT_EQ(events,
            (std::vector<std::string>{"files a", "files b", "files G", "files c", "files F"}));
  EXPECT_EQ(ChildNames(root), "keep");

  // Refused: nothing, or the root.
  CaptureStderr();
  EXPECT_FALSE(Tree::Delete(nullptr));
  EXPECT_FALSE(Tree::Delete(root));
  EXPECT_EQ(GetCapturedStderr(),
            "Error: Attempt to delete root node\nError: Attempt to delete root node\n");
  EXPECT_EQ(ChildNames(root), "keep");

  // A node already being deleted is not deleted again.
  TreeNode* keep = FindChild(root, "keep");
  keep->deleting = 1;
  events.clear();
  EXPECT_TRUE(Tree::Delete(keep));
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(ChildNames(root), "keep");
}

TEST(TreeFramework, DeleteStopsAtTheFirstChildWhoseFilesStay) {
  std::vector<std::string> events;
  Tree tree("/data", TestFactory());
  TestNode* folder = Add(tree.root(), "F", kFolderNode, 0, &events);
  Add(folder, "a", kLeafNode, 0, &events);
  Add(folder, "b", kLeafNode, 0, &events)->failDelete = true;
  Add(folder, "c", kLeafNode, 0, &events);

  EXPECT_FALSE(Tree::Delete(folder));
  EXPECT_EQ(events, (std::vector<std::string>{"files a", "files b"}));
  EXPECT_EQ(ChildNames(folder), "b c");
  EXPECT_EQ(folder->deleting, 0);
  EXPECT_EQ(FindChild(folder, "b")->deleting, 0);

  // A folder whose own files stay stays too, empty.
  static_cast<TestNode*>(FindChild(folder, "b"))->failDelete = false;
  folder->failDelete = true;
  EXPECT_FALSE(Tree::Delete(folder));
  EXPECT_EQ(ChildNames(tree.root()), "F");
  EXPECT_EQ(ChildNames(folder), "");
  folder->failDelete = false;
  EXPECT_TRUE(Tree::Delete(folder));
  EXPECT_EQ(ChildNames(tree.root()), "");
}

TEST(TreeFramework, AddCreatesMissingFoldersThroughTheFactory) {
  std::vector<std::string> created;
  Tree tree("/data", TestFactory(&created));
  created.clear();
  TreeNode* root = tree.root();
  Add(root, "A", kLeafNode);  // a leaf named like the folder to come

  TreeNode* leaf = tree.Add("A\\B", std::make_unique<TestNode>(kLeafNode, 0));
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(created, (std::vector<std::string>{"folder A", "folder A\\B"}));
  EXPECT_EQ(ChildNames(root), "A A");
  TreeNode* folderA = tree.FindFolder("A");
  ASSERT_NE(folderA, nullptr);
  EXPECT_EQ(folderA->kind, kFolderNode);
  EXPECT_EQ(static_cast<TestNode*>(folderA)->loads, 1);
  EXPECT_EQ(GetParent(GetParent(leaf)), folderA);

  created.clear();
  auto named = std::make_unique<TestNode>(kLeafNode, 0);
  named->name = "x";
  TreeNode* x = tree.Add("A\\B", std::move(named));
  EXPECT_TRUE(created.empty());
  EXPECT_EQ(NodePath(x), "A\\B\\x");
  EXPECT_EQ(tree.Find("A\\B\\x"), x);
  EXPECT_EQ(tree.Find("A"), folderA);
  EXPECT_EQ(tree.Find(""), root);
  EXPECT_EQ(tree.Find("A\\nothing"), nullptr);
  EXPECT_EQ(tree.FindFolder("A\\nothing"), nullptr);
  EXPECT_EQ(tree.Add("", nullptr), nullptr);
}

TEST(TreeFramework, MoveRefusesLoopsAndKeepsTheTreeWhenFilesStay) {
  std::vector<std::string> events;
  Tree tree("/data", TestFactory());
  TreeNode* root = tree.root();
  TestNode* outer = Add(root, "Outer", kFolderNode, 0, &events);
  TestNode* inner = Add(outer, "Inner", kFolderNode, 0, &events);
  TestNode* leaf = Add(root, "s", kLeafNode, 300, &events);
  Add(inner, "early", kLeafNode, 100);
  Add(inner, "late", kLeafNode, 900);

  EXPECT_FALSE(Tree::Move(outer, inner));
  EXPECT_FALSE(Tree::Move(outer, outer));
  EXPECT_FALSE(Tree::Move(root, outer));
  EXPECT_FALSE(Tree::Move(leaf, nullptr));
  EXPECT_FALSE(Tree::Move(leaf, FindChild(root, "s")));  // not a folder
  EXPECT_TRUE(events.empty());

  leaf->failMove = true;
  EXPECT_FALSE(Tree::Move(leaf, inner));
  EXPECT_EQ(GetParent(leaf), root);
  EXPECT_EQ(ChildNames(root), "Outer s");

  leaf->failMove = false;
  events.clear();
  ASSERT_TRUE(Tree::Move(leaf, inner));
  EXPECT_EQ(events, (std::vector<std::string>{"move s to Outer\\Inner"}));
  EXPECT_EQ(ChildNames(inner), "early s late");
  EXPECT_EQ(ChildNames(root), "Outer");
}

// ---- The start-up scan over real folders ----

class TreeScanTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_top = m_temp.File("top");
    fs::create_directories(m_top);
  }
  void MakeFile(const std::string& relative, const std::string& text = "[main]\r\n") {
    fs::create_directories(fs::path(m_top + "/" + relative).parent_path());
    test::WriteFileBytes(m_top + "/" + relative, text);
  }
  std::string m_top;
};

std::vector<std::string> RecordStrings(const std::vector<ScanRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) {
    out.push_back((r.isFolder ? "folder " : "leaf ") + JoinPath(r.folderPath, r.name));
  }
  return out;
}

TEST_F(TreeScanTest, RecordsFoldersBeforeTheirContentsInNameOrder) {
  // Made in an order that is neither the names' nor their reverse, so that no file system's
  // listing (creation order, its reverse, hash order) can pass for name order by chance.
  MakeFile("with space.ini");
  MakeFile("A/x.ini");
  MakeFile("d.ini.bak");
  MakeFile("\xff\xfe.ini");
  MakeFile("b.ini");
  MakeFile("A/Sub/notes.txt");
  MakeFile("dir.ini/z.ini");
  MakeFile("noext");
  MakeFile("caf\xc3\xa9.ini");
  MakeFile("A/Sub/y.ini");
  MakeFile("c.INI");
  MakeFile("Empty/.keep");
  MakeFile("ini");
  MakeFile("A/a.ini");

  // Byte order: capitals before small letters, bytes above 127 last; a folder's contents
  // right after it.
  EXPECT_EQ(RecordStrings(RecordTreeFolder(m_top)),
            (std::vector<std::string>{"folder A", "folder A\\Sub", "leaf A\\Sub\\y", "leaf A\\a",
                                      "leaf A\\x", "folder Empty", "leaf b", "leaf caf\xc3\xa9",
                                      "folder dir.ini", "leaf dir.ini\\z", "leaf with space",
                                      "leaf \xff\xfe"}));
}

// Leaves that read their order from their file, as engine definitions do, and count how often
// each file is read.
TreeNodeFactory OrderReadingFactory(const std::string& top, std::map<std::string, int>* loads) {
  class Leaf : public TreeNode {
   public:
    Leaf(std::string file, std::map<std::string, int>* loads)
        : m_file(std::move(file)), m_loads(loads) {}
    bool Load() override {
      ++(*m_loads)[m_file];
      order = static_cast<int>(GetPrivateProfileInt("main", "order", 0, m_file));
      return true;
    }

   private:
    std::string m_file;
    std::map<std::string, int>* m_loads;
  };
  TreeNodeFactory factory = TestFactory();
  factory.createLeaf = [top, loads](const std::string& path) -> std::unique_ptr<TreeNode> {
    return std::make_unique<Leaf>(JoinPath(top, path) + ".ini", loads);
  };
  return factory;
}

TEST_F(TreeScanTest, PositiveOrdersEndUpInReverseNameOrderAndEachFileIsReadOnce) {
  const std::vector<std::pair<std::string, int>> orders = {
      {"z2", 0}, {"p3", 200}, {"z1", 0}, {"p1", 100}, {"p4", 100}, {"z3", 0}, {"p2", 300}};
  for (const auto& [name, order] : orders) {
    MakeFile("cat/" + name + ".ini", "[main]\r\norder=" + std::to_string(order) + "\r\n");
  }
  std::map<std::string, int> loads;
  auto tree = ScanTree(m_top, OrderReadingFactory(m_top, &loads));

  // Each node goes in with order 0, before the first sibling already loaded with a positive
  // order: the zeros keep name order, the positive ones come after them reversed.
  const std::string expected = "z1 z2 z3 p4 p3 p2 p1";
  TreeNode* cat = tree->FindFolder("cat");
  ASSERT_NE(cat, nullptr);
  EXPECT_EQ(ChildNames(cat), expected);

  EXPECT_EQ(loads.size(), orders.size());
  for (const auto& [file, count] : loads) {
    EXPECT_EQ(count, 1) << file;
  }
  EXPECT_EQ(static_cast<TestNode*>(cat)->loads, 1);

  // A node added later is placed by the order it has loaded.
  auto late = std::make_unique<TestNode>(kLeafNode, 250);
  late->name = "late";
  tree->Add("cat", std::move(late));
  EXPECT_EQ(IndexOf(cat, FindChild(cat, "late")) + 1, IndexOf(cat, FindChild(cat, "p2")));
}

TEST_F(TreeScanTest, OddFoldersGiveWhatTheyCanAndNeverBreakTheScan) {
  // No folder at all: a first start, nothing to say.
  CaptureStderr();
  auto missing = ScanTree(m_temp.File("nothing-here"), TestFactory());
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(missing->root()->children.size(), 1u);

  // A regular file where the folder should be.
  test::WriteFileBytes(m_temp.File("searches"), "not a folder");
  CaptureStderr();
  auto file = ScanTree(m_temp.File("searches"), TestFactory());
  EXPECT_EQ(GetCapturedStderr(), "Error: Cannot read folder " + m_temp.File("searches") + "\n");
  EXPECT_EQ(file->root()->children.size(), 1u);

  MakeFile("good.ini");
  MakeFile("A.ini");
  MakeFile("A/inside.ini");
  MakeFile("back\\slash.ini");
  ASSERT_EQ(::mkfifo((m_top + "/pipe.ini").c_str(), 0644), 0);
  fs::create_directory_symlink(".", m_top + "/A/loop");
  fs::create_directory_symlink(m_top + "/A", m_top + "/again");
  fs::create_symlink(m_top + "/gone", m_top + "/dangling.ini");
  fs::create_symlink(m_top + "/good.ini", m_top + "/linked.ini");

  std::vector<std::string> created;
  CaptureStderr();
  auto tree = ScanTree(m_top, TestFactory(&created));
  EXPECT_EQ(GetCapturedStderr(),
            "Warning: Ignoring " + m_top + "\\back\\slash.ini: a backslash in its name\n");
  std::sort(created.begin(), created.end());
  ASSERT_FALSE(created.empty());
  EXPECT_EQ(created[0], "folder ");  // the root
  created.erase(created.begin());
  // The folder A is reached once, whether through "A" or through "again", never through the loop.
  ASSERT_EQ(created.size(), 5u);
  EXPECT_EQ(created[0].substr(0, 7), "folder ");
  EXPECT_EQ(std::vector<std::string>(created.begin() + 1, created.end()),
            (std::vector<std::string>{"leaf A", "leaf " + created[0].substr(7) + "\\inside",
                                      "leaf good", "leaf linked"}));
  // The search "A" and the folder "A" live side by side; "inside" is in the folder.
  TreeNode* inside = tree->Find(created[0].substr(7) + "\\inside");
  ASSERT_NE(inside, nullptr);
  EXPECT_EQ(GetParent(inside)->kind, kFolderNode);
}

}  // namespace
}  // namespace tulix
