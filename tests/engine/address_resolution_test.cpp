#include "engine/address_resolution.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "platform/url.h"
#include "test_support.h"

namespace tulix {
namespace {

// Collects what the log shows in the status bar while it is registered.
class StatusRecorder : public LogUserInterface {
 public:
  StatusRecorder() { SetLogUserInterface(this); }
  ~StatusRecorder() override { SetLogUserInterface(nullptr); }

  void ShowStatus(const std::string& line) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
  }
  void ShowMessageBox(const std::string&) override {}

  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_lines, {});
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

TEST(AddressResolution, ResolveAddressMakesLinksAbsolute) {
  struct Case {
    const char* base;
    const char* link;
    const char* address;
  };
  const Case cases[] = {
      {"http://h/a/b.htm?x=1", "c.htm", "http://h/a/c.htm"},
      {"http://h/a/b.htm?x=1", "?y=2", "http://h/a/b.htm?y=2"},
      {"http://h:8080/a/b.htm", "/c", "http://h:8080/c"},
      {"http://h/a/", "//k/z", "http://k/z"},
      {"http://h/s?q=a/b", "c", "http://h/c"},
      {"http://h/a/b", "http://k/z?a=1&amp;b=2", "http://k/z?a=1&b=2"},
      {"not an address", "http://k/z?a=1&amp;b=2", "http://k/z?a=1&b=2"},
      {"HTTP://K/Z", "HTTPS://k:99/Q", "HTTPS://k:99/Q"},
      // With https off every base is taken for http, on its own port.
      {"https://h/a/b.htm", "c", "http://h:443/a/c"},
      {"https://h/a/", "//k/z", "http://k/z"},
      {"ftp://h/pub/f", "/g", "http://h:21/g"},
      {"http://u:p@h:80/a/b", "c", "http://h/a/c"},
      {"http://h", "x", "http://h/x"},
      {"http://h", "?q=1", "http://h/?q=1"},
      {"http://h/a/b.htm", "/", "http://h/"},
      // A new query on a folder page keeps the folder's "/".
      {"http://h/a/?q=1", "?q=2", "http://h/a/?q=2"},
      {"http://h/?q=1", "?q=2", "http://h/?q=2"},
      // Nothing is canonicalised: dot segments and fragments stay.
      {"http://h/a/b/", "../x", "http://h/a/b/../x"},
      {"http://h/a/b.htm", "c.htm#top", "http://h/a/c.htm#top"},
      {"http://h/a/b.htm#f?x", "?y", "http://h/a/b.htm#f?y"},
      // An empty link names the base's folder; "//" alone is rooted.
      {"http://h/a/b.htm", "", "http://h/a"},
      {"http://h/a/b", "//", "http://h//"},
      // Only an address with a scheme's port counts as absolute; the rest is relative.
      {"http://h/a/b", "news://n/x", "http://h/a/news://n/x"},
      {"http://h/a/b", "mailto:x@y", "http://h/a/mailto:x@y"},
      {"http://h/a/b", "javascript:go()", "http://h/a/javascript:go()"},
      // Entities are decoded after resolution.
      {"http://h/a/b", "c?x=1&amp;y=&#50;", "http://h/a/c?x=1&y=2"},
      {"http://h/a/b", "/c?&#;", "http://h/c?&#;"},
  };
  test::ScopedSecureWeb plainHttp(false);
  StatusRecorder status;
  for (const Case& c : cases) {
    EXPECT_EQ(ResolveAddress(c.base, c.link), c.address) << c.base << " + " << c.link;
  }
  // An absolute link never needs its base, so even the unparsable one gave no warning.
  EXPECT_TRUE(status.Take().empty());
}

TEST(AddressResolution, HttpsBasesKeepTheirSchemeWhileHttpsIsOn) {
  test::ScopedSecureWeb secureWeb(true);
  const std::pair<const char*, const char*> links[][2] = {
      {{"https://h/a/b.htm", "c"}, {"https://h/a/c", ""}},
      {{"https://h/a/b.htm", "/c"}, {"https://h/c", ""}},
      {{"https://h/a/b.htm?q=1", "?q=2"}, {"https://h/a/b.htm?q=2", ""}},
      {{"https://h/a/", "//k/z"}, {"https://k/z", ""}},
      {{"http://h/a/", "//k/z"}, {"http://k/z", ""}},
      // Each scheme's own default port is left out, any other kept.
      {{"https://h:443/a", "x"}, {"https://h/x", ""}},
      {{"https://h:8443/a", "/x"}, {"https://h:8443/x", ""}},
      {{"http://h:443/a", "x"}, {"http://h:443/x", ""}},
      {{"http://h:80/a", "x"}, {"http://h/x", ""}},
      // Schemes the program does not fetch stay as they always were.
      {{"ftp://h/pub/f", "/g"}, {"http://h:21/g", ""}},
  };
  for (const auto& [input, expected] : links) {
    EXPECT_EQ(ResolveAddress(input.first, input.second), expected.first)
        << input.first << " + " << input.second;
  }
  std::string directory, file, query, root, object;
  ASSERT_TRUE(SplitBaseAddress("https://h/a/b?x", &directory, &file, &query));
  EXPECT_EQ(directory + "|" + file + "|" + query, "https://h/a/|b|?x");
  ASSERT_TRUE(RootAddress("HTTPS://h:443/a", &root, &object));
  EXPECT_EQ(root + "|" + object, "https://h|/a");
  EXPECT_TRUE(IsWebService(kServiceHttps));
  EXPECT_FALSE(IsWebService(kServiceFtp));
  {
    test::ScopedSecureWeb plainHttp(false);
    EXPECT_FALSE(IsWebService(kServiceHttps));
    EXPECT_TRUE(IsWebService(kServiceHttp));
  }
}

TEST(AddressResolution, UnparsableBaseLeavesTheLinkAndWarns) {
  StatusRecorder status;
  EXPECT_EQ(ResolveAddress("www.h.com/a", "c.htm"), "c.htm");
  EXPECT_EQ(status.Take(),
            std::vector<std::string>{"Warning: Cannot parse address <www.h.com/a>,<c.htm>"});
  EXPECT_EQ(ResolveAddress("", "?q=a&amp;b"), "?q=a&b");
  EXPECT_EQ(status.Take(),
            std::vector<std::string>{"Warning: Cannot parse address <>,<?q=a&amp;b>"});
  EXPECT_EQ(ResolveAddress("x", ""), "");
  EXPECT_EQ(status.Take().size(), 1u);
  EXPECT_EQ(ResolveAddress("", "/rooted"), "/rooted");
  EXPECT_EQ(status.Take().size(), 1u);
  // Nothing to resolve and nothing to say.
  EXPECT_EQ(ResolveAddress("", ""), "");
  EXPECT_EQ(ResolveAddress("", "http://k/z"), "http://k/z");
  EXPECT_TRUE(status.Take().empty());
}

TEST(AddressResolution, SplitBaseAddressAndRootAddress) {
  struct Case {
    const char* base;
    const char* directory;
    const char* file;
    const char* query;
    const char* root;
    const char* object;
  };
  const Case cases[] = {
      {"http://h/a/b.htm?x=1", "http://h/a/", "b.htm", "?x=1", "http://h", "/a/b.htm?x=1"},
      {"http://h/s?q=a/b", "http://h/", "s", "?q=a/b", "http://h", "/s?q=a/b"},
      {"http://h", "http://h/", "", "", "http://h", "/"},
      {"http://h?x", "http://h/", "", "?x", "http://h", "/?x"},
      {"http://h:8080/a/", "http://h:8080/a/", "", "", "http://h:8080", "/a/"},
      {"http://h:80/a", "http://h/", "a", "", "http://h", "/a"},
      {"https://h/a/b", "http://h:443/a/", "b", "", "http://h:443", "/a/b"},
      {"http://h/a/b.htm#f", "http://h/a/", "b.htm#f", "", "http://h", "/a/b.htm#f"},
      {"http://h/a?x=1?y=2", "http://h/", "a", "?x=1?y=2", "http://h", "/a?x=1?y=2"},
  };
  test::ScopedSecureWeb plainHttp(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base);
    std::string directory, file, query, root, object;
    ASSERT_TRUE(SplitBaseAddress(c.base, &directory, &file, &query));
    EXPECT_EQ(directory, c.directory);
    EXPECT_EQ(file, c.file);
    EXPECT_EQ(query, c.query);
    ASSERT_TRUE(RootAddress(c.base, &root, &object));
    EXPECT_EQ(root, c.root);
    EXPECT_EQ(object, c.object);
  }
  for (const char* bad : {"", "h/a", "/a/b", "http:/h/a", "http://", "http://h:x/"}) {
    std::string directory = "d", file = "f", query = "q", root = "r", object = "o";
    EXPECT_FALSE(SplitBaseAddress(bad, &directory, &file, &query)) << bad;
    EXPECT_FALSE(RootAddress(bad, &root, &object)) << bad;
    EXPECT_EQ(directory + file + query + root + object, "dfqro") << bad;
  }
}

TEST(AddressResolution, JoinWithSeparatorLeavesExactlyOne) {
  struct Case {
    const char* a;
    const char* b;
    char separator;
    const char* joined;
  };
  const Case cases[] = {
      {"http://h/d/", "x.htm", '/', "http://h/d/x.htm"},
      {"http://h/d", "x.htm", '/', "http://h/d/x.htm"},
      {"http://h/d/", "/x.htm", '/', "http://h/d/x.htm"},
      {"http://h/d", "/x.htm", '/', "http://h/d/x.htm"},
      {"", "/x", '/', "x"},
      {"", "x", '/', "x"},
      {"", "", '/', ""},
      {"http://h/d/", "", '/', "http://h/d"},
      {"http://h/d", "", '/', "http://h/d"},
      {"/", "", '/', ""},
      {"a//", "//b", '/', "a///b"},
      {"http://h/p", "?q=1", '?', "http://h/p?q=1"},
      {"http://h/p?", "q=1", '?', "http://h/p?q=1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinWithSeparator(c.a, c.b, c.separator), c.joined) << c.a << " + " << c.b;
  }
}

}  // namespace
}  // namespace tulix
