// Network faults a search meets in the wild: connections reset part way through an answer,
// servers that trickle or flood, redirect loops, TLS handshakes that stop half way. Each faulty
// engine must be given up within its time limits, with bounded memory, while the results of the
// good engine beside it are kept and stored.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/application.h"
#include "definitions/category.h"
#include "definitions/tree_scan.h"
#include "engine/page_fetcher.h"
#include "jobs/job_test_support.h"
#include "platform/http.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "results/result_filter.h"
#include "results/saved_search.h"
#include "test_support.h"
#include "wire_server.h"

namespace tulix {
namespace {

using SteadyClock = std::chrono::steady_clock;
using test::HttpReply;
using test::WireReply;
using test::WireRequest;
using test::WireServer;

// A flood offers 1 GB. A client that stops reading in time takes the page cap, and the sockets
// of both ends buffer a few megabytes more; a server that got 64 MB out was still being read.
constexpr size_t kFloodSize = size_t{1} << 30;
constexpr size_t kMostAFloodMaySend = 64u << 20;

// One page of five results, each address naming `tag`.
std::string ResultPage(const std::string& tag) {
  std::string page = "<html><body><ul>";
  for (int i = 1; i <= 5; ++i) {
    const std::string n = std::to_string(i);
    page += "<li><a href=http://r.test/" + tag + n + ">Blue whale " + n + "</a></li>";
  }
  return page + "</ul></body></html>";
}

// The path of a request line, without its query: "GET /cut/7?q=x HTTP/1.1" gives "/cut/7".
std::string PathOf(const WireRequest& request) {
  const std::string& line = request.requestLine;
  const size_t start = line.find(' ') + 1;
  const size_t end = line.find_first_of("? ", start);
  return line.substr(start, end - start);
}

// The first `length` bytes of `answer`, then the connection ends, with a reset or a FIN.
WireReply CutAnswer(const std::string& answer, size_t length, bool reset) {
  WireReply reply;
  reply.bytes = answer.substr(0, length);
  reply.reset = reset;
  reply.close = !reset;
  return reply;
}

// Promises a 1 GB page and sends it in pieces until the client goes; counts what went out.
WireReply BodyFlood(std::shared_ptr<std::atomic<size_t>> sent) {
  WireReply reply;
  reply.bytes = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kFloodSize) + "\r\n\r\n";
  reply.more = [sent] {
    if (sent->load() >= kFloodSize) {
      return std::string();
    }
    sent->fetch_add(64 * 1024);
    return std::string(64 * 1024, 'x');
  };
  return reply;
}

// `head`, then `line` over and over without end; counts what went out.
WireReply EndlessLines(std::shared_ptr<std::atomic<size_t>> sent, std::string head,
                       const std::string& line) {
  WireReply reply;
  reply.bytes = std::move(head);
  std::string lines;
  while (lines.size() < 64 * 1024) {
    lines += line;
  }
  reply.more = [sent, lines] {
    return sent->fetch_add(lines.size()) > kFloodSize ? std::string() : lines;
  };
  return reply;
}

// A status line and then header lines without end.
WireReply HeaderFlood(std::shared_ptr<std::atomic<size_t>> sent) {
  return EndlessLines(std::move(sent), "HTTP/1.1 200 OK\r\n",
                      "X-Flood: " + std::string(1000, 'h') + "\r\n");
}

// Listens on 127.0.0.1 for TLS clients, reads each one's first handshake message, answers with
// `reply` (part of a server's answer, or nothing) and then neither says more nor closes until
// the server goes.
class StalledHandshakeServer {
 public:
  explicit StalledHandshakeServer(std::string reply) : m_reply(std::move(reply)) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listenFd < 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 16) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("stalled handshake server: cannot listen");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { AcceptLoop(); });
  }
  ~StalledHandshakeServer() {
    ::shutdown(m_listenFd, SHUT_RDWR);
    m_thread.join();
    ::close(m_listenFd);
    for (int fd : m_connections) {
      ::close(fd);
    }
  }
  StalledHandshakeServer(const StalledHandshakeServer&) = delete;
  StalledHandshakeServer& operator=(const StalledHandshakeServer&) = delete;

  uint16_t Port() const { return m_port; }
  // How many clients opened with a TLS handshake record (content type 22).
  int Handshakes() const { return m_handshakes.load(); }

 private:
  void AcceptLoop() {
    for (;;) {
      const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        return;  // the listening socket was shut down
      }
      m_connections.push_back(fd);  // this thread's alone until it is joined
      // A client sends its hello at once; a generous limit keeps a silent one from blocking us.
      const timeval limit{5, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      unsigned char hello[4096];
      if (::recv(fd, hello, sizeof hello, 0) > 0 && hello[0] == 22) {
        m_handshakes.fetch_add(1);
      }
      if (!m_reply.empty()) {
        ::send(fd, m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
      }
    }
  }

  const std::string m_reply;
  int m_listenFd = -1;
  uint16_t m_port = 0;
  std::thread m_thread;
  std::vector<int> m_connections;
  std::atomic<int> m_handshakes{0};
};

