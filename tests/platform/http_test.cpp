#include "platform/http.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"
#include "platform/last_error.h"
#include "wire_server.h"

namespace tulix {
namespace {

constexpr char kAgent[] = "TulixTest/1.0";

// A loopback server that records the header lines of every request.
class Server : public test::LoopbackServer {
 public:
  // The request headers as sent, without the ones the server library adds for itself.
  void Record(const httplib::Request& req) {
    static const std::set<std::string> kOwn = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR",
                                               "LOCAL_PORT"};
    std::vector<std::string> lines;
    for (const auto& [name, value] : req.headers) {
      if (kOwn.count(name) == 0)
        lines.push_back(name + ": " + value);
    }
    std::lock_guard lock(m_mutex);
    m_headers.push_back(std::move(lines));
    m_targets.push_back(req.target);
    m_bodies.push_back(req.body);
    m_remotePorts.push_back(req.remote_port);
  }
  std::vector<std::string> Headers(size_t i) {
    std::lock_guard lock(m_mutex);
    return m_headers.at(i);
  }
  std::string Target(size_t i) {
    std::lock_guard lock(m_mutex);
    return m_targets.at(i);
  }
  std::string Body(size_t i) {
    std::lock_guard lock(m_mutex);
    return m_bodies.at(i);
  }
  int RemotePort(size_t i) {
    std::lock_guard lock(m_mutex);
    return m_remotePorts.at(i);
  }

 private:
  std::mutex m_mutex;
  std::vector<std::vector<std::string>> m_headers;
  std::vector<std::string> m_targets;
  std::vector<std::string> m_bodies;
  std::vector<int> m_remotePorts;
};

std::string ReadAll(HttpRequest& request) {
  std::string body;
  char piece[1024];
  size_t n = 0;
  while (request.Read(piece, sizeof piece, &n) && n > 0)
    body.append(piece, n);
  return body;
}

std::set<std::string> AsSet(const std::vector<std::string>& lines) {
  return {lines.begin(), lines.end()};
}

TEST(HttpHeaders, AddAndReplaceOutcomes) {
  HttpSession session(kAgent);
  auto request = session.OpenRequest("GET", "127.0.0.1", 80, "/", "", kHttpFlagReload);
  ASSERT_NE(request, nullptr);

  // Right after opening nothing is there, so a replace fails and the add-if-new then works.
  EXPECT_FALSE(request->QueryRequestHeader("User-Agent"));
  EXPECT_FALSE(request->AddRequestHeaders("Accept: */*\r\n", HeaderMode::kReplace));
  EXPECT_EQ(GetLastError(), kErrorHttpHeaderNotFound);
  EXPECT_TRUE(request->AddRequestHeaders("Accept: */*\r\n", HeaderMode::kAddIfNew));
  EXPECT_FALSE(request->AddRequestHeaders("accept: text/html\r\n", HeaderMode::kAddIfNew));
  EXPECT_EQ(GetLastError(), kErrorHttpInvalidHeader);
  EXPECT_EQ(request->QueryRequestHeader("ACCEPT"), "*/*");

  // Replace drops the first of two and appends the new one.
  EXPECT_TRUE(request->AddRequestHeaders("Warning: test1\r\nWarning: test2\r\n", HeaderMode::kAdd));
  EXPECT_TRUE(request->AddRequestHeaders("Warning: test3", HeaderMode::kReplace));
  EXPECT_EQ(request->QueryRequestHeader("Warning"), "test2");

  // Add-or-replace adds when absent; a replace with an empty value only removes.
  EXPECT_TRUE(request->AddRequestHeaders("X-New: 1\r\n\r\n", HeaderMode::kAddOrReplace));
  EXPECT_EQ(request->QueryRequestHeader("X-New"), "1");
  EXPECT_TRUE(request->AddRequestHeaders("X-New:", HeaderMode::kReplace));
  EXPECT_FALSE(request->QueryRequestHeader("X-New"));

  EXPECT_FALSE(request->AddRequestHeaders("no colon here", HeaderMode::kAdd));
  EXPECT_EQ(GetLastError(), kErrorHttpInvalidHeader);
}

TEST(HttpRequestTest, SendsOnlyTheHeadersAskedFor) {
  Server server;
  server->Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    server.Record(req);
    res.set_content("hello", "text/plain");
  });
  server->Post("/form", [&](const httplib::Request& req, httplib::Response& res) {
    server.Record(req);
    res.set_content("posted", "text/plain");
  });
  server.Start();
  std::string host = "127.0.0.1:" + std::to_string(server.Port());
  HttpSession session(kAgent);

  // Bare GET, no referer: Host and the session's agent only; the blank is encoded.
  auto get = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/a b?q=1", "", 0);
  ASSERT_TRUE(get->Send());
  EXPECT_EQ(get->StatusCode(), 200);
  EXPECT_EQ(ReadAll(*get), "hello");
  EXPECT_EQ(AsSet(server.Headers(0)),
            (std::set<std::string>{"Host: " + host, std::string("User-Agent: ") + kAgent}));
  EXPECT_EQ(server.Target(0), "/a%20b?q=1");

  // The request's own User-Agent wins over the agent; the referer becomes a header.
  auto second = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/x", "http://r/", 0);
  ASSERT_TRUE(
      second->AddRequestHeaders("Accept: */*\r\nAccept-Language: en-gb\r\n"
                                "User-Agent: Mine  (odd\r\n",
                                HeaderMode::kAddIfNew));
  ASSERT_TRUE(second->Send());
  EXPECT_EQ(ReadAll(*second), "hello");
  EXPECT_EQ(AsSet(server.Headers(1)),
            (std::set<std::string>{"Host: " + host, "Referer: http://r/", "Accept: */*",
                                   "Accept-Language: en-gb", "User-Agent: Mine  (odd"}));
  // The kept-alive connection of the first request was used again.
  EXPECT_EQ(server.RemotePort(0), server.RemotePort(1));

  // POST: the caller's content type and body, no Expect, nothing else of libcurl's own.
  std::string body(2000, 'x');
  body += "\r\n";
  auto post = session.OpenRequest("POST", "127.0.0.1", server.Port(), "/form", "", 0);
  ASSERT_TRUE(post->Send("Content-Type: application/x-www-form-urlencoded\r\n", body));
  EXPECT_EQ(ReadAll(*post), "posted");
  EXPECT_EQ(AsSet(server.Headers(2)),
            (std::set<std::string>{"Host: " + host, std::string("User-Agent: ") + kAgent,
                                   "Content-Type: application/x-www-form-urlencoded",
                                   "Content-Length: " + std::to_string(body.size())}));
  EXPECT_EQ(server.Body(2), body);

  // A POST without a content type sends none.
  auto bare = session.OpenRequest("POST", "127.0.0.1", server.Port(), "/form", "", 0);
  ASSERT_TRUE(bare->Send({}, "a=1"));
  EXPECT_EQ(ReadAll(*bare), "posted");
  EXPECT_EQ(AsSet(server.Headers(3)),
            (std::set<std::string>{"Host: " + host, std::string("User-Agent: ") + kAgent,
                                   "Content-Length: 3"}));
}

