// tulix-demo-engines: simulated search engines over a bundled corpus, on loopback, for the demo
// and the tests.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/stop_signal.h"
#include "tools/common/http_listener.h"
#include "tools/demo_engines/corpus.h"
#include "tools/demo_engines/corpus_index.h"
#include "tools/demo_engines/engines.h"
#include "tools/demo_engines/server.h"

namespace tulix::demo {
namespace {

constexpr int kUsageError = 2;
constexpr int kMaxLatencyMs = 600000;

constexpr const char kUsage[] =
    "usage: tulix-demo-engines [OPTIONS]\n"
    "\n"
    "Serves five simulated search engines on one port, each below its own path and each with\n"
    "its own page markup and ranking, over a corpus of documents:\n"
    "  /tabula/   results in a table, GET /tabula/search?q=&m=&n=&p= (page from 1),\n"
    "             a \"Next\" link\n"
    "  /listel/   results in a list, GET /listel/find?words=&type=&num=&page=\n"
    "  /nidus/    results in nested divisions, GET /nidus/query?query=&mode=&count=&start=\n"
    "             (start: offset of the first result, from 0)\n"
    "  /postbox/  a search form that must be posted: POST /postbox/results with\n"
    "             q=&match=&per=&page=\n"
    "  /relay/    GET /relay/search?s=&how=&k=&pg= redirects (302) to /relay/results\n"
    "The mode parameter is all, any or phrase (a query in double quotes is a phrase too); the\n"
    "count is results per page (default 10, at most 100); in=title searches titles only.\n"
    "The port is printed on standard output once the server listens; each request is logged\n"
    "on one line on standard error. SIGINT or SIGTERM end it.\n"
    "\n"
    "options:\n"
    "  --port N              port to listen on (default 8381, the port the bundled engine\n"
    "                        definitions name; 0 lets the system pick one)\n"
    "  --corpus FILE         documents to search (default: demo/corpus.tsv below $TULIX_DATA,\n"
    "                        or below the data folder of the source tree)\n"
    "  --latency MS          wait MS milliseconds before answering each result page\n"
    "  --latency NAME=MS     the same for the engine NAME only (may be repeated)\n"
    "  --fail NAME=HOW       make the engine NAME fail: error (status 500), unavailable\n"
    "                        (status 503), hang (no answer until the server stops) or garbage\n"
    "                        (status 200 with random bytes that are not HTML)\n"
    "  --help                show this text\n";

struct Options {
  ServerOptions server;
  std::string corpus;
};

bool ParseNumber(std::string_view text, int low, int high, int* value) {
  auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && *value >= low &&
         *value <= high;
}

// Splits "NAME=VALUE" with NAME an engine; complains and returns false otherwise.
bool SplitEngineValue(const char* option, std::string_view arg, std::string* name,
                      std::string* value) {
  const size_t equals = arg.find('=');
  *name = std::string(arg.substr(0, equals));
  if (equals == std::string_view::npos || FindEngine(*name) == nullptr) {
    std::fprintf(stderr, "tulix-demo-engines: %s wants NAME=VALUE with NAME one of", option);
    for (const DemoEngine& engine : AllEngines()) {
      std::fprintf(stderr, " %s", engine.name);
    }
    std::fprintf(stderr, "\n");
    return false;
  }
  *value = std::string(arg.substr(equals + 1));
  return true;
}

bool ParseLatency(std::string_view arg, ServerOptions& options) {
  std::string name;
  std::string value;
  int ms = 0;
  if (arg.find('=') == std::string_view::npos) {
    if (ParseNumber(arg, 0, kMaxLatencyMs, &ms)) {
      options.latencyMs = ms;
      return true;
    }
  } else if (SplitEngineValue("--latency", arg, &name, &value) &&
             ParseNumber(value, 0, kMaxLatencyMs, &ms)) {
    options.engineLatencyMs[name] = ms;
    return true;
  }
  std::fprintf(stderr, "tulix-demo-engines: --latency takes MS or NAME=MS, MS from 0 to %d\n",
               kMaxLatencyMs);
  return false;
}

bool ParseFail(std::string_view arg, ServerOptions& options) {
  std::string name;
  std::string how;
  if (!SplitEngineValue("--fail", arg, &name, &how)) {
    return false;
  }
  Failure failure = Failure::kNone;
  if (!ParseFailure(how, &failure)) {
    std::fprintf(stderr,
                 "tulix-demo-engines: --fail %s= takes error, unavailable, hang or garbage\n",
                 name.c_str());
    return false;
  }
  options.failures[name] = failure;
  return true;
}

// 0 when the options are complete, kUsageError after a complaint, -1 for --help.
int ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      return -1;
    }
    const bool takesValue =
        arg == "--port" || arg == "--corpus" || arg == "--latency" || arg == "--fail";
    if (!takesValue) {
      std::fprintf(stderr, "tulix-demo-engines: unexpected argument %s\n", argv[i]);
      return kUsageError;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "tulix-demo-engines: %s needs a value\n", argv[i]);
      return kUsageError;
    }
    const std::string_view value = argv[++i];
    bool ok = true;
    if (arg == "--port") {
      ok = ParseNumber(value, 0, 65535, &options.server.port);
      if (!ok) {
        std::fprintf(stderr, "tulix-demo-engines: --port takes a number from 0 to 65535\n");
      }
    } else if (arg == "--corpus") {
      options.corpus = value;
    } else if (arg == "--latency") {
      ok = ParseLatency(value, options.server);
    } else {
      ok = ParseFail(value, options.server);
    }
    if (!ok) {
      return kUsageError;
    }
  }
  if (options.corpus.empty()) {
    options.corpus = DefaultCorpusPath();
  }
  return 0;
}

int Serve(const CorpusIndex& index, const ServerOptions& options) {
  DemoServer server(index, options);
  return tools::ServeUntilStopSignal(
      "tulix-demo-engines", server, options.address, options.port, [&options](int port) {
        std::fprintf(stderr, "tulix-demo-engines: listening on http://%s:%d/ with",
                     options.address.c_str(), port);
        for (const DemoEngine& engine : AllEngines()) {
          std::fprintf(stderr, " /%s/", engine.name);
        }
        std::fprintf(stderr, "\n");
      });
}

}  // namespace
}  // namespace tulix::demo

int main(int argc, char** argv) {
  using namespace tulix::demo;
  // Before any thread starts, so that every thread inherits the blocked signals.
  tulix::BlockStopSignals();
  Options options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) {
    std::fputs(kUsage, parsed < 0 ? stdout : stderr);
    return parsed < 0 ? 0 : parsed;
  }
  const auto start = std::chrono::steady_clock::now();
  std::optional<std::vector<Document>> documents = LoadCorpus(options.corpus);
  if (!documents) {
    std::fprintf(stderr, "tulix-demo-engines: cannot read a corpus from %s\n",
                 options.corpus.c_str());
    return 1;
  }
  const CorpusIndex index(std::move(*documents));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::fprintf(stderr, "tulix-demo-engines: %zu documents from %s indexed in %lld ms\n",
               index.Documents().size(), options.corpus.c_str(),
               static_cast<long long>(took.count()));
  return Serve(index, options.server);
}
