// How fast the page fetcher brings in pages over loopback, against plain libcurl with one reused
// easy handle per thread as the yardstick, over http and over https. Each benchmark iteration is
// 200 fetches of a 100 KB page, done one after another on one thread or shared out over four
// threads at once; the "pages/s" counter is the figure to compare (in the "min" row it is the
// slowest run's rate, while the time column there is the fastest run's). The layer alone, read
// in the fetcher's pieces, is measured too, to tell the fetcher's own cost from the layer's.
//
// Two cpp-httplib servers on 127.0.0.1, with ports the system picks, serve the same page to
// every request with keep-alive, so the figures measure the client side. The https one presents
// a certificate made at run time by an authority of our own; the fetcher trusts it through
// TULIX_CA_FILE and plain libcurl through CURLOPT_CAINFO, both verifying chain and name. Both
// clients speak HTTP/1.1 and keep their connections from one iteration to the next, so after the
// first iteration neither pays for a connection or a handshake.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/application.h"
#include "engine/page_fetcher.h"
#include "loopback_server.h"
#include "platform/http.h"
#include "temp_folder.h"
#include "tls_certificates.h"
#include "tls_loopback_server.h"

namespace tulix {
namespace {

constexpr int kFetches = 200;
constexpr size_t kPageBytes = 100 * 1024;

enum class Scheme { kHttp, kHttps };

// Makes the folder `name` in `folder` and returns its path.
std::string MakeFolder(const test::TempFolder& folder, const std::string& name) {
  std::string path = folder.File(name);
  std::filesystem::create_directory(path);
  return path;
}

// The servers, the page and an application object with its shared session, made once.
class BenchWorld {
 public:
  BenchWorld()
      : m_certificates(MakeFolder(m_folder, "certificates")),
        m_https(m_certificates.Good()) {
    // A proxy from the environment would measure the proxy.
    unsetenv("http_proxy");
    unsetenv("https_proxy");
    unsetenv("HTTPS_PROXY");
    // Read when the fetcher's session is made, on its first fetch.
    setenv("TULIX_CA_FILE", m_certificates.CaFile().c_str(), 1);

    const std::string line = "<p><a href=\"http://example.com/result\">a result</a> and text</p>\n";
    while (page.size() + line.size() <= kPageBytes) {
      page += line;
    }
    page.resize(kPageBytes, ' ');

    Serve(*m_http);
    m_http.Start();
    Serve(*m_https);
    m_https.Start();

    m_app = std::make_unique<TulixApplication>(m_folder.path(), m_folder.File("registry.db"));
    m_scope.emplace(*m_app);
  }

  ~BenchWorld() {
    m_scope.reset();
    m_app.reset();
  }

  uint16_t Port(Scheme scheme) const {
    return scheme == Scheme::kHttps ? m_https.Port() : m_http.Port();
  }
  std::string Url(Scheme scheme) const {
    return scheme == Scheme::kHttps ? m_https.Address("/page") : m_http.Address("/page");
  }
  const std::string& CaFile() const { return m_certificates.CaFile(); }

  std::string page;

 private:
  template <class Server>
  void Serve(Server& server) {
    // Every connection stays open for the whole run, and each takes a server thread while it
    // is open: there must be room for those of the fetcher's session and of plain libcurl's
    // four handles at once.
    server.set_keep_alive_max_count(1000000);
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    server.Get("/page", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(page, "text/html");
    });
  }

