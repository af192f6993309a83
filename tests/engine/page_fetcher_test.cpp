#include "engine/page_fetcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/application.h"
#include "jobs/job.h"
#include "loopback_server.h"
#include "jobs/worker_thread.h"
#include "platform/event_loop.h"
#include "platform/http.h"
#include "platform/last_error.h"
#include "test_support.h"
#include "tls_loopback_server.h"
#include "wire_server.h"

namespace tulix {
namespace {

using test::HttpReply;
using test::WireReply;
using test::WireRequest;
using test::WireServer;

const std::vector<std::string> kBrowserHeaders = {
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-powerpoint, "
    "application/vnd.ms-excel, application/msword, application/x-shockwave-flash, */*",
    "Accept-Language: en-gb",
    "Proxy-Connection: Keep-Alive",
    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; VNIE5; Q312461;  .NET CLR "
    "1.1.4322",
};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A job whose reports land in a window the test reads.
class ReportingJob : public CJob {
 public:
  void Attach(WindowHandle window) { SetNotifyWindow(window); }
};

struct Report {
  uint32_t message;
  intptr_t wParam;
  intptr_t lParam;
  bool operator==(const Report&) const = default;
};

class ReportWindow : public MessageTarget {
 public:
  void OnMessage(uint32_t message, intptr_t wParam, intptr_t lParam) override {
    reports.push_back({message, wParam, lParam});
  }
  std::vector<Report> reports;
};

// A gate a server handler waits on until the test opens it (or a deadline passes).
class Gate {
 public:
  void Open() {
    std::lock_guard lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }
  void Wait() {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_open; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_open = false;
};

class PageFetcherTest : public test::LoopbackApplicationTest {
 protected:
  static RequestSpec Get(uint16_t port, std::string object, std::string host = "127.0.0.1") {
    RequestSpec request;
    request.verb = 1;
    request.host = std::move(host);
    request.port = port;
    request.object = std::move(object);
    return request;
  }

  int Fetch(RequestSpec request, std::string& page, FetchDetails* details = nullptr) {
    return FetchPage(nullptr, request, page, m_pages, details);
  }

  std::string HostLine(const WireServer& server) const {
    return "Host: 127.0.0.1:" + std::to_string(server.Port());
  }

