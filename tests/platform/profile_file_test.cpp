#include "platform/profile_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "test_support.h"

namespace tulix {
namespace {

using namespace std::string_literals;

class ProfileFileTest : public test::TulixTest {
 protected:
  void SetUp() override {
    test::TulixTest::SetUp();
    ClearProfileCache();
  }
};

std::string Get(const std::string& file, const char* section, const char* key,
                const char* def = "default", size_t size = kProfileNoLimit) {
  return GetPrivateProfileString(section, key, def, file, size);
}

std::string WithLineEnds(std::string text, const std::string& eol) {
  std::string out;
  for (char c : text) {
    c == '\n' ? out += eol : out += c;
  }
  return out;
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Replaces a file the way another program would: a new file renamed over the old one.
void ReplaceBehindTheCache(const std::string& path, const std::string& bytes) {
  test::WriteFileBytes(path + ".other", bytes);
  ASSERT_EQ(std::rename((path + ".other").c_str(), path.c_str()), 0);
}

TEST_F(ProfileFileTest, ReadingFollowsWindowsWithEveryLineEnd) {
  const std::string text =
      "[section1]\n"
      "name1=val1\n"
      "name2=\"val2\"\n"
      "name3\n"
      "name4=a\n"
      "[ section2 ]\n"
      "  spaced  =  b = c  \n"
      "quoted1='a b '\n"
      "quoted2=\"abc'\n"
      "quoted3=\"\n"
      "inline=v ; x\n"
      ";commented=1\n"
      "#hash=2\n"
      "empty=\n"
      "[Section1]\n"
      "name1=second\n"
      "[section3\n"
      "broken=yes\n";
  struct Case {
    const char* section;
    const char* key;
    const char* def;
    size_t size;
    std::string expected;
  };
  const Case cases[] = {
      {"section1", "name1", "default", kProfileNoLimit, "val1"},
      {"SECTION1", "NaMe1", "default", kProfileNoLimit, "val1"},
      {" section1\t", " name1 ", "default", kProfileNoLimit, "val1"},
      {"section1", "name2", "default", kProfileNoLimit, "val2"},
      {"section1", "name3", "default", kProfileNoLimit, "default"},
      {"section1", "name4", "default", kProfileNoLimit, "a"},
      {"section1", "name1", "default", 5, "val1"},
      {"section1", "name1", "default", 4, "val"},
      {"section1", "name4", "default", 1, ""},
      {"section1", "name1", "default", 0, ""},
      {"section2", "spaced", "default", kProfileNoLimit, "b = c"},
      {"section2", "quoted1", "default", kProfileNoLimit, "a b "},
      {"section2", "quoted2", "default", kProfileNoLimit, "\"abc'"},
      {"section2", "quoted3", "default", kProfileNoLimit, "\""},
      {"section2", "inline", "default", kProfileNoLimit, "v ; x"},
      {"section2", ";commented", "default", kProfileNoLimit, "default"},
      {"section2", "#hash", "default", kProfileNoLimit, "2"},
      {"section2", "empty", "default", kProfileNoLimit, ""},
      // The first section of a name is the only one searched; "[section3" is no header.
      {"section1", "broken", "default", kProfileNoLimit, "default"},
      {"section3", "broken", "default", kProfileNoLimit, "default"},
      {"notasection", "name1", "default", kProfileNoLimit, "default"},
      {"section1", "notakey", "default", kProfileNoLimit, "default"},
      {"section1", "notakey", nullptr, kProfileNoLimit, ""},
      {"section1", "notakey", "default  ", kProfileNoLimit, "default"},
      {"section1", "notakey", "one two  ", kProfileNoLimit, "one two"},
      {"section1", "notakey", "default", 4, "def"},
      {"", "name1", "default", kProfileNoLimit, "default"},
      {"section1", "", "default", kProfileNoLimit, "default"},
      {"section1", nullptr, "default", kProfileNoLimit, "name1\0name2\0name4\0\0"s},
      {"section1", nullptr, "default", 19, "name1\0name2\0name4\0\0"s},
      {"section1", nullptr, "default", 16, "name1\0name2\0na\0\0"s},
      {"notasection", nullptr, "default", kProfileNoLimit, "default"},
      {nullptr, "ignored", "default", kProfileNoLimit, "section1\0section2\0Section1\0\0"s},
      {nullptr, nullptr, "default", 16, "section1\0secti\0\0"s},
  };
  for (const std::string eol : {"\r\n", "\r", "\n"}) {
    const std::string file = m_temp.File("read" + std::to_string(eol.size() + eol[0]) + ".ini");
    test::WriteFileBytes(file, WithLineEnds(text, eol));
    for (const Case& c : cases) {
      EXPECT_EQ(Get(file, c.section, c.key, c.def, c.size), c.expected)
          << (c.section ? c.section : "(null)") << "/" << (c.key ? c.key : "(null)") << " size "
          << c.size << " line end " << eol.size() << (eol[0] == '\r' ? " CR" : " LF");
    }
  }
  EXPECT_EQ(Get(m_temp.File("nonexistent.ini"), "section1", "name1"), "default");
  EXPECT_EQ(Get(m_temp.File("nonexistent.ini"), nullptr, nullptr), "\0"s);
}

TEST_F(ProfileFileTest, IntegersParseTheWindowsWay) {
  struct Case {
    const char* value;  // null: the key is missing
    int32_t def;
    uint32_t expected;
  };
  const Case cases[] = {
      {nullptr, 5, 5},
      {nullptr, -1, 4294967295u},
      {"", 7, 7},
      {"  ", 7, 7},
      {"1", 9, 1},
      {"+1", 9, 1},
      {"-1", 9, 4294967295u},
      {"4294967296", 9, 0},
      {"4294967297", 9, 1},
      {"-4294967297", 9, 4294967295u},
      {"42A94967297", 9, 42},
      {"B4294967297", 9, 0},  // no digits gives 0, not the default
      {"0x12345", 9, 0x12345},
      {"056789", 9, 56789},
      {"1x34", 9, 1},
      {"--214", 9, 0},
      {"+214 0", 9, 214},
      {"0b1011101100", 9, 748},
      {"0o7", 9, 7},
      {"0xG", 9, 0},
      {"0XFF", 9, 0},
      {"\"12\"", 9, 12},
      {"  -0x10  ", 9, 4294967280u},
  };
  const std::string file = m_temp.File("ints.ini");
  for (const Case& c : cases) {
    std::string text = "[n]\r\n";
    if (c.value != nullptr) {
      text += "k=" + std::string(c.value) + "\r\n";
    }
    test::WriteFileBytes(file, text);
    ClearProfileCache();
    EXPECT_EQ(GetPrivateProfileInt("n", "k", c.def, file), c.expected)
        << (c.value ? c.value : "(missing)");
  }
}

TEST_F(ProfileFileTest, WritesEditTheFileByteForByte) {
  // Internal paths use backslashes.
  std::filesystem::create_directories(m_temp.File("sub"));
  const std::string internal = m_temp.path() + "\\sub\\new.ini";
  const std::string file = m_temp.File("sub/new.ini");
  ASSERT_TRUE(WritePrivateProfileString("App", "key", "string", internal));
  EXPECT_EQ(test::ReadFileBytes(file), "[App]\r\nkey=string\r\n");

  std::string text =
      "[App1]\r\nkey1=string1\r\nkey2=string2\r\nkey3=string3\r\n[App2]\r\nkey4=string4\r\n";
  ReplaceBehindTheCache(file, text);
  ASSERT_TRUE(WritePrivateProfileString("App3", "key5", "string5", file));
  text += "[App3]\r\nkey5=string5\r\n";
  EXPECT_EQ(test::ReadFileBytes(file), text);

  ASSERT_TRUE(WritePrivateProfileString("app1", "KEY2", nullptr, file));
  text =
      "[App1]\r\nkey1=string1\r\nkey3=string3\r\n[App2]\r\nkey4=string4\r\n"
      "[App3]\r\nkey5=string5\r\n";
  EXPECT_EQ(test::ReadFileBytes(file), text);

  ASSERT_TRUE(WritePrivateProfileString("App2", nullptr, "ignored", file));
  text = "[App1]\r\nkey1=string1\r\nkey3=string3\r\n[App3]\r\nkey5=string5\r\n";
  EXPECT_EQ(test::ReadFileBytes(file), text);

  ASSERT_TRUE(WritePrivateProfileString("App3", "key5", "", file));
  ASSERT_TRUE(WritePrivateProfileString("App1", "Key1", "new", file));
  ASSERT_TRUE(WritePrivateProfileString("App1", "key9", "added", file));
  text = "[App1]\r\nkey1=new\r\nkey3=string3\r\nkey9=added\r\n[App3]\r\nkey5=\r\n";
  EXPECT_EQ(test::ReadFileBytes(file), text);
  EXPECT_EQ(Get(file, "App3", "key5"), "");

  ASSERT_TRUE(WritePrivateProfileString("App3", "key5", nullptr, file));
  text = "[App1]\r\nkey1=new\r\nkey3=string3\r\nkey9=added\r\n[App3]\r\n";
  EXPECT_EQ(test::ReadFileBytes(file), text);

  // Nothing to change: the file is not even replaced.
  const ino_t inode = InodeOf(file);
  EXPECT_TRUE(WritePrivateProfileString("App1", "missing", nullptr, file));
  EXPECT_TRUE(WritePrivateProfileString("Missing", nullptr, nullptr, file));
  EXPECT_TRUE(WritePrivateProfileString("App1", "key3", "string3", file));
  EXPECT_EQ(InodeOf(file), inode);

  SetLastError(0);
  EXPECT_FALSE(WritePrivateProfileString(nullptr, "key", "value", file));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(WritePrivateProfileString(nullptr, nullptr, nullptr, file));
  EXPECT_EQ(test::ReadFileBytes(file), text);

  // Without a final line break, one is added before the new line.
  ReplaceBehindTheCache(file, "[A]\r\nx=1");
  ASSERT_TRUE(WritePrivateProfileString("A", "y", "2", file));
  EXPECT_EQ(test::ReadFileBytes(file), "[A]\r\nx=1\r\ny=2\r\n");
  ReplaceBehindTheCache(file, "[A]");
  ASSERT_TRUE(WritePrivateProfileString("B", "y", "2", file));
  EXPECT_EQ(test::ReadFileBytes(file), "[A]\r\n[B]\r\ny=2\r\n");
  ReplaceBehindTheCache(file, "");
  ASSERT_TRUE(WritePrivateProfileString("A", "k", "v", file));
  EXPECT_EQ(test::ReadFileBytes(file), "[A]\r\nk=v\r\n");
}

TEST_F(ProfileFileTest, UntouchedLinesSurviveAndDuplicatesResolveInOrder) {
  const std::string original =
      "; leading comment\r\n"
      "orphan=before any section\r\n"
      "\r\n"
      "[Main]  \r\n"
      "  Name = first one  \r\n"
      "no equals sign here\r\n"
      "; comment in Main\r\n"
      "Name=duplicate\r\n"
      "\r\n"
      "; introduces the next section\r\n"
      "[ Other ]\r\n"
      "bin=\x01\x02\xff\xfe\r\n"
      "\t\r\n"
      "[main]\r\n"
      "Name=second section\r\n";
  const std::string file = m_temp.File("odd.ini");
  test::WriteFileBytes(file, original);
  EXPECT_EQ(Get(file, "", "orphan"), "default");
  EXPECT_EQ(Get(file, "Main", nullptr), "Name\0Name\0\0"s);

  ASSERT_TRUE(WritePrivateProfileString("MAIN", "name", "changed", file));
  ASSERT_TRUE(WritePrivateProfileString("Main", "New", "1", file));
  ASSERT_TRUE(WritePrivateProfileString("Other", "added", "2", file));
  std::string expected = original;
  expected.replace(expected.find("  Name = first one  "), 20, "  Name =changed");
  expected.insert(expected.find("Name=duplicate\r\n") + 16, "New=1\r\n");
  expected.insert(expected.find("\t\r\n[main]"), "added=2\r\n");
  EXPECT_EQ(test::ReadFileBytes(file), expected);

  // Deleting the first key of a name uncovers the next one.
  ASSERT_TRUE(WritePrivateProfileString("Main", "Name", nullptr, file));
  EXPECT_EQ(Get(file, "Main", "Name"), "duplicate");
  expected.erase(expected.find("  Name =changed\r\n"), 17);
  EXPECT_EQ(test::ReadFileBytes(file), expected);

  // Deleting the first section of a name uncovers the next one.
  ASSERT_TRUE(WritePrivateProfileString("Main", nullptr, nullptr, file));
  EXPECT_EQ(Get(file, "Main", "Name"), "second section");
  expected.erase(expected.find("[Main]  \r\n"),
                 expected.find("[ Other ]") - expected.find("[Main]  \r\n"));
  EXPECT_EQ(test::ReadFileBytes(file), expected);
  ClearProfileCache();
  EXPECT_EQ(Get(file, "main", "name"), "second section");
  EXPECT_EQ(Get(file, "other", "added"), "2");
}

TEST_F(ProfileFileTest, RewrittenFilesKeepTheirLineEnds) {
  struct Case {
    std::string original;
    std::string expected;
  };
  const Case cases[] = {
      {"[a]\nk=1\n", "[a]\nk=1\nn=2\n[b]\nm=3\n"},
      {"[a]\rk=1\r", "[a]\rk=1\rn=2\r[b]\rm=3\r"},
      {"[a]\nk=1", "[a]\nk=1\nn=2\n[b]\nm=3\n"},
      // Mixed: every untouched line keeps its own end, new ones take the first.
      {"[a]\r\nk=1\n", "[a]\r\nk=1\nn=2\r\n[b]\r\nm=3\r\n"},
  };
  int round = 0;
  for (const Case& c : cases) {
    const std::string file = m_temp.File("eol" + std::to_string(round++) + ".ini");
    test::WriteFileBytes(file, c.original);
    ASSERT_TRUE(WritePrivateProfileString("a", "n", "2", file));
    ASSERT_TRUE(WritePrivateProfileString("b", "m", "3", file));
    EXPECT_EQ(test::ReadFileBytes(file), c.expected) << c.original;
  }
}

TEST_F(ProfileFileTest, BadInputNeverBreaksReadsOrLosesLines) {
  const std::string file = m_temp.File("bad.ini");

  // Windows keeps the bytes before the first section, NULs included.
  const std::string nuls = "Data \0 before \0 first \0 section\r\n[section1]\r\nkey1=string1\r\n"s;
  test::WriteFileBytes(file, nuls);
  ASSERT_TRUE(WritePrivateProfileString("section1", "key1", "string2", file));
  EXPECT_EQ(test::ReadFileBytes(file),
            "Data \0 before \0 first \0 section\r\n[section1]\r\nkey1=string2\r\n"s);

  // A value is read as a C string would be; a header needs its ']'.
  ReplaceBehindTheCache(file, "k=orphan\r\n[broken\r\nk=v\0x\r\n[ok]\r\nk=\"w\0\"\r\n"s);
  EXPECT_EQ(Get(file, "broken", "k"), "default");
  EXPECT_EQ(Get(file, "[broken", "k"), "default");
  EXPECT_EQ(Get(file, "ok", "k"), "w");
  EXPECT_EQ(Get(file, nullptr, nullptr), "ok\0\0"s);

  // A line of a megabyte, with and without '='.
  const std::string huge(1 << 20, 'x');
  std::string big = "[big]\r\nhuge=" + huge + "\r\n" + huge + "\r\nafter=1\r\n";
  ReplaceBehindTheCache(file, big);
  EXPECT_EQ(Get(file, "big", "huge", "", 11), "xxxxxxxxxx");
  EXPECT_EQ(Get(file, "big", "huge").size(), huge.size());
  ASSERT_TRUE(WritePrivateProfileString("big", "after", "2", file));
  big.replace(big.size() - 3, 1, "2");
  EXPECT_EQ(test::ReadFileBytes(file), big);

  // Binary garbage: reads give something or the default, a write keeps every byte.
  std::mt19937 random(20240611);
  const char alphabet[] = "[]=;\"' \t\r\n\x1a\0abcAB\xff";
  for (int round = 0; round < 20; ++round) {
    std::string garbage;
    for (int i = 0; i < 4000; ++i) {
      garbage += random() % 3 == 0 ? alphabet[random() % (sizeof alphabet - 1)]
                                   : static_cast<char>(random() % 256);
    }
    ReplaceBehindTheCache(file, garbage);
    Get(file, nullptr, nullptr);
    Get(file, "a", nullptr);
    Get(file, "a", "b");
    GetPrivateProfileInt("a", "=", 1, file);
    ASSERT_TRUE(WritePrivateProfileString("ZzNew", "k", "v", file));
    std::string written = test::ReadFileBytes(file);
    EXPECT_EQ(written.substr(0, garbage.size()), garbage);
    EXPECT_EQ(Get(file, "ZzNew", "k"), "v");
    ClearProfileCache();
    EXPECT_EQ(Get(file, "ZzNew", "k"), "v");
  }

  // A value cannot add lines, a name that would not read back is refused.
  ReplaceBehindTheCache(file, "[s]\r\n");
  ASSERT_TRUE(WritePrivateProfileString("s", "k", "a\r\n[evil]\nx=1", file));
  EXPECT_EQ(test::ReadFileBytes(file), "[s]\r\nk=a  [evil] x=1\r\n");
  for (auto [section, key] :
       {std::pair{"s", "a=b"}, {"s", ";c"}, {"s", "[d"}, {"x\ny", "k"}, {"s", "k\rx"}}) {
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileString(section, key, "v", file)) << key;
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  }
  EXPECT_EQ(test::ReadFileBytes(file), "[s]\r\nk=a  [evil] x=1\r\n");
}

TEST_F(ProfileFileTest, FailedWritesReportAndLeaveNothingCached) {
  SetLastError(0);
  EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", ""));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", m_temp.File("nofolder/x.ini")));
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_EQ(Get(m_temp.File("nofolder/x.ini"), "s", "k"), "default");