  // Members go in this order: the folder holds the certificates the https server reads.
  test::TempFolder m_folder;
  test::TestCertificates m_certificates;
  test::LoopbackServer m_http;
  test::TlsLoopbackServer m_https;
  std::unique_ptr<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scope;
};

BenchWorld& World() {
  static BenchWorld world;
  return world;
}

// Runs kFetches fetches shared out over `threads` threads, the thread numbered `t` doing
// `count` of them; false when any fetch went wrong.
bool RunShared(int threads, const std::function<bool(int t, int count)>& fetch) {
  std::atomic<bool> ok{true};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    const int count = kFetches / threads + (t < kFetches % threads ? 1 : 0);
    workers.emplace_back([&, t, count] {
      if (!fetch(t, count)) {
        ok = false;
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  return ok;
}

// Times `fetch` over the benchmark's iterations and reports the page rate.
void RunFetches(benchmark::State& state, const std::function<bool(int t, int count)>& fetch) {
  const int threads = static_cast<int>(state.range(0));
  bool ok = true;
  for (auto _ : state) {
    ok = RunShared(threads, fetch) && ok;
  }
  if (!ok) {
    state.SkipWithError("a fetch failed");
  }
  state.counters["pages/s"] = benchmark::Counter(static_cast<double>(kFetches * state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

void BM_FetchPage(benchmark::State& state, Scheme scheme) {
  BenchWorld& world = World();
  RunFetches(state, [&](int, int count) {
    std::string page;
    int pagesFetched = 0;
    for (int i = 0; i < count; ++i) {
      RequestSpec request;
      request.verb = 1;
      request.secure = scheme == Scheme::kHttps;
      request.host = "127.0.0.1";
      request.port = world.Port(scheme);
      request.object = "/page";
      if (FetchPage(nullptr, request, page, pagesFetched) != kFetchOk ||
          page.size() != kPageBytes) {
        return false;
      }
    }
    return true;
  });
}

// The HTTP layer alone, read in the fetcher's pieces: tells the fetcher's own cost from the
// layer's.
void BM_HttpLayer(benchmark::State& state, Scheme scheme) {
  BenchWorld& world = World();
  const uint32_t flags = scheme == Scheme::kHttps ? kHttpFlagSecure : 0;
  RunFetches(state, [&](int, int count) {
    HttpSession& session = GetSession();
    std::string page;
    char piece[kPagePieceSize];
    for (int i = 0; i < count; ++i) {
      auto request = session.OpenRequest("GET", "127.0.0.1", world.Port(scheme), "/page", "", flags);
      if (request == nullptr) {
        return false;
      }
      for (const char* line : kFetchHeaderLines) {
        request->AddRequestHeaders(line, HeaderMode::kAddOrReplace);
      }
      if (!request->Send() || request->StatusCode() != 200) {
        return false;
      }
      page.clear();
      size_t read = 0;
      while (request->Read(piece, sizeof piece, &read) && read > 0) {
        page.append(piece, read);
      }
      if (page.size() != kPageBytes) {
        return false;
      }
    }
    return true;
  });
}

size_t AppendBody(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One plain libcurl easy handle, set up for the page of one scheme; it keeps its connection
// between transfers, and so between benchmark iterations.
class PlainFetcher {
 public:
  PlainFetcher(const BenchWorld& world, Scheme scheme) : m_easy(curl_easy_init()) {
    // The same header lines as the fetcher's, so both put the same work on the server.
    for (const char* line : kFetchHeaderLines) {
      std::string header(line);
      header.resize(header.size() - 2);  // without the CR LF
      m_headers = curl_slist_append(m_headers, header.c_str());
    }
    m_url = world.Url(scheme);
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_easy, CURLOPT_URL, m_url.c_str());
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_PROXY, "");
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    if (scheme == Scheme::kHttps) {
      m_caFile = world.CaFile();
      curl_easy_setopt(m_easy, CURLOPT_CAINFO, m_caFile.c_str());
      curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYPEER, 1L);
      curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &AppendBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, &m_page);
  }
  ~PlainFetcher() {
    curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headers);
  }
  PlainFetcher(const PlainFetcher&) = delete;
  PlainFetcher& operator=(const PlainFetcher&) = delete;

  bool Fetch() {
    m_page.clear();
    long status = 0;
    return curl_easy_perform(m_easy) == CURLE_OK &&
           curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
           status == 200 && m_page.size() == kPageBytes;
  }

 private:
  CURL* m_easy;
  curl_slist* m_headers = nullptr;
  std::string m_url;
  std::string m_caFile;
  std::string m_page;
};

void BM_PlainLibcurl(benchmark::State& state, Scheme scheme) {
  BenchWorld& world = World();
  // One handle per worker, made before the timing starts like the fetcher's shared session.
  std::vector<std::unique_ptr<PlainFetcher>> fetchers;
  for (int t = 0; t < state.range(0); ++t) {
    fetchers.push_back(std::make_unique<PlainFetcher>(world, scheme));
  }
  RunFetches(state, [&](int t, int count) {
    for (int i = 0; i < count; ++i) {
      if (!fetchers[t]->Fetch()) {
        return false;
      }
    }
    return true;
  });
}

// Loopback timings on a shared machine are noisy: each case runs several times and reports the
// mean, median and spread; the fastest run is the best guide to what the code itself costs.
void Configure(benchmark::internal::Benchmark* bench) {
  bench->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5);
  bench->ComputeStatistics(
      "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK_CAPTURE(BM_FetchPage, http, Scheme::kHttp)->Apply(Configure);
BENCHMARK_CAPTURE(BM_HttpLayer, http, Scheme::kHttp)->Apply(Configure);
BENCHMARK_CAPTURE(BM_PlainLibcurl, http, Scheme::kHttp)->Apply(Configure);
BENCHMARK_CAPTURE(BM_FetchPage, https, Scheme::kHttps)->Apply(Configure);
BENCHMARK_CAPTURE(BM_HttpLayer, https, Scheme::kHttps)->Apply(Configure);
BENCHMARK_CAPTURE(BM_PlainLibcurl, https, Scheme::kHttps)->Apply(Configure);

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