  int m_pages = 0;
};

TEST_F(PageFetcherTest, FirstRequestCarriesTheBrowserHeadersAndNothingElse) {
  WireServer server([](const WireRequest&, size_t) { return HttpReply(200, "<html>hi</html>"); });

  std::string page;
  FetchDetails details;
  EXPECT_EQ(Fetch(Get(server.Port(), "/search?q=blue whale"), page, &details), kFetchOk);
  EXPECT_EQ(page, "<html>hi</html>");
  EXPECT_EQ(details.finalStatus, 200);
  EXPECT_TRUE(details.redirects.empty());

  RequestSpec withReferer = Get(server.Port(), "/next");
  withReferer.referer = "http://127.0.0.1/search";
  EXPECT_EQ(Fetch(withReferer, page), kFetchOk);
  EXPECT_EQ(m_pages, 2);

  const std::vector<WireRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  // An empty referer sends none; blanks in the object cannot go raw on the request line.
  EXPECT_EQ(requests[0].requestLine, "GET /search?q=blue%20whale HTTP/1.1");
  EXPECT_EQ(requests[0].headerLines, Concat({HostLine(server)}, kBrowserHeaders));
  EXPECT_EQ(requests[1].headerLines,
            Concat({HostLine(server), "Referer: http://127.0.0.1/search"}, kBrowserHeaders));
}

TEST_F(PageFetcherTest, PostSendsTheFormWithItsContentTypeAndALineEnd) {
  WireServer server([](const WireRequest&, size_t) { return HttpReply(200, "posted"); });
  RequestSpec request = Get(server.Port(), "/cgi/find");
  request.verb = 0;
  request.extra = "q=blue+whale&n=20";

  std::string page;
  EXPECT_EQ(FetchPage(nullptr, request, page, m_pages), kFetchOk);
  EXPECT_EQ(page, "posted");
  EXPECT_EQ(request.body, "q=blue+whale&n=20\r\n");

  ASSERT_EQ(server.RequestCount(), 1u);
  const WireRequest sent = server.Requests()[0];
  EXPECT_EQ(sent.requestLine, "POST /cgi/find HTTP/1.1");
  EXPECT_EQ(sent.body, "q=blue+whale&n=20\r\n");
  EXPECT_EQ(sent.headerLines,
            Concat(Concat({HostLine(server)}, kBrowserHeaders),
                   {"Content-Type: application/x-www-form-urlencoded", "Content-Length: 19"}));
}

TEST_F(PageFetcherTest, RelativeRedirectsResolveAgainstTheRequestedServer) {
  WireServer server([](const WireRequest& request, size_t) {
    if (request.requestLine.starts_with("GET /a/start ")) {
      // A Content-Location line names another place; only the Location line counts.
      return HttpReply(302, "", {"Content-Location: /wrong", "Location: next.htm?x=1"});
    }
    if (request.requestLine.starts_with("GET /next.htm?x=1 ")) {
      return HttpReply(301, "moved", {"Location: /final"});
    }
    return HttpReply(200, "final page");
  });
  std::string page;
  FetchDetails details;
  EXPECT_EQ(Fetch(Get(server.Port(), "/a/start"), page, &details), kFetchOk);
  EXPECT_EQ(page, "final page");
  const std::string root = "http://127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(details.redirects, (std::vector<std::string>{root + "/next.htm?x=1", root + "/final"}));

  const std::vector<WireRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  // The base is the server's root, not the directory of the page that redirected.
  EXPECT_EQ(requests[1].requestLine, "GET /next.htm?x=1 HTTP/1.1");
  EXPECT_EQ(requests[2].requestLine, "GET /final HTTP/1.1");
  // A redirect is a bare GET: only the session's own agent goes with it.
  EXPECT_EQ(
      requests[2].headerLines,
      (std::vector<std::string>{HostLine(server), std::string("User-Agent: ") + kSessionAgent}));
}

TEST_F(PageFetcherTest, RedirectOnTheDefaultPortResolvesWithoutAPort) {
  // Port 80 is out of a test's reach, so the requests go through a proxy, which sees the
  // addresses the fetcher made.
  WireServer proxy([](const WireRequest& request, size_t) {
    if (request.requestLine.find("/dir/page") != std::string::npos) {
      return HttpReply(303, "", {"Location: other.htm"});
    }
    return HttpReply(200, "other");
  });
  const std::string address = "http://127.0.0.1:" + std::to_string(proxy.Port());
  setenv("http_proxy", address.c_str(), 1);
  GetSession();  // reads the proxy now
  unsetenv("http_proxy");

  std::string page;
  FetchDetails details;
  EXPECT_EQ(Fetch(Get(80, "/dir/page", "engine.invalid"), page, &details), kFetchOk);
  EXPECT_EQ(page, "other");
  EXPECT_EQ(details.redirects, std::vector<std::string>{"http://engine.invalid/other.htm"});
  ASSERT_EQ(proxy.RequestCount(), 2u);
  EXPECT_EQ(proxy.Requests()[1].requestLine, "GET http://engine.invalid:80/other.htm HTTP/1.1");
  EXPECT_EQ(proxy.Requests()[1].Header("Host"), "engine.invalid");
}

TEST_F(PageFetcherTest, FiveRedirectsAreFollowedAndASixthIsNot) {
  // /N/k redirects to /N/k+1 until k reaches N, which answers with a page.
  WireServer server([](const WireRequest& request, size_t) {
    const std::string object = request.requestLine.substr(4, request.requestLine.rfind(' ') - 4);
    const int chain = object[1] - '0';
    const int step = std::stoi(object.substr(3));
    if (step < chain) {
      return HttpReply(302, "",
                       {"Location: /" + std::to_string(chain) + "/" + std::to_string(step + 1)});
    }
    return HttpReply(200, "end of " + object);
  });

  std::string page;
  FetchDetails details;
  EXPECT_EQ(Fetch(Get(server.Port(), "/5/0"), page, &details), kFetchOk);
  EXPECT_EQ(page, "end of /5/5");
  EXPECT_EQ(details.redirects.size(), 5u);
  EXPECT_EQ(server.RequestCount(), 6u);

  EXPECT_EQ(Fetch(Get(server.Port(), "/6/0"), page, &details), kFetchFailed);
  EXPECT_EQ(page, "");
  EXPECT_EQ(details.redirects.size(), 5u);
  EXPECT_EQ(details.finalStatus, 302);
  EXPECT_EQ(server.RequestCount(), 12u) << "the sixth redirect must not be followed";
  EXPECT_EQ(m_pages, 2);
}

TEST_F(PageFetcherTest, RedirectsThatCannotBeFollowedFail) {
  const std::string longTarget = "/" + std::string(10000, 'x');
  WireServer server([&](const WireRequest& request, size_t) {
    const std::string& line = request.requestLine;
    if (line.starts_with("GET /no-location ")) {
      return HttpReply(302, "", {"Content-Location: /not-a-redirect-target"});
    }
    if (line.starts_with("GET /to-404 ")) {
      return HttpReply(301, "", {"Location: /missing"});
    }
    if (line.starts_with("GET /missing ")) {
      return HttpReply(404, "not here");
    }
    if (line.starts_with("GET /to-https ")) {
      return HttpReply(302, "", {"Location: https://127.0.0.1/secure"});
    }
    if (line.starts_with("GET /too-long ")) {
      return HttpReply(302, "", {"Location: " + longTarget});
    }
    if (line.starts_with("GET /control ")) {
      return HttpReply(302, "", {"Location: /a\x01 b\x7f"});
    }
    return HttpReply(200, "fine");
  });

  std::string page;
  EXPECT_EQ(Fetch(Get(server.Port(), "/no-location"), page), kFetchFailed);
  // After a redirect only 200 counts, even when the error page has a body.
  EXPECT_EQ(Fetch(Get(server.Port(), "/to-404"), page), kFetchFailed);
  EXPECT_EQ(page, "");
  EXPECT_EQ(Fetch(Get(server.Port(), "/to-https"), page), kFetchFailed);
  EXPECT_EQ(Fetch(Get(server.Port(), "/too-long"), page), kFetchFailed);
  EXPECT_EQ(server.RequestCount(), 5u) << "only /missing was fetched after a redirect";

  // Control characters of a target never reach the request line raw.
  EXPECT_EQ(Fetch(Get(server.Port(), "/control"), page), kFetchOk);
  ASSERT_EQ(server.RequestCount(), 7u);
  EXPECT_EQ(server.Requests()[6].requestLine, "GET /a%01%20b%7F HTTP/1.1");
}

TEST_F(PageFetcherTest, EveryRedirectCodeIsFollowedAndOnly307And308KeepTheForm) {
  // /N/rest redirects with code N to /rest; anything else is a page naming its method.
  WireServer server([](const WireRequest& request, size_t) {
    const std::string& line = request.requestLine;
    const size_t space = line.find(' ');
    const std::string object = line.substr(space + 1, line.rfind(' ') - space - 1);
    if (object.size() > 5 && object[0] == '/' && object[4] == '/') {
      // Names in another case than usual, as proxies send them.
      const char* name = object[3] == '1' ? "location: " : "LOCATION:  ";
      return HttpReply(std::stoi(object.substr(1, 3)), "", {name + object.substr(4)});
    }
    return HttpReply(200, line.substr(0, space) + " " + object);
  });
  struct Case {
    int verb;  // 0 POST, 1 GET
    const char* object;
    const char* page;
  } cases[] = {
      {1, "/301/a", "GET /a"},
      {1, "/302/b", "GET /b"},
      {1, "/303/c", "GET /c"},
      {1, "/307/d", "GET /d"},
      {1, "/308/e", "GET /e"},
      {0, "/301/f", "GET /f"},
      {0, "/302/g", "GET /g"},
      {0, "/303/h", "GET /h"},
      {0, "/307/i", "POST /i"},
      {0, "/308/j", "POST /j"},
      {0, "/307/308/k", "POST /k"},
      // Once a redirect has turned the form into a GET, a 307 after it keeps the GET.
      {0, "/302/307/l", "GET /l"},
  };
  size_t sent = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.object);
    RequestSpec request = Get(server.Port(), c.object);
    request.verb = c.verb;
    request.extra = "q=whale";
    std::string page;
    EXPECT_EQ(Fetch(request, page), kFetchOk);
    EXPECT_EQ(page, c.page);
    const std::vector<WireRequest> requests = server.Requests();
    ASSERT_GT(requests.size(), sent + 1);
    for (size_t i = sent + 1; i < requests.size(); ++i) {
      const WireRequest& hop = requests[i];
      if (hop.requestLine.starts_with("POST ")) {
        // The form goes along as it was first sent, with its type.
        EXPECT_EQ(hop.body, "q=whale\r\n");
        EXPECT_EQ(hop.Header("Content-Type"), "application/x-www-form-urlencoded");
      } else {
        EXPECT_EQ(hop.body, "");
        EXPECT_EQ(hop.Header("Content-Length"), "");
      }
    }
    sent = requests.size();
  }
}

TEST_F(PageFetcherTest, AnyPageWithoutRedirectIsReadAndBrokenAnswersFail) {
  WireServer server([](const WireRequest& request, size_t) {
    const std::string& line = request.requestLine;
    WireReply reply;
    reply.close = true;
    if (line.starts_with("GET /404 ")) {
      return HttpReply(404, "<h1>Not Found</h1>");
    } else if (line.starts_with("GET /nul ")) {
      return HttpReply(200, std::string("before\0after", 12));
    } else if (line.starts_with("GET /not-http ")) {
      reply.bytes = "HELLO THERE\r\n\r\nbody";
    } else if (line.starts_with("GET /huge-header ")) {
      reply.bytes = "HTTP/1.1 200 OK\r\nX-Big: " + std::string(100 * 1024, 'b') +
                    "\r\nContent-Length: 2\r\n\r\nok";
    } else if (line.starts_with("GET /bad-chunk ")) {
      reply.bytes =
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\nzz\r\nmore\r\n";
    } else if (line.starts_with("GET /cut ")) {
      reply.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly the start";
    } else {
      reply.bytes = "";  // closes without a word
    }
    return reply;
  });

  std::string page;
  FetchDetails details;
  EXPECT_EQ(Fetch(Get(server.Port(), "/404"), page, &details), kFetchOk);
  EXPECT_EQ(page, "<h1>Not Found</h1>");
  EXPECT_EQ(details.finalStatus, 404);
  EXPECT_EQ(Fetch(Get(server.Port(), "/nul"), page), kFetchOk);
  EXPECT_EQ(page, "before");

  EXPECT_EQ(Fetch(Get(server.Port(), "/not-http"), page), kFetchFailed);
  EXPECT_EQ(Fetch(Get(server.Port(), "/huge-header"), page), kFetchFailed);
  EXPECT_EQ(Fetch(Get(server.Port(), "/bad-chunk"), page), kFetchFailed);
  EXPECT_EQ(page, "first") << "what arrived before the fault stays";
  EXPECT_EQ(Fetch(Get(server.Port(), "/cut"), page), kFetchFailed);
  EXPECT_EQ(page, "only the start");
  EXPECT_EQ(Fetch(Get(server.Port(), "/silent"), page), kFetchFailed);
  EXPECT_EQ(m_pages, 7);
}

TEST_F(PageFetcherTest, LongPagesAreCutAfterThePieceThatCrossesTheCap) {
  std::string big(2 * 1024 * 1024, 'x');
  for (size_t i = 0; i < big.size(); i += 1000) {
    big[i] = '\n';
  }
  WireServer server([&](const WireRequest&, size_t) { return HttpReply(200, big); });

  std::string page;
  EXPECT_EQ(Fetch(Get(server.Port(), "/big"), page), kFetchOk);
  EXPECT_GE(page.size(), kPageCap);
  EXPECT_LT(page.size(), kPageCap + kPagePieceSize);
  EXPECT_EQ(page, big.substr(0, page.size()));

  // The connection was given up at the cap; the next fetch still works.
  EXPECT_EQ(Fetch(Get(server.Port(), "/again"), page), kFetchOk);
  EXPECT_GE(page.size(), kPageCap);
}

TEST_F(PageFetcherTest, PasswordPromptCancelledOrRetried) {
  WireServer server([](const WireRequest& request, size_t) {
    if (request.Header("Authorization") == "Basic dXNlcjpzZWNyZXQ=") {
      return HttpReply(200, "members only");
    }
    return HttpReply(401, "who are you", {"WWW-Authenticate: Basic realm=\"r\""});
  });

  // No prompt installed: the user cancels.
  std::string page;
  EXPECT_EQ(Fetch(Get(server.Port(), "/private"), page), kFetchAuthRefused);
  EXPECT_EQ(page, "");
  EXPECT_EQ(server.RequestCount(), 1u);

  int prompts = 0;
  GetSession().SetCredentialsPrompt([&](const std::string& host, HttpCredentials& credentials) {
    ++prompts;
    EXPECT_EQ(host, "127.0.0.1");
    credentials = {"user", "secret"};
    return true;
  });
  EXPECT_EQ(Fetch(Get(server.Port(), "/private"), page), kFetchOk);
  EXPECT_EQ(page, "members only");
  EXPECT_EQ(prompts, 1);
  const std::vector<WireRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  // The resend carries the same header lines once each, and the credentials.
  EXPECT_EQ(requests[2].headerLines,
            Concat({HostLine(server), "Authorization: Basic dXNlcjpzZWNyZXQ="}, kBrowserHeaders));
}

TEST_F(PageFetcherTest, ServerThatNeverAnswersTimesOut) {
  WireServer server([](const WireRequest&, size_t) {
    WireReply reply;
    reply.hang = true;
    return reply;
  });
  GetSession().SetTimeouts(std::chrono::seconds(5), std::chrono::milliseconds(300));
  std::string page;
  EXPECT_EQ(Fetch(Get(server.Port(), "/slow"), page), kFetchFailed);
  EXPECT_EQ(m_pages, 1);
}

// A server that starts its answer and then trickles nothing more is never idle long enough for
// the connection's own time-out; the engine's time limit ends the page.
TEST_F(PageFetcherTest, APageThatDoesNotArriveWithinTheEngineTimeoutFails) {
  WireServer server([](const WireRequest&, size_t) {
    WireReply reply;
    reply.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<html>the start";
    reply.hang = true;
    return reply;
  });
  GetSession().SetTimeouts(std::chrono::seconds(30), std::chrono::seconds(30));
  m_app->settings().EngineTimeout = 1;
  std::string page;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Fetch(Get(server.Port(), "/trickle"), page), kFetchFailed);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(1));
  EXPECT_LT(waited, std::chrono::seconds(25));  // well before the connection's own 30 s
  EXPECT_EQ(m_pages, 1);
}