// Whatever a caller hands in, no line end or other control character reaches the wire raw:
// the request line and the referer are encoded, a header line with one is refused, and a host
// with one is no host.
TEST(HttpRequestTest, ControlCharactersNeverMakeLinesOfTheirOwn) {
  test::WireServer server(
      [](const test::WireRequest&, size_t) { return test::HttpReply(200, "page"); });
  HttpSession session(std::string(kAgent) + "\r\nX-Evil: agent");
  auto request = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/p\r\nX-Evil: object",
                                     "http://h/r\r\nX-Evil: referer\n\x7f", 0);
  ASSERT_NE(request, nullptr);
  for (std::string_view bad :
       {std::string_view("X-Evil: a\rX-More: b"), std::string_view("X-Evil: a\0b", 11),
        std::string_view("X-\x01: c"), std::string_view("X-Evil: a\tb")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(request->AddRequestHeaders(bad, HeaderMode::kAdd));
    EXPECT_EQ(GetLastError(), kErrorHttpInvalidHeader);
  }
  EXPECT_FALSE(request->Send("X-Evil: send\rX-More: 1\r\n"));
  EXPECT_EQ(GetLastError(), kErrorHttpInvalidHeader);
  // A line end between lines is what separates them, and stays allowed.
  ASSERT_TRUE(request->AddRequestHeaders("X-One: 1\r\nX-Two: 2\r\n", HeaderMode::kAdd));
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(ReadAll(*request), "page");

  ASSERT_EQ(server.RequestCount(), 1u);
  const test::WireRequest sent = server.Requests()[0];
  EXPECT_EQ(sent.requestLine, "GET /p%0D%0AX-Evil:%20object HTTP/1.1");
  EXPECT_EQ(sent.headerLines,
            (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(server.Port()),
                                      "Referer: http://h/r%0D%0AX-Evil:%20referer%0A%7F",
                                      "X-One: 1", "X-Two: 2"}));
  EXPECT_EQ(sent.raw.find("\nX-Evil"), std::string::npos) << sent.raw;

  for (const char* host : {"127.0.0.1\r\nX-Evil: host", "127.0.0.1 x", ""}) {
    SCOPED_TRACE(host);
    EXPECT_EQ(session.OpenRequest("GET", host, server.Port(), "/", "", 0), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInternetInvalidUrl);
  }
  EXPECT_EQ(server.RequestCount(), 1u);
}

