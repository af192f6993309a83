// The HTTP side of tulix-demo-engines: every simulated engine below its own path prefix on one
// server, with a delay per page and a way to make an engine fail, and one line per request on
// standard error.
//
// Paths of an engine NAME: /NAME/ its home page with a search form, its search path (see
// engines.h) for result pages; the posting engine answers only a POST there, and the
// redirecting engine's search path answers 302 with the address of /NAME/results.
//
// Thread safety: the HTTP library answers requests on a pool of threads; they share the index
// and the options, which do not change once the server runs. Stop may be called from any
// thread; it releases every request held by a delay or a hang first.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "tools/demo_engines/corpus_index.h"

namespace tulix::demo {

// The port the bundled engine definitions name.
inline constexpr int kDefaultPort = 8381;

enum class Failure {
  kNone,
  kError,        // status 500
  kUnavailable,  // status 503
  kHang,         // no answer until the server stops
  kGarbage,      // status 200 with random bytes that are not HTML
};

// "error", "unavailable", "hang" or "garbage"; false for anything else.
bool ParseFailure(const std::string& text, Failure* failure);

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = kDefaultPort;                     // 0 lets the system pick one
  int latencyMs = 0;                           // delay before every result page
  std::map<std::string, int> engineLatencyMs;  // by engine name, instead of latencyMs
  std::map<std::string, Failure> failures;     // by engine name
};

class DemoServer {
 public:
  // `index` must outlive the server.
  DemoServer(const CorpusIndex& index, ServerOptions options);
  ~DemoServer();
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  // Binds the listening socket; returns the port, or -1 when the address cannot be bound.
  int Bind();
  // Answers requests until Stop; returns false when the server could not run.
  bool Run();
  // Ends Run. Waits for Run to have started, since a stop before that would be lost.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tulix::demo