TEST_F(PageFetcherTest, ReportsEveryFetchAndAStopRequestLetsThePageFinish) {
  Gate gate;
  WireServer server([&](const WireRequest&, size_t) {
    gate.Wait();
    return HttpReply(200, "page");
  });
  StdEventLoop loop;
  ReportWindow window;
  const WindowHandle handle{&loop, loop.Register(&window)};
  ReportingJob job;
  job.Attach(handle);

  std::string page;
  std::atomic<int> code{-1};
  RequestSpec request = Get(server.Port(), "/page");
  std::thread fetcher([&] { code = FetchPage(&job, request, page, m_pages); });
  ASSERT_TRUE(server.WaitForRequests(1));
  job.RequestStop();
  gate.Open();
  fetcher.join();
  EXPECT_EQ(code, kFetchOk);
  EXPECT_EQ(page, "page");
  EXPECT_EQ(job.State(), kStateReadPage);

  // A failed fetch reports progress too, but never that it connected.
  WireServer closed([](const WireRequest&, size_t) { return WireReply{"", true, false}; });
  RequestSpec failing = Get(closed.Port(), "/gone");
  EXPECT_EQ(FetchPage(&job, failing, page, m_pages), kFetchFailed);
  EXPECT_EQ(m_pages, 2);

  loop.ProcessPending();
  EXPECT_EQ(window.reports, (std::vector<Report>{{kMsgJobConnected, 0, job.JobId()},
                                                 {kMsgSearchProgress, 1, job.JobId()},
                                                 {kMsgSearchProgress, 2, job.JobId()}}));
  loop.Unregister(handle.target);
}

