#include "platform/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "test_support.h"

namespace tulix {
namespace {

TEST(Paths, JoinAndSplit) {
  EXPECT_EQ(JoinPath("C:\\Tulix", "categories"), "C:\\Tulix\\categories");
  EXPECT_EQ(JoinPath("/home/u/tulix/", "searches"), "/home/u/tulix/searches");
  EXPECT_EQ(JoinPath("a\\", "b"), "a\\b");
  EXPECT_EQ(JoinPath("", "b"), "b");
  EXPECT_EQ(ToFileSystemPath("/home/u\\categories\\web\\a.ini"), "/home/u/categories/web/a.ini");
  EXPECT_EQ(FileNameOf("/x/y\\z.ini"), "z.ini");
  EXPECT_EQ(FileNameOf("plain"), "plain");
  EXPECT_EQ(FolderOf("/x/y\\z.ini"), "/x/y");
  EXPECT_EQ(FolderOf("plain"), "");
}

class PathsFolders : public test::TulixTest {};

TEST_F(PathsFolders, ProgramFolderFromEnvironment) {
  std::string home = m_temp.File("new/home/");
  setenv("TULIX_HOME", home.c_str(), 1);
  EXPECT_EQ(ProgramFolder(), m_temp.File("new/home"));
  EXPECT_TRUE(FolderExists(m_temp.File("new/home")));

  unsetenv("TULIX_HOME");
  setenv("XDG_DATA_HOME", m_temp.File("xdg").c_str(), 1);
  EXPECT_EQ(ProgramFolder(), m_temp.File("xdg/tulix"));
  EXPECT_TRUE(FolderExists(m_temp.File("xdg/tulix")));
  unsetenv("XDG_DATA_HOME");

  setenv("TMPDIR", (m_temp.path() + "/").c_str(), 1);
  EXPECT_EQ(TempFolder(), m_temp.path());
  unsetenv("TMPDIR");
  EXPECT_EQ(TempFolder(), "/tmp");
}

TEST_F(PathsFolders, AtomicWriteReplacesWholeFileAndLeavesNoTemporaries) {
  std::string file = JoinPath(m_home, "sub\\data.txt");
  EXPECT_FALSE(WriteFileAtomically(file, "x"));  // the folder does not exist yet
  ASSERT_TRUE(MakeFolders(JoinPath(m_home, "sub")));
  ASSERT_TRUE(WriteFileAtomically(file, "first version, long"));
  ASSERT_TRUE(WriteFileAtomically(file, "second"));
  EXPECT_EQ(ReadWholeFile(file).value_or("?"), "second");
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FolderExists(file));
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(m_home + "/sub")) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(ReadWholeFile(file).has_value());
}

TEST_F(PathsFolders, PrivateFileIsNewOwnerOnlyAndNeverFollowsALink) {
  namespace fs = std::filesystem;
  const std::string file = m_temp.File("page.htm");
  ASSERT_EQ(CreatePrivateFile(file, "<html>"), NewFileResult::kCreated);
  EXPECT_EQ(ReadWholeFile(file), "<html>");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // An existing name is left as it was.
  EXPECT_EQ(CreatePrivateFile(file, "other"), NewFileResult::kNameTaken);
  EXPECT_EQ(ReadWholeFile(file), "<html>");

  // A link planted at the name, even one that leads nowhere, is neither followed nor replaced.
  const std::string target = m_temp.File("elsewhere");
  const std::string link = m_temp.File("planted.htm");
  fs::create_symlink(target, link);
  EXPECT_EQ(CreatePrivateFile(link, "secret"), NewFileResult::kNameTaken);
  EXPECT_FALSE(FileExists(target));

  EXPECT_EQ(CreatePrivateFile(m_temp.File("no/such/folder/x.htm"), "x"), NewFileResult::kFailed);
}

}  // namespace
}  // namespace tulix