  test::WriteFileBytes(m_temp.File("plain"), "not a folder");
  EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", m_temp.File("plain/x.ini")));
  EXPECT_NE(GetLastError(), kErrorSuccess);

  // A folder where the file should be: nothing to read, nothing written.
  std::filesystem::create_directories(m_temp.File("dir.ini"));
  EXPECT_EQ(Get(m_temp.File("dir.ini"), "s", "k"), "default");
  EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", m_temp.File("dir.ini")));
  EXPECT_TRUE(std::filesystem::is_directory(m_temp.File("dir.ini")));

  if (geteuid() == 0) {
    return;  // permissions do not stop root
  }
  const std::string folder = m_temp.File("readonly");
  std::filesystem::create_directories(folder);
  test::WriteFileBytes(folder + "/x.ini", "[s]\r\nk=old\r\n");
  ::chmod(folder.c_str(), 0555);
  EXPECT_FALSE(WritePrivateProfileString("s", "k", "new", folder + "/x.ini"));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_EQ(Get(folder + "/x.ini", "s", "k"), "old");
  ::chmod(folder.c_str(), 0755);

  // A file that cannot be read is never replaced by one holding only the new key.
  test::WriteFileBytes(m_temp.File("secret.ini"), "[s]\r\nk=old\r\n");
  ::chmod(m_temp.File("secret.ini").c_str(), 0200);
  EXPECT_EQ(Get(m_temp.File("secret.ini"), "s", "k"), "default");
  EXPECT_FALSE(WritePrivateProfileString("s", "other", "new", m_temp.File("secret.ini")));
  ::chmod(m_temp.File("secret.ini").c_str(), 0600);
  EXPECT_EQ(test::ReadFileBytes(m_temp.File("secret.ini")), "[s]\r\nk=old\r\n");
}

