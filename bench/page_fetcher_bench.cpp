// How fast the page fetcher brings in pages over loopback, against plain libcurl with one reused
// easy handle per thread as the yardstick. Each benchmark iteration is 200 fetches of a 100 KB
// page, done one after another on one thread or shared out over four threads at once; the
// "pages/s" counter is the figure to compare (in the "min" row it is the slowest run's rate,
// while the time column there is the fastest run's). The layer alone, read in the fetcher's
// pieces, is measured too, to tell the fetcher's own cost from the layer's.
//
// The server is a cpp-httplib server on 127.0.0.1 with a port the system picks, serving the
// same page to every request with keep-alive, so the figures measure the client side.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/application.h"
#include "engine/page_fetcher.h"
#include "platform/http.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;

constexpr int kFetches = 200;
constexpr size_t kPageBytes = 100 * 1024;

// The server, the page and an application object with its shared session, made once.
class BenchWorld {
 public:
  BenchWorld() {
    // A proxy from the environment would measure the proxy.
    unsetenv("http_proxy");
    std::random_device random;
    m_folder = fs::temp_directory_path() / ("tulix-fetch-bench-" + std::to_string(random()));
    fs::create_directories(m_folder);

    const std::string line = "<p><a href=\"http://example.com/result\">a result</a> and text</p>\n";
    while (page.size() + line.size() <= kPageBytes) {
      page += line;
    }
    page.resize(kPageBytes, ' ');

    m_server.set_tcp_nodelay(true);
    m_server.set_keep_alive_max_count(1000000);
    m_server.Get("/page", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content(page, "text/html");
    });
    port = static_cast<uint16_t>(m_server.bind_to_any_port("127.0.0.1"));
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    while (!m_server.is_running()) {
      std::this_thread::yield();
    }
    m_app =
        std::make_unique<TulixApplication>(m_folder.string(), (m_folder / "registry.db").string());
    m_scope.emplace(*m_app);
    url = "http://127.0.0.1:" + std::to_string(port) + "/page";
  }

  ~BenchWorld() {
    m_scope.reset();
    m_app.reset();
    m_server.stop();
    m_thread.join();
    std::error_code error;
    fs::remove_all(m_folder, error);
  }

  std::string page;
  uint16_t port = 0;
  std::string url;

 private:
  fs::path m_folder;
  httplib::Server m_server;
  std::thread m_thread;
  std::unique_ptr<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scope;
};

BenchWorld& World() {
  static BenchWorld world;
  return world;
}

// Runs kFetches fetches shared out over `threads` threads; false when any fetch went wrong.
bool RunShared(int threads, const std::function<bool(int count)>& fetch) {
  std::atomic<bool> ok{true};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    const int count = kFetches / threads + (t < kFetches % threads ? 1 : 0);
    workers.emplace_back([&, count] {
      if (!fetch(count)) {
        ok = false;
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
  return ok;
}

void CountPages(benchmark::State& state) {
  state.counters["pages/s"] = benchmark::Counter(static_cast<double>(kFetches * state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

void BM_FetchPage(benchmark::State& state) {
  BenchWorld& world = World();
  const int threads = static_cast<int>(state.range(0));
  bool ok = true;
  for (auto _ : state) {
    ok = RunShared(threads,
                   [&](int count) {
                     std::string page;
                     int pagesFetched = 0;
                     for (int i = 0; i < count; ++i) {
                       RequestSpec request;
                       request.verb = 1;
                       request.host = "127.0.0.1";
                       request.port = world.port;
                       request.object = "/page";
                       if (FetchPage(nullptr, request, page, pagesFetched) != kFetchOk ||
                           page.size() != kPageBytes) {
                         return false;
                       }
                     }
                     return true;
                   }) &&
         ok;
  }
  if (!ok) {
    state.SkipWithError("a fetch failed");
  }
  CountPages(state);
}

// The HTTP layer alone, read in the fetcher's pieces: tells the fetcher's own cost from the
// layer's.
void BM_HttpLayer(benchmark::State& state) {
  BenchWorld& world = World();
  const int threads = static_cast<int>(state.range(0));
  bool ok = true;
  for (auto _ : state) {
    ok = RunShared(threads,
                   [&](int count) {
                     HttpSession& session = GetSession();
                     std::string page;
                     char piece[kPagePieceSize];
                     for (int i = 0; i < count; ++i) {
                       auto request =
                           session.OpenRequest("GET", "127.0.0.1", world.port, "/page", "", 0);
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
                   }) &&
         ok;
  }
  if (!ok) {
    state.SkipWithError("a fetch failed");
  }
  CountPages(state);
}

size_t AppendBody(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

void BM_PlainLibcurl(benchmark::State& state) {
  BenchWorld& world = World();
  const int threads = static_cast<int>(state.range(0));
  bool ok = true;
  for (auto _ : state) {
    ok = RunShared(threads,
                   [&](int count) {
                     CURL* easy = curl_easy_init();
                     std::string page;
                     // The same header lines as the fetcher's, so both yardsticks put the same
                     // work on the server.
                     curl_slist* headers = nullptr;
                     for (const char* line : kFetchHeaderLines) {
                       std::string header(line);
                       header.resize(header.size() - 2);  // without the CR LF
                       headers = curl_slist_append(headers, header.c_str());
                     }
                     curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
                     curl_easy_setopt(easy, CURLOPT_URL, world.url.c_str());
                     curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
                     curl_easy_setopt(easy, CURLOPT_PROXY, "");
                     curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &AppendBody);
                     curl_easy_setopt(easy, CURLOPT_WRITEDATA, &page);
                     bool fine = true;
                     for (int i = 0; i < count && fine; ++i) {
                       page.clear();
                       long status = 0;
                       fine =
                           curl_easy_perform(easy) == CURLE_OK &&
                           curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                           status == 200 && page.size() == kPageBytes;
                     }
                     curl_easy_cleanup(easy);
                     curl_slist_free_all(headers);
                     return fine;
                   }) &&
         ok;
  }
  if (!ok) {
    state.SkipWithError("a fetch failed");
  }
  CountPages(state);
}

// Loopback timings on a shared machine are noisy: each case runs several times and reports the
// mean, median and spread; the fastest run is the best guide to what the code itself costs.
void Configure(benchmark::internal::Benchmark* bench) {
  bench->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5);
  bench->ComputeStatistics(
      "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK(BM_FetchPage)->Apply(Configure);
BENCHMARK(BM_HttpLayer)->Apply(Configure);
BENCHMARK(BM_PlainLibcurl)->Apply(Configure);

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