// The start of a server's hello: a handshake record that announces 122 bytes, of which only the
// message header and the version arrive.
const std::string kHalfServerHello("\x16\x03\x03\x00\x7a\x02\x00\x00\x76\x03\x03", 11);

// ---- the fetcher on its own ----

class NetworkFaultFetchTest : public test::LoopbackApplicationTest {
 protected:
  int Fetch(uint16_t port, const std::string& object, std::string& page, bool secure = false) {
    RequestSpec request;
    request.verb = 1;
    request.host = "127.0.0.1";
    request.port = port;
    request.object = object;
    request.secure = secure;
    return FetchPage(nullptr, request, page, m_pages);
  }

  int m_pages = 0;
};

TEST_F(NetworkFaultFetchTest, AnAnswerCutAtAnyByteFailsAndNeverPassesForAPage) {
  const std::string body = ResultPage("cut");
  const std::string answer =
      HttpReply(200, body, {"Content-Type: text/html", "Cache-Control: no-cache"}).bytes;
  const size_t headLength = answer.find("\r\n\r\n") + 4;
  WireServer server([&](const WireRequest& request, size_t) {
    const std::string path = PathOf(request);
    const bool reset = path.starts_with("/reset/");
    return CutAnswer(answer, std::stoul(path.substr(path.rfind('/') + 1)), reset);
  });

  // Every offset of the head and of the body, ended by a reset and by an orderly close.
  std::vector<std::string> taken;
  std::vector<std::string> tooLong;
  for (const char* mode : {"reset", "close"}) {
    for (size_t length = 0; length < answer.size(); ++length) {
      const std::string cut = std::string(mode) + " after " + std::to_string(length);
      std::string page;
      if (Fetch(server.Port(), "/" + std::string(mode) + "/" + std::to_string(length), page) !=
          kFetchFailed) {
        taken.push_back(cut);
      }
      // Whatever arrived of the body may stay in the page; nothing else may.
      const size_t arrived = length > headLength ? length - headLength : 0;
      if (page.size() > arrived || page != body.substr(0, page.size())) {
        tooLong.push_back(cut);
      }
    }
  }
  EXPECT_TRUE(taken.empty()) << "taken as a page: " << ::testing::PrintToString(taken);
  EXPECT_TRUE(tooLong.empty()) << "more than arrived: " << ::testing::PrintToString(tooLong);
  EXPECT_EQ(m_pages, 2 * static_cast<int>(answer.size()));  // every failure was reported

  // The whole answer is a page: the cuts above failed for being cut, not for being wrong.
  std::string page;
  EXPECT_EQ(Fetch(server.Port(), "/close/" + std::to_string(answer.size()), page), kFetchOk);
  EXPECT_EQ(page, body);
}