TEST_F(ProfileFileTest, ChangesByOthersAreSeen) {
  const std::string file = m_temp.File("shared.ini");
  test::WriteFileBytes(file, "[s]\r\nk=one\r\n");
  EXPECT_EQ(Get(file, "s", "k"), "one");

  // Edited in place with a new size, replaced by rename with the same size, removed.
  test::WriteFileBytes(file, "[s]\r\nk=three\r\n");
  EXPECT_EQ(Get(file, "s", "k"), "three");
  ReplaceBehindTheCache(file, "[s]\r\nk=fouR\r\n");
  EXPECT_EQ(Get(file, "s", "k"), "fouR");
  std::filesystem::remove(file);
  EXPECT_EQ(Get(file, "s", "k"), "default");

  // A write starts from what the disk holds now.
  test::WriteFileBytes(file, "[s]\r\nk=1\r\nother=kept\r\n");
  ASSERT_TRUE(WritePrivateProfileString("s", "k", "2", file));
  EXPECT_EQ(test::ReadFileBytes(file), "[s]\r\nk=2\r\nother=kept\r\n");
}

// Child half of AnotherProcessWritesTheFile: does nothing unless started by it.
TEST(ProfileFileChild, WritesAKey) {
  const char* file = getenv("TULIX_PROFILE_CHILD");
  if (file == nullptr) {
    return;
  }
  ASSERT_TRUE(WritePrivateProfileString("s", "k", "from the child, longer", file));
}

