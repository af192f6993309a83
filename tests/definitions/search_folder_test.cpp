#include "definitions/search_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/saved_search_node.h"
#include "definitions/tree_scan.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "test_support.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class SearchFolderTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope = std::make_unique<ScopedApplication>(*m_app);
    fs::create_directories(Disk(""));
  }
  void TearDown() override {
    m_scope.reset();
    m_app.reset();
    TulixTest::TearDown();
  }

  // The internal path and the file-system path of something below the searches folder.
  static std::string Searches(const std::string& relative) {
    return relative.empty() ? GetSearchesFolder() : JoinPath(GetSearchesFolder(), relative);
  }
  static std::string Disk(const std::string& relative) {
    return ToFileSystemPath(Searches(relative));
  }
  static void Make(const std::string& relative, const std::string& text = "[Main]\r\n") {
    fs::create_directories(fs::path(Disk(relative)).parent_path());
    test::WriteFileBytes(Disk(relative), text);
  }
  static bool Exists(const std::string& relative) { return fs::exists(Disk(relative)); }

  std::unique_ptr<Tree> Scan() {
    ClearProfileCache();
    return ScanSearchTree();
  }

  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

TEST_F(SearchFolderTest, FamilySafetyIsReadSavedAndInheritedDownTheTree) {
  Make("Open\\1.ini");
  Make("Closed.sdp", "[main]\r\nfamilysafe=0\r\n");
  Make("Closed\\2.ini");
  Make("Closed\\Inner.sdp", "[main]\r\nfamilysafe=1\r\n");
  Make("Closed\\Inner\\3.ini");
  Make("4.ini");
  auto tree = Scan();

  auto* open = static_cast<SearchFolder*>(tree->Find("Open"));
  auto* closed = static_cast<SearchFolder*>(tree->Find("Closed"));
  auto* inner = static_cast<SearchFolder*>(tree->Find("Closed\\Inner"));
  ASSERT_TRUE(open && closed && inner);
  EXPECT_EQ(open->familySafe, 1);  // no properties file
  EXPECT_EQ(closed->familySafe, 0);
  EXPECT_EQ(inner->familySafe, 1);
  EXPECT_EQ(closed->PropertiesFile(), Searches("Closed.sdp"));
  EXPECT_EQ(inner->Directory(), Searches("Closed\\Inner"));

  const char* hidden[] = {"Closed", "Closed\\2", "Closed\\Inner", "Closed\\Inner\\3"};
  const char* shown[] = {"Open", "Open\\1", "4"};
  for (bool family : {false, true}) {
    for (const char* path : hidden) {
      EXPECT_EQ(tree->Find(path)->IsUsable(family), !family) << path;
    }
    for (const char* path : shown) {
      EXPECT_TRUE(tree->Find(path)->IsUsable(family)) << path;
    }
    EXPECT_TRUE(tree->root()->IsUsable(family));
  }
  m_app->FamilyMode = 1;
  EXPECT_FALSE(IsUsableNow(tree->Find("Closed\\Inner\\3")));
  EXPECT_TRUE(IsUsableNow(tree->Find("Open\\1")));
  m_app->FamilyMode = 0;
  EXPECT_TRUE(IsUsableNow(tree->Find("Closed\\Inner\\3")));

  // Saving writes the value back where the next start reads it.
  open->familySafe = 0;
  ASSERT_TRUE(open->Save());
  closed->familySafe = 1;
  ASSERT_TRUE(closed->Save());
  auto again = Scan();
  EXPECT_FALSE(again->Find("Open\\1")->IsUsable(true));
  EXPECT_TRUE(again->Find("Closed\\Inner\\3")->IsUsable(true));
  EXPECT_EQ(GetPrivateProfileInt("main", "familysafe", 7, Searches("Open.sdp")), 0u);
}