TEST(HttpRequestTest, RedirectsAndRawHeaders) {
  Server server;
  server->Get("/moved", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/elsewhere");
    res.set_header("X-Twice", "one");
    res.set_content("moved", "text/plain");
  });
  server->Get("/elsewhere", [&](const httplib::Request& req, httplib::Response&) {
    server.Record(req);  // must never be reached
  });
  server.Start();
  HttpSession session(kAgent);
  auto request = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/moved", "", 0);
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(request->StatusCode(), 302);
  EXPECT_EQ(request->QueryResponseHeader("location"), "/elsewhere");
  std::string raw = request->RawHeaders();
  EXPECT_EQ(raw.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << raw;
  EXPECT_NE(raw.find("\r\nLocation: /elsewhere\r\n"), std::string::npos) << raw;
  EXPECT_NE(raw.find("\r\nX-Twice: one\r\n"), std::string::npos) << raw;
  ASSERT_GE(raw.size(), 4u);
  EXPECT_EQ(raw.substr(raw.size() - 4), "\r\n\r\n");
  EXPECT_EQ(raw.find("\r\n\r\n"), raw.size() - 4);
  EXPECT_EQ(ReadAll(*request), "moved");
  EXPECT_FALSE(request->QueryResponseHeader("Accept-Encoding"));
}

TEST(HttpRequestTest, CredentialsCancelAndRetry) {
  Server server;
  server->Get("/secret", [&](const httplib::Request& req, httplib::Response& res) {
    server.Record(req);
    if (req.get_header_value("Authorization") == "Basic dXNlcjpwdw==") {  // user:pw
      res.set_content("inside", "text/plain");
    } else {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Basic realm=\"r\"");
      res.set_content("denied", "text/plain");
    }
  });
  server.Start();
  HttpSession session(kAgent);

  auto request = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/secret", "", 0);
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(request->StatusCode(), 401);
  EXPECT_EQ(request->PromptForCredentials(), kErrorCancelled);  // no prompt installed

  std::string askedHost;
  session.SetCredentialsPrompt([&](const std::string& host, HttpCredentials& credentials) {
    askedHost = host;
    credentials = {"user", "pw"};
    return true;
  });
  EXPECT_EQ(request->PromptForCredentials(), kErrorInternetForceRetry);
  EXPECT_EQ(askedHost, "127.0.0.1");
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(request->StatusCode(), 200);
  EXPECT_EQ(ReadAll(*request), "inside");

  session.SetCredentialsPrompt([](const std::string&, HttpCredentials&) { return false; });
  auto other = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/secret", "", 0);
  ASSERT_TRUE(other->Send());
  EXPECT_EQ(other->StatusCode(), 401);
  EXPECT_EQ(other->PromptForCredentials(), kErrorCancelled);
  EXPECT_EQ(ReadAll(*other), "denied");
}

TEST(HttpRequestTest, BodyCapKeepsStatusAndPartialBody) {
  Server server;
  std::string big(100000, 'b');
  server->Get("/big", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content(big, "text/plain");
  });
  server.Start();
  HttpSession session(kAgent);
  auto request = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/big", "", 0);
  request->SetBodyCap(5000);
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(request->StatusCode(), 404);
  EXPECT_EQ(ReadAll(*request), big.substr(0, 5000));
  size_t n = 1;
  char piece[16];
  EXPECT_TRUE(request->Read(piece, sizeof piece, &n));
  EXPECT_EQ(n, 0u);

  // Uncapped, the whole body arrives.
  auto whole = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/big", "", 0);
  ASSERT_TRUE(whole->Send());
  EXPECT_EQ(ReadAll(*whole), big);
}

// The server sends the headers and a first piece, then holds the rest back until released or
// until a deadline that the test never means to reach.
struct HeldBody {
  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  bool waiting = false;

  void Release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
};

