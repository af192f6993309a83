#include "definitions/site_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "platform/paths.h"
#include "test_support.h"

namespace tulix {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class SiteListTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope = std::make_unique<ScopedApplication>(*m_app);
    m_app->sites = std::make_shared<SiteList>();
    std::filesystem::create_directories(ToFileSystemPath(GetCategoriesFolder()));
  }
  void TearDown() override {
    m_scope.reset();
    m_app.reset();
    TulixTest::TearDown();
  }

  // A file in the categories folder, as the program names it.
  static std::string Category(const std::string& name) {
    return JoinPath(GetCategoriesFolder(), name);
  }
  static void Write(const std::string& file, std::string_view text) {
    test::WriteFileBytes(ToFileSystemPath(file), text);
  }
  static std::string Read(const std::string& file) {
    return test::ReadFileBytes(ToFileSystemPath(file));
  }
  static std::vector<std::pair<std::string, int>> Entries(const SiteList& list) {
    std::vector<std::pair<std::string, int>> out;
    for (const SiteEntry& e : list.Snapshot()) {
      out.emplace_back(e.host, e.type);
    }
    return out;
  }

  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

using EntryList = std::vector<std::pair<std::string, int>>;

TEST(SiteTypes, FileWordsAreExactAndDisplayWordsDiffer) {
  EXPECT_STREQ(SiteTypeFileWord(0), "Normal");
  EXPECT_STREQ(SiteTypeFileWord(1), "Shop");
  EXPECT_STREQ(SiteTypeFileWord(2), "PShop");
  EXPECT_STREQ(SiteTypeFileWord(3), "Blacklist");
  EXPECT_STREQ(SiteTypeDisplayWord(1), "Shopping");
  EXPECT_STREQ(SiteTypeDisplayWord(2), "Preferred Shopping");
  EXPECT_STREQ(SiteTypeDisplayWord(3), "Blocked");
  EXPECT_STREQ(SiteTypeFileWord(7), "Normal");
  EXPECT_STREQ(SiteTypeDisplayWord(-1), "Normal");
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(ParseSiteType(SiteTypeFileWord(t)), t);
  }
  EXPECT_EQ(ParseSiteType("pshop"), 0);
  EXPECT_EQ(ParseSiteType("Blocked"), 0);
  EXPECT_EQ(ParseSiteType(""), 0);
}

TEST_F(SiteListTest, LoadReadsNumberedValuesUpToTheFirstGap) {
  std::string file = Category("sites.sit");
  Write(file,
        "[sites]\r\n0=PShop a.com\r\n1=pshop b.com\r\n2=Blacklist  c.com  extra\r\n"
        "3=Shop a.com\r\n4=Shop\r\n6=Blacklist after.gap\r\n");
  SiteList& sites = *App().sites;
  sites.Load(file);
  EXPECT_EQ(sites.FileName(), file);
  // A later value for a known host sets its type; a value without a blank has an empty host.
  EXPECT_EQ(Entries(sites), (EntryList{{"a.com", 1}, {"b.com", 0}, {"c.com", 3}, {"", 1}}));
  EXPECT_EQ(sites.TypeOfHost("after.gap"), 0);
  EXPECT_EQ(sites.TypeOfHost(""), 0);
  EXPECT_EQ(sites.TypeOf("http:///x"), 0);

  // Loading again replaces the list, it does not add to it.
  Write(file, "[sites]\n0=Shop z.com\n");
  sites.Load(file);
  EXPECT_EQ(Entries(sites), (EntryList{{"z.com", 1}}));
}

