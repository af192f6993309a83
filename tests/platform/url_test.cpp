#include "platform/url.h"

#include <gtest/gtest.h>

namespace tulix {
namespace {

TEST(Url, ParsesAbsoluteAddresses) {
  struct Case {
    const char* url;
    uint32_t service;
    const char* server;
    const char* object;
    uint16_t port;
  };
  const Case cases[] = {
      {"http://www.example.org", kServiceHttp, "www.example.org", "/", 80},
      {"HtTp://h/a/b.htm?x=1#f", kServiceHttp, "h", "/a/b.htm?x=1#f", 80},
      {"http://192.168.0.22/CFIDE/main.cfm?CFSVR=IDE&ACTION=IDE_DEFAULT", kServiceHttp,
       "192.168.0.22", "/CFIDE/main.cfm?CFSVR=IDE&ACTION=IDE_DEFAULT", 80},
      {"http://h:8080/c", kServiceHttp, "h", "/c", 8080},
      {"https://h/x", kServiceHttps, "h", "/x", 443},
      {"https://h:80/x", kServiceHttps, "h", "/x", 80},
      {"ftp://user:pw@files.example.org/pub", kServiceFtp, "files.example.org", "/pub", 21},
      {"http://h?q=1", kServiceHttp, "h", "/?q=1", 80},
      {"http://h:/x", kServiceHttp, "h", "/x", 80},
      {"http://h/../a/./b", kServiceHttp, "h", "/../a/./b", 80},
      {"foo://h/x", kServiceUnknown, "h", "/x", 0},
      {"foo://h:9/x", kServiceUnknown, "h", "/x", 9},
  };
  for (const Case& c : cases) {
    ParsedUrl parsed;
    ASSERT_TRUE(ParseUrl(c.url, &parsed)) << c.url;
    EXPECT_EQ(parsed.serviceType, c.service) << c.url;
    EXPECT_EQ(parsed.server, c.server) << c.url;
    EXPECT_EQ(parsed.object, c.object) << c.url;
    EXPECT_EQ(parsed.port, c.port) << c.url;
  }
  ParsedUrl parsed;
  ASSERT_TRUE(ParseUrl("http://h/x", &parsed));
  EXPECT_EQ(parsed.object.size(), 2u);
}

TEST(Url, RejectsRelativeAndMalformedTextUntouched) {
  const char* bad[] = {
      "",        "file.txt",   "www.example.org", "../Ritz.xml",  "/x",         "//host/x",
      "?q=1",    "mailto:a@b", "javascript:f()",  "http:/h/x",    "ht tp://h/", "://h/x",
      "http://", "http:///x",  "http://h:99999/", "http://h:8a/x"};
  for (const char* url : bad) {
    ParsedUrl parsed;
    parsed.server = "untouched";
    EXPECT_FALSE(ParseUrl(url, &parsed)) << url;
    EXPECT_EQ(parsed.server, "untouched") << url;
  }
  std::string longHost = "http://" + std::string(kMaxUrlLength + 1, 'h') + "/";
  std::string longPath = "http://h/" + std::string(kMaxUrlLength, 'p');
  ParsedUrl parsed;
  EXPECT_FALSE(ParseUrl(longHost, &parsed));
  EXPECT_FALSE(ParseUrl(longPath, &parsed));
}

}  // namespace
}  // namespace tulix