TEST_F(ProfileFileTest, AnotherProcessWritesTheFile) {
  const std::string file = m_temp.File("process.ini");
  ASSERT_TRUE(WritePrivateProfileString("s", "k", "parent", file));
  ASSERT_TRUE(WritePrivateProfileString("s", "mine", "1", file));
  EXPECT_EQ(Get(file, "s", "k"), "parent");
  ASSERT_EQ(test::RunChildTest("ProfileFileChild.WritesAKey", {"TULIX_PROFILE_CHILD=" + file}), 0);
  EXPECT_EQ(Get(file, "s", "k"), "from the child, longer");
  EXPECT_EQ(Get(file, "s", "mine"), "1");
}

TEST_F(ProfileFileTest, BatchWritesTheFileOnceAtTheEnd) {
  const std::string file = m_temp.File("batch.ini");
  test::WriteFileBytes(file, "[keep]\r\nk=v\r\n");
  const ino_t inode = InodeOf(file);
  {
    ProfileBatch outer(file);
    for (int i = 0; i < 100; ++i) {
      const std::string section = std::to_string(i);
      ASSERT_TRUE(WritePrivateProfileString(section.c_str(), "a", section.c_str(), file));
    }
    {
      ProfileBatch inner(file);
      ASSERT_TRUE(WritePrivateProfileString("keep", "k", nullptr, file));
    }
    EXPECT_EQ(test::ReadFileBytes(file), "[keep]\r\nk=v\r\n");
    EXPECT_EQ(InodeOf(file), inode);
    // Pending changes were made on the text read before: they win over a replacement.
    ReplaceBehindTheCache(file, "[keep]\r\nk=replaced\r\n");
    // Reads, from this thread or another, see the pending changes.
    EXPECT_EQ(Get(file, "42", "a"), "42");
    std::string seen;
    std::thread([&] { seen = Get(file, "keep", "k"); }).join();
    EXPECT_EQ(seen, "default");

    ASSERT_TRUE(outer.Commit());
    const std::string committed = test::ReadFileBytes(file);
    EXPECT_TRUE(committed.starts_with("[keep]\r\n[0]\r\na=0\r\n")) << committed;
    EXPECT_TRUE(committed.ends_with("[99]\r\na=99\r\n"));

    // Clearing the cache writes what is pending; the batch still defers what follows.
    ASSERT_TRUE(WritePrivateProfileString("late", "x", "1", file));
    ClearProfileCache();
    EXPECT_NE(test::ReadFileBytes(file).find("[late]\r\nx=1\r\n"), std::string::npos);
    const std::string before = test::ReadFileBytes(file);
    ASSERT_TRUE(WritePrivateProfileString("later", "x", "2", file));
    EXPECT_EQ(test::ReadFileBytes(file), before);
  }
  EXPECT_NE(test::ReadFileBytes(file).find("[later]\r\nx=2\r\n"), std::string::npos);
  ClearProfileCache();
  EXPECT_EQ(Get(file, "keep", nullptr), "default");
  EXPECT_EQ(Get(file, "0", "a"), "0");
  EXPECT_EQ(Get(file, "later", "x"), "2");
}