TEST_F(SearchFolderTest, RenameMovesTheDirectoryAndThePropertiesFileWhenThereIsOne) {
  Make("Plain\\1.ini");
  Make("Kept\\2.ini");
  Make("Kept.sdp", "[main]\r\nfamilysafe=0\r\n");
  auto tree = Scan();
  auto* plain = static_cast<SearchFolder*>(tree->Find("Plain"));
  auto* kept = static_cast<SearchFolder*>(tree->Find("Kept"));

  CaptureStderr();
  ASSERT_TRUE(plain->Rename("Plain Renamed"));
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(plain->name, "Plain Renamed");
  EXPECT_TRUE(Exists("Plain Renamed\\1.ini"));
  EXPECT_FALSE(Exists("Plain"));
  EXPECT_FALSE(Exists("Plain Renamed.sdp"));
  EXPECT_EQ(static_cast<SavedSearchNode*>(tree->Find("Plain Renamed\\1"))->FilePath(),
            Searches("Plain Renamed\\1.ini"));

  ASSERT_TRUE(RenameFolder(*kept, "Private"));
  EXPECT_TRUE(Exists("Private\\2.ini"));
  EXPECT_TRUE(Exists("Private.sdp"));
  EXPECT_FALSE(Exists("Kept.sdp"));
  EXPECT_FALSE(Scan()->Find("Private")->IsUsable(true));
}

TEST_F(SearchFolderTest, FailedRenameKeepsTheOldNameAndSaysWhy) {
  Make("Old\\1.ini");
  Make("Old.sdp", "[main]\r\nfamilysafe=0\r\n");
  Make("Sibling\\2.ini");
  auto tree = Scan();
  Make("Taken\\x.txt");  // a directory made after the scan, unknown to the tree
  auto* old = static_cast<SearchFolder*>(tree->Find("Old"));

  CaptureStderr();
  EXPECT_FALSE(old->Rename("Taken"));
  EXPECT_FALSE(old->Rename("Sibling"));
  EXPECT_FALSE(old->Rename("a\\b"));
  EXPECT_FALSE(old->Rename(""));
  const std::string from = Searches("Old");
  EXPECT_EQ(GetCapturedStderr(),
            "Error: error renaming search folder " + from + " to " + Searches("Taken") + "\n" +
                "Error: error renaming search folder " + from + " to " + Searches("Sibling") +
                "\n" + "Error: error renaming search folder " + from + " to " + Searches("a\\b") +
                "\n" + "Error: error renaming search folder " + from + " to " + Searches("") +
                "\n");
  EXPECT_EQ(old->name, "Old");
  EXPECT_TRUE(Exists("Old\\1.ini"));
  EXPECT_TRUE(Exists("Taken\\x.txt"));
  EXPECT_FALSE(Exists("Taken\\1.ini"));

  // Only the properties file is in the way: the directory moves and the folder's own setting
  // is written to the new place.
  Make("New.sdp", "[main]\r\nfamilysafe=1\r\n");
  CaptureStderr();
  EXPECT_TRUE(old->Rename("New"));
  EXPECT_EQ(GetCapturedStderr(), "Error: error renaming search folder properties file " +
                                     Searches("Old.sdp") + " to " + Searches("New.sdp") + "\n");
  EXPECT_TRUE(Exists("New\\1.ini"));
  EXPECT_FALSE(Scan()->Find("New")->IsUsable(true));

  // A folder whose directory does not exist yet only changes its name.
  auto fresh = std::make_unique<SearchFolder>();
  fresh->name = "Fresh";
  TreeNode* added = tree->Add("", std::move(fresh));
  EXPECT_TRUE(added->Rename("Fresher"));
  EXPECT_EQ(added->name, "Fresher");
}

TEST_F(SearchFolderTest, DeletingAFolderRemovesItsSearchesDirectoryAndProperties) {
  Make("Gone\\1.ini");
  Make("Gone\\Sub\\2.ini");
  Make("Gone\\Sub.sdp", "[main]\r\nfamilysafe=0\r\n");
  Make("Gone.sdp", "[main]\r\nfamilysafe=1\r\n");
  Make("Stays\\3.ini");
  Make("Stays\\notes.txt");
  Make("Stays.sdp", "[main]\r\nfamilysafe=0\r\n");
  auto tree = Scan();

  CaptureStderr();
  ASSERT_TRUE(Tree::Delete(tree->Find("Gone")));
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_FALSE(Exists("Gone"));
  EXPECT_FALSE(Exists("Gone.sdp"));
  EXPECT_EQ(tree->Find("Gone"), nullptr);

  // A file the tree does not know keeps the directory; the folder stays, with its setting.
  CaptureStderr();
  EXPECT_FALSE(Tree::Delete(tree->Find("Stays")));
  EXPECT_EQ(GetCapturedStderr(), "Error: failed to delete " + Searches("Stays") + "\n");
  EXPECT_FALSE(Exists("Stays\\3.ini"));
  EXPECT_TRUE(Exists("Stays\\notes.txt"));
  EXPECT_TRUE(Exists("Stays.sdp"));
  ASSERT_NE(tree->Find("Stays"), nullptr);
  EXPECT_EQ(tree->Find("Stays\\3"), nullptr);
  EXPECT_FALSE(tree->Find("Stays")->IsUsable(true));

  // A search whose file has gone already is deleted all the same.
  Make("4.ini");
  auto again = Scan();
  fs::remove(Disk("4.ini"));
  EXPECT_TRUE(Tree::Delete(again->Find("4")));
  EXPECT_EQ(again->Find("4"), nullptr);
}