// What the worker's entry routine fetches; entry routines get nothing but the worker.
struct WorkerFetch {
  RequestSpec request;
  std::string page;
  int pages = 0;
  std::atomic<bool> returned{false};
};
WorkerFetch* g_workerFetch = nullptr;

void FetchOnWorker(CWorkerThread&) {
  FetchPage(nullptr, g_workerFetch->request, g_workerFetch->page, g_workerFetch->pages);
  g_workerFetch->returned = true;
}

TEST_F(PageFetcherTest, TerminatingTheWorkerEndsItsFetchAtOnce) {
  WireServer server([](const WireRequest&, size_t) {
    WireReply reply;
    reply.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nthe start";
    reply.hang = true;
    return reply;
  });
  // Without the abort the fetch would wait for the rest of the body far beyond the test's
  // deadline below.
  GetSession().SetTimeouts(std::chrono::minutes(10), std::chrono::minutes(10));
  WorkerFetch fetch;
  fetch.request = Get(server.Port(), "/endless");
  g_workerFetch = &fetch;

  CWorkerThread worker;
  worker.SetEntryRoutine(&FetchOnWorker);
  worker.Create(0);
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_TRUE(worker.Terminate(0));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!worker.HasEnded() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(worker.HasEnded());
  worker.Join();
  EXPECT_FALSE(fetch.returned) << "a terminated worker unwinds instead of going on";
  g_workerFetch = nullptr;
}