TEST_F(SiteListTest, MissingEmptyOrBinaryFilesGiveWhatTheyCan) {
  SiteList& sites = *App().sites;
  sites.AddFromString("Shop old.com", true);
  CaptureStderr();
  sites.Load(Category("missing.sit"));
  EXPECT_EQ(GetCapturedStderr(), "");  // a missing list is no error
  EXPECT_EQ(sites.size(), 0);
  EXPECT_EQ(sites.FileName(), Category("missing.sit"));

  Write(Category("empty.sit"), "");
  sites.Load(Category("empty.sit"));
  EXPECT_EQ(sites.size(), 0);

  std::string binary = "[sites]\n0=Shop ";
  for (int i = 0; i < 5000; ++i) {
    binary += static_cast<char>((i * 37 + 11) % 256);
  }
  Write(Category("binary.sit"), binary);
  sites.Load(Category("binary.sit"));
  sites.TypeOf("http://x.com/");

  // A very long value is read cut; it still loads as one entry.
  Write(Category("long.sit"), "[sites]\n0=Shop " + std::string(50000, 'h') + "\n1=Shop b.com\n");
  sites.Load(Category("long.sit"));
  ASSERT_EQ(sites.size(), 2);
  EXPECT_EQ(sites.TypeOfHost("b.com"), 1);
}

TEST_F(SiteListTest, TypeOfComparesTheParsedHostExactly) {
  SiteList& sites = *App().sites;
  sites.AddFromString("Blacklist www.bad.com", false);
  sites.AddFromString("Shop Shop.com", false);
  EXPECT_EQ(sites.TypeOf("http://www.bad.com/page?q=1"), 3);
  EXPECT_EQ(sites.TypeOf("http://user:pw@www.bad.com:8080/"), 3);
  EXPECT_EQ(sites.TypeOf("http://bad.com/page"), 0);
  EXPECT_EQ(sites.TypeOf("http://WWW.BAD.COM/"), 0);
  EXPECT_EQ(sites.TypeOf("http://shop.com/"), 0);
  EXPECT_EQ(sites.TypeOf("http://Shop.com/"), 1);
  EXPECT_EQ(sites.TypeOf("www.bad.com/page"), 0);
  EXPECT_EQ(sites.TypeOf("not an address"), 0);
  EXPECT_EQ(sites.TypeOf(""), 0);
}

TEST_F(SiteListTest, AddAndSetTypeKeepOrderAndRefuseWhatCannotBeStored) {
  SiteList& sites = *App().sites;
  sites.AddFromString("Shop a.com", false);
  sites.AddFromString("Blacklist a.com", false);  // known host, no overwrite
  EXPECT_EQ(sites.TypeOfHost("a.com"), 1);
  sites.AddFromString("Blacklist a.com", true);
  EXPECT_EQ(sites.TypeOfHost("a.com"), 3);

  EXPECT_TRUE(sites.SetType("http://b.com/x", 2));
  EXPECT_TRUE(sites.SetType("http://a.com/", 0));
  EXPECT_EQ(Entries(sites), (EntryList{{"a.com", 0}, {"b.com", 2}}));

  EXPECT_FALSE(sites.SetType("b.com", 1));           // does not parse
  EXPECT_FALSE(sites.SetType("http://b.com/", 4));   // no such type
  EXPECT_FALSE(sites.SetType("http://b.com/", -1));  // no such type
  // A host from a page that would break the file's lines or its "type host" form.
  EXPECT_FALSE(sites.SetType("http://evil.com\r\n9=Blacklist good.com/", 3));
  EXPECT_FALSE(sites.SetType("http://two words.com/", 3));
  EXPECT_FALSE(sites.SetHostType("", 3));
  EXPECT_EQ(Entries(sites), (EntryList{{"a.com", 0}, {"b.com", 2}}));
}

TEST_F(SiteListTest, MergeKeepsTheUsersTypesButOverrideReplacesThem) {
  SiteList& sites = *App().sites;
  Write(Category("sites.sit"), "[sites]\n0=Blacklist blocked.com\n1=Normal plain.com\n");
  sites.Load(Category("sites.sit"));

  Write(Category("update.sit"),
        "[sites]\n0=Shop blocked.com\n1=PShop new.com\n2=Shop plain.com\n4=Shop gap.com\n"
        "[override]\n0=Shop plain.com\n1=Blacklist forced.com\n\n3=Shop gap.com\n");
  sites.MergeFromFile(Category("update.sit"));
  EXPECT_EQ(Entries(sites),
            (EntryList{{"blocked.com", 3}, {"plain.com", 1}, {"new.com", 2}, {"forced.com", 3}}));
  // The merge does not make the update file the list's own.
  EXPECT_EQ(sites.FileName(), Category("sites.sit"));

  Write(Category("override.sit"), "[override]\n0=Shop blocked.com\n");
  sites.MergeFromFile(Category("override.sit"));
  EXPECT_EQ(sites.TypeOfHost("blocked.com"), 1);

  sites.MergeFromFile(Category("no-such-file.sit"));
  EXPECT_EQ(sites.size(), 4);
}