TEST_F(SearchFolderTest, MovingRenamesTheFilesAndNeverReplacesOne) {
  Make("1.ini", "[Main]\r\nName=first\r\n");
  Make("2.ini", "[Main]\r\nName=second\r\n");
  Make("Target\\2.ini", "[Main]\r\nName=other\r\n");
  Make("Folder\\3.ini");
  Make("Folder.sdp", "[main]\r\nfamilysafe=0\r\n");
  auto tree = Scan();
  TreeNode* target = tree->Find("Target");

  CaptureStderr();
  ASSERT_TRUE(Tree::Move(tree->Find("1"), target));
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(test::ReadFileBytes(Disk("Target\\1.ini")), "[Main]\r\nName=first\r\n");
  EXPECT_FALSE(Exists("1.ini"));
  ASSERT_NE(tree->Find("Target\\1"), nullptr);

  TreeNode* second = tree->Find("2");
  CaptureStderr();
  EXPECT_FALSE(Tree::Move(second, target));
  EXPECT_EQ(GetCapturedStderr(), "Error: Cannot rename file " + Searches("2.ini") + " to " +
                                     Searches("Target\\2.ini") + "\n");
  EXPECT_EQ(GetParent(second), tree->root());
  EXPECT_EQ(test::ReadFileBytes(Disk("2.ini")), "[Main]\r\nName=second\r\n");
  EXPECT_EQ(test::ReadFileBytes(Disk("Target\\2.ini")), "[Main]\r\nName=other\r\n");

  // The same place: nothing to rename.
  auto* node = static_cast<SavedSearchNode*>(tree->Find("Target\\1"));
  EXPECT_TRUE(node->MoveFiles(*target));

  // A folder takes its directory and properties along.
  ASSERT_TRUE(Tree::Move(tree->Find("Folder"), target));
  EXPECT_TRUE(Exists("Target\\Folder\\3.ini"));
  EXPECT_TRUE(Exists("Target\\Folder.sdp"));
  EXPECT_FALSE(Exists("Folder"));
  EXPECT_FALSE(Scan()->Find("Target\\Folder\\3")->IsUsable(true));
}

TEST_F(SearchFolderTest, SearchIconIsItsCategoryIconWhenThereIsOne) {
  fs::create_directories(ToFileSystemPath(JoinPath(GetCategoriesFolder(), "web")));
  fs::create_directories(ToFileSystemPath(JoinPath(GetCategoriesFolder(), "web\\news")));
  fs::create_directories(ToFileSystemPath(JoinPath(GetCategoriesFolder(), "shop")));
  test::WriteFileBytes(ToFileSystemPath(JoinPath(GetCategoriesFolder(), "web\\news.ico")), "ico");
  m_app->categoryTree = ScanCategoryTree();

  SavedSearchNode search;
  search.category = "news";
  EXPECT_EQ(search.IconFile(GetSearchesFolder()), JoinPath(GetCategoriesFolder(), "web\\news.ico"));
  search.category = "shop";  // no icon file
  EXPECT_EQ(search.IconFile(GetSearchesFolder()), "");
  search.category = "unknown";
  EXPECT_EQ(search.IconFile(GetSearchesFolder()), "");
  // The search finds its category by the same exact name as submission and priorities do.
  search.category = "News";
  EXPECT_EQ(FindCategoryByName("News"), nullptr);
  EXPECT_EQ(search.IconFile(GetSearchesFolder()), "");
  m_app->categoryTree.reset();
  search.category = "news";
  EXPECT_EQ(search.IconFile(GetSearchesFolder()), "");
}

}  // namespace
}  // namespace tulix