TEST_F(ProfileFileTest, ConcurrentWritersAllLand) {
  const std::string file = m_temp.File("threads.ini");
  const std::string other = m_temp.File("other.ini");
  constexpr int kThreads = 4;
  constexpr int kKeys = 150;
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Half the threads batch their writes, half write each key through.
      std::optional<ProfileBatch> batch;
      if (t % 2 == 0) {
        batch.emplace(file);
      }
      for (int k = 0; k < kKeys; ++k) {
        const std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
        const char* section = k % 3 == 0 ? "shared" : (t % 2 == 0 ? "even" : "odd");
        if (!WritePrivateProfileString(section, key.c_str(), key.c_str(), file) ||
            !WritePrivateProfileString("x", key.c_str(), "1", other) ||
            Get(file, section, key.c_str()) != key) {
          failed = true;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_FALSE(failed);
  ClearProfileCache();
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeys; ++k) {
      const std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
      const char* section = k % 3 == 0 ? "shared" : (t % 2 == 0 ? "even" : "odd");
      ASSERT_EQ(Get(file, section, key.c_str()), key);
      ASSERT_EQ(Get(other, "x", key.c_str()), "1");
    }
  }
}

TEST_F(ProfileFileTest, ManyRewritesOfLongValuesKeepEveryKey) {
  // Each delete and re-add leaves the old line's space behind in the cached copy; once that
  // outweighs the file, the cache reads the file anew and must lose nothing doing so.
  const std::string file = m_temp.File("long.ini");
  test::WriteFileBytes(file, "; keep me\r\n[a]\r\nfirst=1\r\n[b]\r\nlast=2\r\n");
  for (int round = 0; round < 40; ++round) {
    const std::string value(100000 + round, static_cast<char>('a' + round % 26));
    ASSERT_TRUE(WritePrivateProfileString("a", "long", nullptr, file));
    ASSERT_TRUE(WritePrivateProfileString("a", "long", value.c_str(), file));
    ASSERT_EQ(Get(file, "a", "long"), value);
    ASSERT_EQ(Get(file, "a", "first"), "1");
    ASSERT_EQ(Get(file, "b", "last"), "2");
  }
  const std::string last(100039, 'a' + 39 % 26);
  EXPECT_EQ(test::ReadFileBytes(file),
            "; keep me\r\n[a]\r\nfirst=1\r\nlong=" + last + "\r\n[b]\r\nlast=2\r\n");
}