TEST_F(NetworkFaultFetchTest, FloodsAreCutAtThePageCapOrRefused) {
  m_app->settings().EngineTimeout = 5;
  auto bodySent = std::make_shared<std::atomic<size_t>>(0);
  auto headerSent = std::make_shared<std::atomic<size_t>>(0);
  auto interimSent = std::make_shared<std::atomic<size_t>>(0);
  WireServer server([&](const WireRequest& request, size_t) {
    const std::string path = PathOf(request);
    if (path == "/body") {
      return BodyFlood(bodySent);
    }
    if (path == "/interim") {
      return EndlessLines(interimSent, "", "HTTP/1.1 100 Continue\r\n\r\n");
    }
    return HeaderFlood(headerSent);
  });

  std::string page;
  EXPECT_EQ(Fetch(server.Port(), "/body", page), kFetchOk);
  EXPECT_GE(page.size(), kPageCap);
  EXPECT_LT(page.size(), kPageCap + kPagePieceSize);
  EXPECT_EQ(page.find_first_not_of('x'), std::string::npos);

  // Header lines are kept while they arrive, so they must be refused long before the time limit
  // would end them; so must interim answers that never lead to the real one.
  EXPECT_EQ(Fetch(server.Port(), "/headers", page), kFetchFailed);
  EXPECT_EQ(page, "");
  EXPECT_EQ(Fetch(server.Port(), "/interim", page), kFetchFailed);

  // Each server is left with nowhere to write soon after the client stops reading; what it sent
  // before that is what the client could have held.
  EXPECT_LT(bodySent->load(), kMostAFloodMaySend);
  EXPECT_LT(headerSent->load(), kMostAFloodMaySend);
  EXPECT_LT(interimSent->load(), kMostAFloodMaySend);
  EXPECT_EQ(m_pages, 3);
}

TEST_F(NetworkFaultFetchTest, AStalledTlsHandshakeEndsAtTheConnectTimeoutWithoutAnEngineLimit) {
  m_app->settings().EngineTimeout = 0;
  GetSession().SetTimeouts(std::chrono::milliseconds(500), std::chrono::seconds(30));
  StalledHandshakeServer silent("");
  StalledHandshakeServer half(kHalfServerHello);
  for (const StalledHandshakeServer* server : {&silent, &half}) {
    std::string page;
    const auto start = SteadyClock::now();
    EXPECT_EQ(Fetch(server->Port(), "/", page, true), kFetchFailed);
    // The connect time-out ends it, not the 30 s without data nor anything longer.
    EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(server->Handshakes(), 1);
  }
}

// ---- whole searches: one good engine beside faulty ones ----

// Counts what the search tells its view.
class CompletionRecorder : public SearchViewHooks {
 public:
  void SearchSubmitted(SavedSearch&, SubmitOutcome) override {}
  void SearchCompleted(SavedSearch&, bool stored) override {
    ++completed;
    lastStored = stored;
  }
  void SearchFileDeleted(SavedSearch&) override {}
  bool EditSearchProperties(SearchSettings&) override { return false; }
  int completed = 0;
  bool lastStored = false;
};

class NetworkFaultSearchTest : public test::JobSystemTest {
 protected:
  void SetUp() override {
    JobSystemTest::SetUp();
    m_app->resultFilter = std::make_shared<ResultFilter>(*m_app);
    m_app->searchView = m_view;
    m_app->settings().UpdatePolicy = 1;
    m_app->settings().EngineTimeout = 1;
    MakeFolders(GetSearchesFolder());
    MakeFolders(GetCategoriesFolder());
    m_app->searchTree = ScanSavedSearches();
    StartSystem(6);
    WriteEngine("good", m_good.Port(), "/good");
  }
  void TearDown() override {
    StopJobSystem(*m_app);
    m_app->searchView.reset();
    m_app->searchTree.reset();
    m_app->categoryTree.reset();
    m_oldTrees.clear();
    ClearProfileCache();
    JobSystemTest::TearDown();
  }

  // An engine of the web category asking 127.0.0.1:`port` for `object` (with the query).
  void WriteEngine(const std::string& name, uint16_t port, const std::string& object,
                   const std::string& mainKeys = "") {
    const std::string folder = ToFileSystemPath(JoinPath(GetCategoriesFolder(), "web"));
    std::filesystem::create_directories(folder);
    test::WriteFileBytes(folder + "/" + name + ".ini",
                         "[main]\nname=" + name + "\nhost=127.0.0.1\nport=" + std::to_string(port) +
                             "\nobject=" + object + "?q=%Q\n" + mainKeys +
                             "[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
                             "[RESULT]\n1=TAG|START|/li|SENDRESULT|\n");
    ++m_engines;
  }

