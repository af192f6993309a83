#include "update/upgrade_list.h"

#include <gtest/gtest.h>

#include <string>

#include "base/token_splitter.h"

#include "test_support.h"

namespace tulix {
namespace {

TEST(UpgradeList, ReadsNoticeAndEntriesWithEitherLineEnd) {
  const UpgradeList list = ParseUpgradeList(
      "2\r\nweb|alpha.ini|7|x\r\n|sites.sit|8|\rweb|beta.ini||y\n"
      "web|gamma.ini|12abc|z\nweb\\news|n.cat|9.5|\n");
  EXPECT_EQ(list.notice, 2);
  ASSERT_EQ(list.files.size(), 3u);
  EXPECT_EQ(list.files[0].path, "web\\alpha.ini");
  EXPECT_EQ(list.files[0].stamp, "7");
  EXPECT_EQ(list.files[0].extra, "x");
  EXPECT_EQ(list.files[1].path, "sites.sit");
  EXPECT_EQ(list.files[2].path, "web\\news\\n.cat");
  EXPECT_EQ(list.files[2].stamp, "9.5");
  // The empty stamp is skipped silently; the one that is no number is counted.
  EXPECT_EQ(list.skippedLines, 1);
}

TEST(UpgradeList, HostileListsStayBounded) {
  EXPECT_EQ(ParseUpgradeList("").notice, 0);
  EXPECT_EQ(ParseUpgradeList("<html>|a|1|\n").notice, 0);
  EXPECT_TRUE(ParseUpgradeList("0").files.empty());

  // A line of a megabyte keeps only what a token may hold: a stamp beyond that is lost.
  EXPECT_TRUE(ParseUpgradeList("0\n" + std::string(1 << 20, 'a') + "|b.ini|5|\n").files.empty());
  const UpgradeList one = ParseUpgradeList("0\nweb|b.ini|5|" + std::string(1 << 20, 'x') + "\n");
  ASSERT_EQ(one.files.size(), 1u);
  EXPECT_LE(one.files[0].extra.size(), kMaxTokenLength);

  std::string many = "0\n";
  for (int i = 0; i < 100000; ++i) {
    many += "web|e" + std::to_string(i) + ".ini|" + std::to_string(i + 1) + "|\n";
  }
  EXPECT_EQ(ParseUpgradeList(many).files.size(), 100000u);
}

TEST(UpgradeList, StampsMustBePlainDecimals) {
  EXPECT_TRUE(IsPlainDecimal("1735689600"));
  EXPECT_TRUE(IsPlainDecimal("1.5"));
  for (const char* bad : {"", ".", "1.2.3", "-4", "1e9", "inf", "nan", " 7"}) {
    EXPECT_FALSE(IsPlainDecimal(bad)) << bad;
  }
}

TEST(UpgradeList, ListRequestKeepsParameterOrderAndRefusesControlCharacters) {
  UpgradeListQuery query;
  query.ctimestamp = "10";
  query.timestamp = "9";
  query.category = "news|shop|";
  query.version = "1.500";
  query.domains = "uk,com";
  std::string refused;
  EXPECT_EQ(BuildUpgradeListObject(query, &refused),
            "/tulix/getupgradelist.php?ctimestamp=10&timestamp=9&category=news|shop|&v=1.500&"
            "d=uk,com&a=0");
  query.fullDownload = true;
  query.ctimestamp.clear();
  EXPECT_TRUE(BuildUpgradeListObject(query, &refused)
                  ->ends_with("?ctimestamp=&timestamp=9"
                              "&category=news|shop|&v=1.500"
                              "&d=uk,com&a=1"));
  query.domains = "uk\r\nX-Evil: 1";
  EXPECT_FALSE(BuildUpgradeListObject(query, &refused));
  EXPECT_EQ(refused, "d");
}

TEST(UpgradeList, PathsStayInsideTheCategoriesFolder) {
  EXPECT_EQ(UpgradeFileObject("web\\alpha.ini"), "/tulix/categories/web/alpha.ini");
  EXPECT_TRUE(IsSafeUpgradePath("web\\news\\a.ini"));
  for (const char* bad :
       {"..\\x.ini", "web\\..\\..\\x", "web/../x", "/etc/passwd", "\\x", "c:x.ini", ""}) {
    EXPECT_FALSE(IsSafeUpgradePath(bad)) << bad;
  }
  EXPECT_FALSE(IsSafeUpgradePath(std::string("web\\a\0b.ini", 11)));
  EXPECT_FALSE(IsSafeUpgradePath("web\\a\tb.ini"));
}

TEST(UpgradeList, OnlyPlainHttpAddressesAreOpened) {
  EXPECT_TRUE(IsPlainHttpAddress("http://www.example.com/whatsnew.html"));
  for (const char* bad : {"http:whatever", "http://", "http:///x", "http://a b/",
                          "http://x/\"onload", "http:\\\\host\\share"}) {
    EXPECT_FALSE(IsPlainHttpAddress(bad)) << bad;
  }
}

TEST(UpgradeList, UpdateServerSettingForms) {
  auto plain = ParseUpdateServer("updates.example.org");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->host, "updates.example.org");
  EXPECT_EQ(plain->port, 80);
  auto withPort = ParseUpdateServer("HTTP://127.0.0.1:8080/");
  ASSERT_TRUE(withPort);
  EXPECT_EQ(withPort->host, "127.0.0.1");
  EXPECT_EQ(withPort->port, 8080);
  EXPECT_FALSE(withPort->secure);
  for (const char* bad :
       {"", ":80", "host:", "host:0", "host:65536", "host:8x", "ftp://host", "host/path"}) {
    EXPECT_FALSE(ParseUpdateServer(bad)) << bad;
  }

  test::ScopedSecureWeb secureWeb(true);
  auto secure = ParseUpdateServer("https://updates.example.org/");
  ASSERT_TRUE(secure);
  EXPECT_EQ(secure->host, "updates.example.org");
  EXPECT_EQ(secure->port, 443);
  EXPECT_TRUE(secure->secure);
  secure = ParseUpdateServer("HTTPS://127.0.0.1:8443");
  ASSERT_TRUE(secure);
  EXPECT_EQ(secure->port, 8443);
  EXPECT_TRUE(IsWebAddressToFollow("https://127.0.0.1:8443/x"));
  EXPECT_FALSE(IsPlainHttpAddress("https://127.0.0.1:8443/x"));
  {
    test::ScopedSecureWeb plainHttp(false);
    EXPECT_FALSE(ParseUpdateServer("https://updates.example.org"));
    EXPECT_FALSE(IsWebAddressToFollow("https://127.0.0.1:8443/x"));
    EXPECT_TRUE(IsWebAddressToFollow("http://127.0.0.1:8443/x"));
  }
}

}  // namespace
}  // namespace tulix