TEST_F(SiteListTest, SaveWritesTheListInOrderAndLoadReadsItBack) {
  std::string file = Category("sites.sit");
  const std::string original = "[sites]\r\n0=Shop a.com\r\n1=Blacklist b.com\r\n";
  Write(file, original);
  SiteList& sites = *App().sites;
  sites.Load(file);
  ASSERT_TRUE(sites.Save());
  EXPECT_EQ(Read(file), original);

  ASSERT_TRUE(sites.SetType("http://c.org/", 2));
  ASSERT_TRUE(sites.Save());
  EXPECT_EQ(Read(file), original + "2=PShop c.org\r\n");

  SiteList again;
  again.Load(file);
  EXPECT_EQ(Entries(again), Entries(sites));

  // The section is rewritten whole: stale keys of a longer list on disk go, other sections stay.
  Write(file,
        "[other]\r\nkeep=1\r\n[sites]\r\n0=Shop x.com\r\n1=Shop y.com\r\n2=Shop z.com\r\n"
        "3=Shop w.com\r\n4=Shop v.com\r\n");
  ASSERT_TRUE(sites.Save());
  EXPECT_EQ(Read(file),
            "[other]\r\nkeep=1\r\n[sites]\r\n0=Shop a.com\r\n1=Blacklist b.com\r\n"
            "2=PShop c.org\r\n");
}

TEST_F(SiteListTest, SaveWithoutAFileFailsAndSays) {
  SiteList sites;
  sites.AddFromString("Shop a.com", true);
  CaptureStderr();
  EXPECT_FALSE(sites.Save());
  EXPECT_NE(GetCapturedStderr().find("Error: "), std::string::npos);
}

TEST_F(SiteListTest, InstallSitesWritesTheFileAndMergesIt) {
  SiteList& sites = *App().sites;
  Write(Category("sites.sit"), "[sites]\r\n0=Blacklist mine.com\r\n");
  sites.Load(Category("sites.sit"));

  const std::string update = "[sites]\r\n0=Shop mine.com\r\n1=PShop theirs.com\r\n";
  ASSERT_TRUE(InstallSites("extra.sit", update));
  EXPECT_EQ(Read(Category("extra.sit")), update);
  EXPECT_EQ(Entries(sites), (EntryList{{"mine.com", 3}, {"theirs.com", 2}}));
  // Hosts merged from a file of another name are in the user's own file at once, or the next
  // start, which reads only that file, would not know them.
  auto reread = [&] {
    SiteList list;
    list.Load(Category("sites.sit"));
    return Entries(list);
  };
  EXPECT_EQ(reread(), (EntryList{{"mine.com", 3}, {"theirs.com", 2}}));

  // A delivered sites.sit is merged into the user's file and never written over it: the file
  // only ever holds the user's list, before or after the merge.
  ASSERT_TRUE(InstallSites("sites.sit",
                           "; delivered\r\n[sites]\r\n0=Shop mine.com\r\n1=Shop more.com\r\n"
                           "[override]\r\n0=Normal theirs.com\r\n"));
  EXPECT_EQ(reread(), (EntryList{{"mine.com", 3}, {"theirs.com", 0}, {"more.com", 1}}));
  EXPECT_EQ(Read(Category("sites.sit")).find("delivered"), std::string::npos);
  EXPECT_EQ(Read(Category("sites.sit")).find("override"), std::string::npos);

  // A delivery that changes nothing writes nothing.
  std::filesystem::remove(ToFileSystemPath(Category("sites.sit")));
  ASSERT_TRUE(InstallSites("sites.sit", "[sites]\r\n0=Shop more.com\r\n"));
  EXPECT_FALSE(std::filesystem::exists(ToFileSystemPath(Category("sites.sit"))));
}