// Random edits of a file with duplicate sections and keys and large sections: what the cache
// answers after each edit must be what a fresh read of the written file answers.
TEST_F(ProfileFileTest, CachedCopyAgreesWithTheWrittenFile) {
  const std::string file = m_temp.File("random.ini");
  std::string start = "[s0]\r\nk1=a\r\nk1=b\r\n[s1]\r\n";
  for (int i = 0; i < 40; ++i) {
    start += "k" + std::to_string(i % 25) + "=v" + std::to_string(i) + "\r\n";
  }
  start += "; tail\r\n[S0]\r\nk1=c\r\n[s2]\r\n";
  test::WriteFileBytes(file, start);
  std::mt19937 random(7);
  auto snapshot = [&] {
    std::string all = Get(file, nullptr, nullptr);
    for (int s = 0; s < 4; ++s) {
      const std::string section = "s" + std::to_string(s);
      all += "|" + Get(file, section.c_str(), nullptr);
      for (int k = 0; k < 30; ++k) {
        all += "|" + Get(file, section.c_str(), ("K" + std::to_string(k)).c_str());
      }
    }
    return all;
  };
  for (int step = 0; step < 300; ++step) {
    const std::string section = "s" + std::to_string(random() % 4);
    const std::string key = "k" + std::to_string(random() % 30);
    const std::string value = "v" + std::to_string(step);
    switch (random() % 10) {
      case 0:
        ASSERT_TRUE(WritePrivateProfileString(section.c_str(), nullptr, nullptr, file));
        break;
      case 1:
      case 2:
      case 3:
        ASSERT_TRUE(WritePrivateProfileString(section.c_str(), key.c_str(), nullptr, file));
        break;
      default:
        ASSERT_TRUE(WritePrivateProfileString(section.c_str(), key.c_str(), value.c_str(), file));
    }
    // The touched section first: the lookup that follows an edit is the one most likely wrong.
    const std::string warm = Get(file, section.c_str(), key.c_str()) + snapshot();
    ClearProfileCache();
    ASSERT_EQ(warm, Get(file, section.c_str(), key.c_str()) + snapshot()) << "step " << step;
  }
}