// Pages over TLS from a server whose certificate a throw-away authority signed; the fetcher
// trusts that authority through TULIX_CA_FILE, which is read when the session is made.
class SecurePageFetcherTest : public PageFetcherTest {
 protected:
  void SetUp() override {
    PageFetcherTest::SetUp();
    m_caFile.emplace("TULIX_CA_FILE", test::TestCertificates::Shared().CaFile().c_str());
  }
  void TearDown() override {
    PageFetcherTest::TearDown();
    m_caFile.reset();
  }

  static RequestSpec SecureGet(uint16_t port, std::string object,
                               std::string host = "127.0.0.1") {
    RequestSpec request = Get(port, std::move(object), std::move(host));
    request.secure = true;
    return request;
  }

  std::optional<test::ScopedEnvironmentValue> m_caFile;
};

TEST_F(SecurePageFetcherTest, PagesComeOverHttpsAndRedirectsCrossBetweenSchemes) {
  test::LoopbackServer plain;
  test::TlsLoopbackServer secure(test::TestCertificates::Shared().Good());
  // A kept-alive connection would hold each server's stop up until its read time-out.
  plain->set_keep_alive_max_count(1);
  secure->set_keep_alive_max_count(1);
  secure->Get("/page", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("secure page", "text/html");
  });
  // A relative target keeps the scheme of the request that was redirected.
  secure->Get("/relative", [](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", "/page");
  });
  secure->Get("/to-plain", [&](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(plain.Address("/plain"), 302);
  });
  plain->Get("/plain", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("plain page", "text/html");
  });
  plain->Get("/to-secure", [&](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(secure.AddressByName("/page"), 301);
  });
  plain.Start();
  secure.Start();

  std::string page;
  FetchDetails details;
  EXPECT_EQ(Fetch(SecureGet(secure.Port(), "/page"), page), kFetchOk);
  EXPECT_EQ(page, "secure page");
  EXPECT_EQ(Fetch(SecureGet(secure.Port(), "/page", "localhost"), page), kFetchOk);
  EXPECT_EQ(page, "secure page");

  EXPECT_EQ(Fetch(SecureGet(secure.Port(), "/relative"), page, &details), kFetchOk);
  EXPECT_EQ(page, "secure page");
  EXPECT_EQ(details.redirects, std::vector<std::string>{secure.Address("/page")});

  EXPECT_EQ(Fetch(SecureGet(secure.Port(), "/to-plain"), page, &details), kFetchOk);
  EXPECT_EQ(page, "plain page");
  EXPECT_EQ(details.redirects, std::vector<std::string>{plain.Address("/plain")});

  EXPECT_EQ(Fetch(Get(plain.Port(), "/to-secure"), page, &details), kFetchOk);
  EXPECT_EQ(page, "secure page");
  EXPECT_EQ(details.redirects, std::vector<std::string>{secure.AddressByName("/page")});

  // With https off the program keeps to http: a redirect to https is one it cannot follow.
  m_app->settings().SecureWeb = 0;
  EXPECT_EQ(Fetch(Get(plain.Port(), "/to-secure"), page), kFetchFailed);
  EXPECT_EQ(page, "");
}