TEST_F(SiteListTest, InstallSitesRefusesNamesOutsideTheCategoriesFolder) {
  const char* refused[] = {"../escape.sit",
                           "..\\escape.sit",
                           "sub\\..\\..\\escape.sit",
                           "/tmp/escape.sit",
                           "\\escape.sit",
                           "C:escape.sit",
                           "..",
                           ""};
  for (const char* name : refused) {
    CaptureStderr();
    EXPECT_FALSE(InstallSites(name, "[sites]\n0=Shop evil.com\n")) << name;
    EXPECT_NE(GetCapturedStderr().find("Error: "), std::string::npos) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(ToFileSystemPath(m_home + "/escape.sit")));
  EXPECT_FALSE(std::filesystem::exists("/tmp/escape.sit"));
  EXPECT_EQ(App().sites->size(), 0);

  // Names with dots that are not "..", and subfolders, are fine.
  EXPECT_TRUE(InstallSites("sub\\..sites.sit", "[sites]\n0=Shop ok.com\n"));
  EXPECT_EQ(App().sites->TypeOfHost("ok.com"), 1);
}

TEST_F(SiteListTest, InstallSitesReportsAFileThatCannotBeWritten) {
  // A folder in the way of the file.
  std::filesystem::create_directories(ToFileSystemPath(Category("taken.sit")));
  CaptureStderr();
  EXPECT_FALSE(InstallSites("taken.sit", "[sites]\n0=Shop a.com\n"));
  std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("Error: Cannot open " + Category("taken.sit") +
                     " for writing, category not updated"),
            std::string::npos)
      << log;
  EXPECT_EQ(App().sites->size(), 0);
}

TEST_F(SiteListTest, SetSiteTypeAndSaveStoresTheMark) {
  std::string file = Category("sites.sit");
  App().sites->Load(file);
  EXPECT_TRUE(SetSiteTypeAndSave("http://spam.com/a", 3));
  EXPECT_FALSE(SetSiteTypeAndSave("nonsense", 3));
  EXPECT_EQ(Read(file), "[sites]\r\n0=Blacklist spam.com\r\n");
}

// Search jobs look hosts up while the user interface and the upgrade job change the list.
TEST_F(SiteListTest, ReadersSeeValidTypesWhileTheListChanges) {
  std::string first = Category("first.sit");
  std::string second = Category("second.sit");
  std::string base = "[sites]\n0=Shop stable.com\n";
  std::string more = base;
  for (int i = 1; i < 300; ++i) {
    more += std::to_string(i) + "=Blacklist h" + std::to_string(i) + ".com\n";
  }
  Write(first, base);
  Write(second, more);
  Write(Category("merge.sit"), "[sites]\n0=PShop m.com\n[override]\n0=Shop stable.com\n");
  SiteList& sites = *App().sites;
  sites.Load(first);

  std::atomic<bool> done{false};
  std::atomic<int> invalid{0};
  std::atomic<int> stableWrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&, r] {
      unsigned n = 0;
      while (!done.load()) {
        int t = sites.TypeOf("http://h" + std::to_string(n++ % 300 + r) + ".com/");
        if (t < 0 || t > 3) {
          ++invalid;
        }
        // Every version of the list holds stable.com as Shop: a reader that misses it saw
        // the list between emptying and filling.
        if (sites.TypeOf("http://stable.com/") != 1) {
          ++stableWrong;
        }
        sites.Snapshot();
      }
    });
  }
  for (int i = 0; i < 100; ++i) {
    sites.Load(i % 2 == 0 ? second : first);
    sites.MergeFromFile(Category("merge.sit"));
    sites.SetType("http://h" + std::to_string(i) + ".com/", i % 4);
  }
  done = true;
  for (auto& t : readers) {
    t.join();
  }
  EXPECT_EQ(invalid.load(), 0);
  EXPECT_EQ(stableWrong.load(), 0);
  EXPECT_EQ(sites.TypeOfHost("m.com"), 2);
}

}  // namespace
}  // namespace tulix