// The bound of the cache, set small for a test and put back afterwards.
class ProfileCacheBoundTest : public ProfileFileTest {
 protected:
  void TearDown() override {
    SetProfileCacheLimits(kProfileCacheDefaultBytes, kProfileCacheDefaultFiles);
    ClearProfileCache();
    ProfileFileTest::TearDown();
  }

  // A file of `keys` keys in one section, whose values name the file.
  std::string MakeFile(int id, int keys = 200) {
    std::string content = "[s]\r\n";
    for (int k = 0; k < keys; ++k) {
      content += "k" + std::to_string(k) + "=" + ValueOf(id, k) + "\r\n";
    }
    const std::string file = m_temp.File("f" + std::to_string(id) + ".ini");
    test::WriteFileBytes(file, content);
    return file;
  }

  static std::string ValueOf(int id, int key) {
    return "file " + std::to_string(id) + " key " + std::to_string(key);
  }

  // Whether every key of the file reads as MakeFile wrote it.
  static bool ReadsBack(const std::string& file, int id, int keys = 200) {
    for (int k = 0; k < keys; ++k) {
      if (Get(file, "s", ("k" + std::to_string(k)).c_str()) != ValueOf(id, k)) {
        return false;
      }
    }
    return true;
  }
};

TEST_F(ProfileCacheBoundTest, FilesReadOneAfterAnotherStayWithinTheBound) {
  std::vector<std::string> files;
  for (int id = 0; id < 40; ++id) {
    files.push_back(MakeFile(id));
  }

  SetProfileCacheLimits(size_t{1} << 40, 8);
  for (int id = 0; id < 40; ++id) {
    ASSERT_TRUE(ReadsBack(files[id], id)) << id;
    ASSERT_LE(GetProfileCacheUsage().files, 8u) << id;
  }
  // The first files were forgotten; they read the same again, and so does one changed on disk
  // while it was out of the cache.
  test::WriteFileBytes(files[1], "[s]\r\nk0=changed\r\n");
  EXPECT_TRUE(ReadsBack(files[0], 0));
  EXPECT_EQ(Get(files[1], "s", "k0"), "changed");
  EXPECT_EQ(Get(files[1], "s", "k1"), "default");

  // A bound in bytes: several files fit, never more than it allows.
  ClearProfileCache();
  EXPECT_EQ(GetProfileCacheUsage().files, 0u);
  EXPECT_EQ(GetProfileCacheUsage().bytes, 0u);
  ASSERT_TRUE(ReadsBack(files[2], 2));
  const size_t oneFile = GetProfileCacheUsage().bytes;
  ASSERT_GT(oneFile, 0u);
  SetProfileCacheLimits(oneFile * 5, 1000);
  size_t most = 0;
  for (int id = 3; id < 40; ++id) {
    ASSERT_TRUE(ReadsBack(files[id], id)) << id;
    ASSERT_LE(GetProfileCacheUsage().bytes, oneFile * 5) << id;
    most = std::max(most, GetProfileCacheUsage().files);
  }
  EXPECT_GE(most, 4u);
  EXPECT_TRUE(ReadsBack(files[3], 3));
}