  // Runs a search over every engine written; true when it completed within the loop's deadline,
  // which is far beyond every time limit set here.
  bool RunSearch() {
    // Jobs of an earlier search may still hold engines of the tree they were made from.
    if (m_app->categoryTree) {
      m_oldTrees.push_back(std::move(m_app->categoryTree));
    }
    m_app->categoryTree = ScanCategoryTree();
    for (TreeNode* node : Tree::Collect(m_app->categoryTree->root(), true, true)) {
      if (auto* category = dynamic_cast<CategoryNode*>(node)) {
        category->checkedThisRun = 1;
      }
    }
    SearchSettings settings;
    settings.name = "blue whale";
    settings.category = "web";
    settings.engineCount = m_engines;
    m_search = SavedSearch::CreateSearch(settings);
    if (m_search == nullptr || m_search->Submit(true) != SubmitOutcome::kStarted) {
      return false;
    }
    const auto start = SteadyClock::now();
    FirstTick();
    while (SteadyClock::now() - start < std::chrono::seconds(30)) {
      Tick();
      if (m_loop.RunUntil([&] { return m_view->completed == 1; }, std::chrono::milliseconds(20))) {
        m_took = SteadyClock::now() - start;
        return true;
      }
    }
    return false;
  }

  // The good engine's five results were found, stored, and read back from the search's file;
  // every other engine failed.
  void ExpectOnlyTheGoodResultsStored() {
    EXPECT_EQ(m_search->EnginesFinished(), m_engines);
    EXPECT_EQ(m_search->EnginesFailed(), m_engines - 1);
    EXPECT_EQ(m_search->Found(), 5);
    EXPECT_TRUE(m_view->lastStored);
    SavedSearch reread;
    reread.SetFilePath(m_search->FilePath());
    reread.LoadSettings();
    reread.LoadResults();
    EXPECT_EQ(reread.settings.found, 5);
    std::lock_guard lock(m_app->resultsLock);
    ASSERT_EQ(reread.current().size(), 5u);
    for (const auto& result : reread.current()) {
      EXPECT_TRUE(result->href.starts_with("http://r.test/good")) << result->href;
    }
  }

  // Each engine's page has a time limit of EngineTimeout seconds, and they run side by side.
  void ExpectEndedWithinTheTimeLimits() {
    EXPECT_LT(m_took, std::chrono::seconds(m_app->settings().EngineTimeout + 10));
  }

  test::ScopedNoProxy m_noProxy;
  WireServer m_good{[](const WireRequest&, size_t) { return HttpReply(200, ResultPage("good")); }};
  std::shared_ptr<CompletionRecorder> m_view = std::make_shared<CompletionRecorder>();
  std::vector<std::shared_ptr<Tree>> m_oldTrees;
  int m_engines = 0;
  SavedSearch* m_search = nullptr;
  SteadyClock::duration m_took{};
};

TEST_F(NetworkFaultSearchTest, AnswersCutPartWayLoseOnlyTheirEngines) {
  const std::string answer = HttpReply(200, ResultPage("cut"), {"Content-Type: text/html"}).bytes;
  const size_t headLength = answer.find("\r\n\r\n") + 4;
  WireServer faulty([&](const WireRequest& request, size_t) {
    const std::string path = PathOf(request);
    return CutAnswer(answer, std::stoul(path.substr(path.rfind('/') + 1)),
                     path.starts_with("/reset/"));
  });
  // Resets before a byte, inside the status line, one short of the head's end, and inside the
  // body just after the first result; an orderly close after the first header line.
  const size_t firstResultEnd = answer.find("</li>") + 5;
  for (size_t length : {size_t{0}, size_t{9}, headLength - 1, firstResultEnd}) {
    WriteEngine("reset" + std::to_string(length), faulty.Port(),
                "/reset/" + std::to_string(length));
  }
  WriteEngine("close", faulty.Port(), "/close/" + std::to_string(answer.find("\r\n", 17) + 2));
  ASSERT_TRUE(RunSearch());
  ExpectOnlyTheGoodResultsStored();
  ExpectEndedWithinTheTimeLimits();
  EXPECT_EQ(faulty.RequestCount(), 5u);
}