TEST(HttpRequestTest, AbortEndsABlockingReadAndIdleTimeout) {
  Server server;
  HeldBody held;
  server->Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&](size_t offset, httplib::DataSink& sink) {
      if (offset == 0) {
        sink.write("first", 5);
        return true;
      }
      std::unique_lock lock(held.mutex);
      held.waiting = true;
      held.changed.notify_all();
      held.changed.wait_for(lock, std::chrono::seconds(20), [&] { return held.released; });
      sink.done();
      return true;
    });
  });
  server.Start();
  HttpSession session(kAgent);

  auto request = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/slow", "", 0);
  ASSERT_TRUE(request->Send());
  char piece[64];
  size_t n = 0;
  ASSERT_TRUE(request->Read(piece, sizeof piece, &n));
  EXPECT_EQ(std::string(piece, n), "first");
  std::thread aborter([&] {
    std::unique_lock lock(held.mutex);
    held.changed.wait_for(lock, std::chrono::seconds(20), [&] { return held.waiting; });
    lock.unlock();
    request->Abort();
  });
  EXPECT_FALSE(request->Read(piece, sizeof piece, &n));
  EXPECT_EQ(GetLastError(), kErrorInternetOperationCancelled);
  aborter.join();
  {
    // The read ended through the abort, not because the server let go.
    std::lock_guard lock(held.mutex);
    EXPECT_FALSE(held.released);
  }
  EXPECT_FALSE(request->Read(piece, sizeof piece, &n));
  EXPECT_FALSE(request->Send());
  EXPECT_EQ(GetLastError(), kErrorInternetOperationCancelled);
  held.Release();

  // With a short no-data limit, the held-back body times out instead.
  {
    std::lock_guard lock(held.mutex);
    held.released = false;
    held.waiting = false;
  }
  session.SetTimeouts(std::chrono::milliseconds(5000), std::chrono::milliseconds(200));
  auto idle = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/slow", "", 0);
  ASSERT_TRUE(idle->Send());
  ASSERT_TRUE(idle->Read(piece, sizeof piece, &n));
  EXPECT_FALSE(idle->Read(piece, sizeof piece, &n));
  EXPECT_EQ(GetLastError(), kErrorInternetTimeout);
  held.Release();
}

TEST(HttpRequestTest, ConnectionFailureSetsError) {
  uint16_t port = 0;
  {
    Server closed;
    closed.Start();
    port = closed.Port();
  }
  HttpSession session(kAgent);
  auto request = session.OpenRequest("GET", "127.0.0.1", port, "/", "", 0);
  EXPECT_FALSE(request->Send());
  EXPECT_EQ(GetLastError(), kErrorInternetCannotConnect);
  EXPECT_EQ(request->StatusCode(), 0);
}

// The proxy comes from http_proxy when the session is made; hosts named in no_proxy bypass it.
// Through the proxy the request line carries the whole address.
TEST(HttpRequestTest, ProxyFromEnvironmentAndNoProxyBypass) {
  Server proxy;
  proxy->Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    proxy.Record(req);
    res.set_content("via proxy", "text/plain");
  });
  proxy.Start();
  Server direct;
  direct->Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    direct.Record(req);
    res.set_content("direct", "text/plain");
  });
  direct.Start();

  const std::string proxyAddress = "http://127.0.0.1:" + std::to_string(proxy.Port());
  setenv("http_proxy", proxyAddress.c_str(), 1);
  setenv("no_proxy", "localhost, .bypass.invalid,127.0.0.1", 1);
  HttpSession session(kAgent);
  unsetenv("http_proxy");
  unsetenv("no_proxy");

  auto viaProxy = session.OpenRequest("GET", "search.invalid", 8080, "/find?q=a b", "", 0);
  ASSERT_TRUE(viaProxy->Send());
  EXPECT_EQ(viaProxy->StatusCode(), 200);
  EXPECT_EQ(ReadAll(*viaProxy), "via proxy");
  EXPECT_EQ(proxy.Target(0), "http://search.invalid:8080/find?q=a%20b");
  std::set<std::string> sent = AsSet(proxy.Headers(0));
  EXPECT_TRUE(sent.count("Host: search.invalid:8080")) << "Host names the origin, not the proxy";

  // A listed host (here the last of the list) goes straight to the server, with the path alone
  // in the request line.
  auto bypass = session.OpenRequest("GET", "127.0.0.1", direct.Port(), "/x", "", 0);
  ASSERT_TRUE(bypass->Send());
  EXPECT_EQ(ReadAll(*bypass), "direct");
  EXPECT_EQ(direct.Target(0), "/x");
}

}  // namespace
}  // namespace tulix