TEST_F(ProfileCacheBoundTest, PendingBatchSurvivesEvictionAndLands) {
  std::vector<std::string> others;
  for (int id = 0; id < 20; ++id) {
    others.push_back(MakeFile(id, 20));
  }
  SetProfileCacheLimits(size_t{1} << 40, 2);
  const std::string saved = m_temp.File("saved.ini");
  {
    ProfileBatch batch(saved);
    for (int k = 0; k < 100; ++k) {
      const std::string key = "k" + std::to_string(k);
      ASSERT_TRUE(WritePrivateProfileString("results", key.c_str(), key.c_str(), saved));
    }
    // This thread turns to other files; the batched one is the oldest in the cache.
    for (int id = 0; id < 20; ++id) {
      ASSERT_TRUE(ReadsBack(others[id], id, 20));
      ASSERT_LE(GetProfileCacheUsage().files, 2u);
    }
    EXPECT_FALSE(std::filesystem::exists(saved));
    // Another thread adds to the same batch and sees what is pending.
    std::string seen;
    std::thread([&] {
      WritePrivateProfileString("results", "k100", "k100", saved);
      seen = Get(saved, "results", "k7");
    }).join();
    EXPECT_EQ(seen, "k7");
    for (int id = 0; id < 20; ++id) {
      ASSERT_TRUE(ReadsBack(others[id], id, 20));
    }
    EXPECT_FALSE(std::filesystem::exists(saved));
  }
  ClearProfileCache();
  for (int k = 0; k <= 100; ++k) {
    const std::string key = "k" + std::to_string(k);
    ASSERT_EQ(Get(saved, "results", key.c_str()), key);
  }
}

TEST_F(ProfileCacheBoundTest, ThreadsUnderPressureReadTheirOwnFiles) {
  constexpr int kFiles = 24;
  std::vector<std::string> files;
  for (int id = 0; id < kFiles; ++id) {
    files.push_back(MakeFile(id, 30));
  }
  SetProfileCacheLimits(size_t{1} << 40, 3);
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < kFiles; ++i) {
          int id = (i * 7 + t * 5 + round) % kFiles;
          if (!ReadsBack(files[id], id, 30)) {
            failed = true;
          }
        }
      }
      // Each thread also writes a file of its own, key by key, under the same pressure.
      const std::string own = m_temp.File("own" + std::to_string(t) + ".ini");
      for (int k = 0; k < 20; ++k) {
        const std::string key = "k" + std::to_string(k);
        if (!WritePrivateProfileString("s", key.c_str(), key.c_str(), own) ||
            !ReadsBack(files[(t + k) % kFiles], (t + k) % kFiles, 30)) {
          failed = true;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_FALSE(failed);
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(Get(m_temp.File("own" + std::to_string(t) + ".ini"), "s", "k19"), "k19");
  }
  // Every thread's last file may stay; the rest went.
  EXPECT_LE(GetProfileCacheUsage().files, 3u);
}

}  // namespace
}  // namespace tulix