TEST_F(NetworkFaultSearchTest, ATrickledAnswerIsGivenUpAtTheEngineTimeLimit) {
  const std::string answer = HttpReply(200, ResultPage("slow")).bytes;
  auto sent = std::make_shared<std::atomic<size_t>>(0);
  WireServer trickle([&](const WireRequest&, size_t) {
    WireReply reply;
    reply.pace = std::chrono::seconds(1);
    reply.more = [&answer, sent]() -> std::string {
      const size_t at = sent->fetch_add(1);
      return at < answer.size() ? answer.substr(at, 1) : std::string();
    };
    return reply;
  });
  WriteEngine("trickle", trickle.Port(), "/slow");
  ASSERT_TRUE(RunSearch());
  ExpectOnlyTheGoodResultsStored();
  ExpectEndedWithinTheTimeLimits();
  // The whole answer would have taken minutes.
  EXPECT_LT(sent->load(), answer.size() / 4);
}

TEST_F(NetworkFaultSearchTest, FloodsEndAtThePageCapOrFailWithoutTakingTheSearchDown) {
  auto bodySent = std::make_shared<std::atomic<size_t>>(0);
  auto headerSent = std::make_shared<std::atomic<size_t>>(0);
  WireServer flood([&](const WireRequest& request, size_t) {
    return PathOf(request) == "/body" ? BodyFlood(bodySent) : HeaderFlood(headerSent);
  });
  WriteEngine("headerflood", flood.Port(), "/headers");
  ASSERT_TRUE(RunSearch());
  ExpectOnlyTheGoodResultsStored();
  ExpectEndedWithinTheTimeLimits();
  EXPECT_LT(headerSent->load(), kMostAFloodMaySend);

  // A capped page is a page: its engine did not fail, it only found nothing.
  WriteEngine("bodyflood", flood.Port(), "/body");
  m_view->completed = 0;
  ASSERT_TRUE(RunSearch());
  EXPECT_EQ(m_search->EnginesFinished(), 3);
  EXPECT_EQ(m_search->EnginesFailed(), 1);
  EXPECT_EQ(m_search->Found(), 5);
  ExpectEndedWithinTheTimeLimits();
  EXPECT_LT(bodySent->load(), kMostAFloodMaySend);
}

TEST_F(NetworkFaultSearchTest, RedirectLoopsEndAtTheRedirectLimitAsFailures) {
  WireServer loops([](const WireRequest& request, size_t) {
    const std::string path = PathOf(request);
    const std::string target = path == "/a" ? "/b" : path == "/b" ? "/a" : "/self?q=again";
    return HttpReply(302, "", {"Location: " + target});
  });
  WriteEngine("pingpong", loops.Port(), "/a");
  WriteEngine("self", loops.Port(), "/self");
  ASSERT_TRUE(RunSearch());
  ExpectOnlyTheGoodResultsStored();
  ExpectEndedWithinTheTimeLimits();
  // Each engine: its own request and the redirects it may follow, not one more.
  EXPECT_EQ(loops.RequestCount(), 2u * (1 + kMaxRedirects));
}

TEST_F(NetworkFaultSearchTest, TlsHandshakesThatStopHalfWayEndAtTheEngineTimeLimit) {
  StalledHandshakeServer silent("");
  StalledHandshakeServer half(kHalfServerHello);
  WriteEngine("silent", silent.Port(), "/s", "scheme=https\n");
  WriteEngine("half", half.Port(), "/s", "scheme=https\n");
  ASSERT_TRUE(RunSearch());
  ExpectOnlyTheGoodResultsStored();
  ExpectEndedWithinTheTimeLimits();
  EXPECT_EQ(silent.Handshakes(), 1);
  EXPECT_EQ(half.Handshakes(), 1);
}

}  // namespace
}  // namespace tulix