TEST_F(SecurePageFetcherTest, RefusedCertificatesFailWithTheReasonAndNoPage) {
  const test::TestCertificates& certificates = test::TestCertificates::Shared();
  struct Case {
    const test::CertificateFiles* files;
    uint32_t error;
    const char* reason;
  };
  const Case cases[] = {
      {&certificates.WrongName(), kErrorInternetSecCertCnInvalid,
       "no alternative certificate subject name matches target host name '127.0.0.1'"},
      {&certificates.Expired(), kErrorInternetSecCertDateInvalid, "certificate has expired"},
      {&certificates.SelfSigned(), kErrorInternetInvalidCa, "self-signed certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    test::TlsLoopbackServer server(*c.files);
    std::atomic<bool> asked{false};
    server->Get("/page", [&](const httplib::Request&, httplib::Response& response) {
      asked = true;
      response.set_content("must not be read", "text/html");
    });
    server.Start();

    std::string page = "old";
    testing::internal::CaptureStderr();
    EXPECT_EQ(Fetch(SecureGet(server.Port(), "/page"), page), kFetchFailed);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(page, "");
    EXPECT_FALSE(asked);
    EXPECT_EQ(log, std::string("Warning: Cannot make a secure connection to 127.0.0.1 (") +
                       (c.error == kErrorInternetSecCertCnInvalid ? "SSL: " : "SSL certificate problem: ") +
                       c.reason + "); the page is given up\n");

    // The layer names the fault itself too.
    std::unique_ptr<HttpRequest> request =
        GetSession().OpenRequest("GET", "127.0.0.1", server.Port(), "/page", "", kHttpFlagSecure);
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(request->Send());
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_TRUE(IsSecureConnectionError(GetLastError()));
    EXPECT_NE(request->FailureText().find(c.reason), std::string::npos) << request->FailureText();
  }
}

// The authorities of TULIX_CA_FILE are trusted only while it names them: without it the test
// authority is unknown and its server is refused like any other.
TEST_F(SecurePageFetcherTest, WithoutTheCaFileTheTestAuthorityIsNotTrusted) {
  m_caFile.emplace("TULIX_CA_FILE", nullptr);
  test::TlsLoopbackServer server(test::TestCertificates::Shared().Good());
  server->Get("/page", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("secure page", "text/html");
  });
  server.Start();
  std::string page;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Fetch(SecureGet(server.Port(), "/page"), page), kFetchFailed);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: Cannot make a secure connection to 127.0.0.1 (SSL certificate problem: "
            "unable to get local issuer certificate); the page is given up\n");
}

}  // namespace
}  // namespace tulix
