#include "tools/demo_engines/server.h"

#include <httplib.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>

#include "base/token_splitter.h"
#include "tools/common/http_listener.h"
#include "tools/demo_engines/engines.h"
#include "tools/demo_engines/pages.h"

namespace tulix::demo {
namespace {

// Requests held by a hang keep their thread until the server stops; a pool this size leaves
// room for many of them beside the ordinary requests.
constexpr size_t kThreads = 64;
constexpr size_t kGarbageBytes = 4096;

std::string FormDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
               HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The fields of a posted form. The program ends its form data with CR LF, which is no part of
// the last value.
std::multimap<std::string, std::string> ParseForm(std::string_view body) {
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) {
    body.remove_suffix(1);
  }
  std::multimap<std::string, std::string> fields;
  while (!body.empty()) {
    const size_t amp = body.find('&');
    std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    const size_t equals = pair.find('=');
    if (!pair.empty()) {
      fields.emplace(FormDecode(pair.substr(0, equals)),
                     equals == std::string_view::npos ? "" : FormDecode(pair.substr(equals + 1)));
    }
  }
  return fields;
}

std::string Field(const std::multimap<std::string, std::string>& fields, const char* name) {
  auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

int Number(const std::string& text, int fallback, int low, int high) {
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return fallback;
  }
  return value;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

EngineQuery ReadQuery(const DemoEngine& engine,
                      const std::multimap<std::string, std::string>& fields) {
  EngineQuery query;
  query.text = Trimmed(Field(fields, engine.queryParam));
  query.mode = ParseMode(Field(fields, engine.modeParam));
  // A query in double quotes is a phrase, whatever the mode says.
  if (query.text.size() >= 2 && query.text.front() == '"' && query.text.back() == '"') {
    query.text = Trimmed(query.text.substr(1, query.text.size() - 2));
    query.mode = MatchMode::kExactPhrase;
  }
  query.titlesOnly = Field(fields, kFieldParam) == "title";
  query.perPage = Number(Field(fields, engine.countParam), kDefaultPerPage, 1, kMaxPerPage);
  const std::string page = Field(fields, engine.pageParam);
  if (engine.pageIsOffset) {
    query.offset = Number(page, 0, 0, 1000000);
  } else {
    query.offset = (Number(page, 1, 1, 100000) - 1) * query.perPage;
  }
  return query;
}

}  // namespace

bool ParseFailure(const std::string& text, Failure* failure) {
  static const std::pair<const char*, Failure> kNames[] = {{"error", Failure::kError},
                                                           {"unavailable", Failure::kUnavailable},
                                                           {"hang", Failure::kHang},
                                                           {"garbage", Failure::kGarbage}};
  for (const auto& [name, value] : kNames) {
    if (text == name) {
      *failure = value;
      return true;
    }
  }
  return false;
}

struct DemoServer::Impl {
  const CorpusIndex& index;
  ServerOptions options;
  tools::HttpListener listener;

  std::mutex stopLock;
  std::condition_variable stopped;
  bool stopping = false;  // guarded by stopLock
  std::atomic<uint32_t> requests{0};

  Impl(const CorpusIndex& corpus, ServerOptions serverOptions)
      : index(corpus),
        options(std::move(serverOptions)),
        listener(options.address, options.port) {}

  // Waits for `delay`, or until the server stops; false when it stops.
  bool Wait(std::chrono::milliseconds delay) {
    std::unique_lock lock(stopLock);
    return !stopped.wait_for(lock, delay, [this] { return stopping; });
  }
  void WaitForStop() {
    std::unique_lock lock(stopLock);
    stopped.wait(lock, [this] { return stopping; });
  }

  int LatencyOf(const DemoEngine& engine) const {
    auto it = options.engineLatencyMs.find(engine.name);
    return it != options.engineLatencyMs.end() ? it->second : options.latencyMs;
  }

  // Answers with the engine's failure; false when the engine has none.
  bool Fail(const DemoEngine& engine, httplib::Response& response) {
    auto it = options.failures.find(engine.name);
    const Failure failure = it == options.failures.end() ? Failure::kNone : it->second;
    switch (failure) {
      case Failure::kNone:
        return false;
      case Failure::kError:
        response.status = 500;
        response.set_content("internal error\n", "text/plain");
        return true;
      case Failure::kUnavailable:
        response.status = 503;
        response.set_header("Retry-After", "120");
        response.set_content("service unavailable\n", "text/plain");
        return true;
      case Failure::kHang:
        WaitForStop();
        response.status = 503;
        response.set_content("stopping\n", "text/plain");
        return true;
      case Failure::kGarbage: {
        std::mt19937 random(requests.fetch_add(1) + 1);
        std::string bytes(kGarbageBytes, '\0');
        for (char& byte : bytes) {
          // Any byte but the one that could open a tag.
          do {
            byte = static_cast<char>(random() & 0xFF);
          } while (byte == '<');
        }
        response.status = 200;
        response.set_content(std::move(bytes), "application/octet-stream");
        return true;
      }
    }
    return false;
  }

  void AnswerResults(const DemoEngine& engine,
                     const std::multimap<std::string, std::string>& fields,
                     httplib::Response& response) {
    const EngineQuery query = ReadQuery(engine, fields);
    const ResultPage page = Search(engine, index, query);
    if (!Wait(std::chrono::milliseconds(LatencyOf(engine)))) {
      response.status = 503;
      return;
    }
    response.set_content(RenderResultPage(engine, index, query, page), "text/html; charset=utf-8");
  }

  void Answer(const httplib::Request& request, httplib::Response& response) {
    const std::string& path = request.path;
    const size_t slash = path.find('/', 1);
    const DemoEngine* engine = FindEngine(
        std::string_view(path).substr(1, slash == std::string::npos ? slash : slash - 1));
    if (engine == nullptr) {
      AnswerIndex(path, response);
      return;
    }
    if (Fail(*engine, response)) {
      return;
    }
    const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
    const bool isSearch = path == engine->searchPath;
    const bool post = request.method == "POST";
    std::multimap<std::string, std::string> fields(request.params.begin(), request.params.end());
    if (engine->style == PageStyle::kPostedForm && isSearch) {
      if (!post) {
        response.status = 405;
        response.set_header("Allow", "POST");
        response.set_content("search with the form on /postbox/\n", "text/plain");
        return;
      }
      AnswerResults(*engine, ParseForm(request.body), response);
    } else if (engine->style == PageStyle::kRedirected && isSearch) {
      // The results live at another address, as with engines that keep a search session.
      const size_t question = request.target.find('?');
      const std::string query =
          question == std::string::npos ? "" : request.target.substr(question);
      const std::string host = request.get_header_value("Host");
      response.set_redirect("http://" + host + "/" + engine->name + "/results" + query, 302);
    } else if (isSearch || (engine->style == PageStyle::kRedirected && rest == "/results")) {
      AnswerResults(*engine, fields, response);
    } else if (rest.empty() || rest == "/") {
      response.set_content(RenderHomePage(*engine), "text/html; charset=utf-8");
    } else if (rest == "/about") {
      response.set_content(std::string("<html><body><h1>About ") + engine->label +
                               "</h1><p>A simulated search engine.</p></body></html>\n",
                           "text/html; charset=utf-8");
    } else {
      response.status = 404;
      response.set_content("no such page\n", "text/plain");
    }
  }

  // The root lists the engines, so a person can find them in a browser.
  void AnswerIndex(const std::string& path, httplib::Response& response) const {
    if (path != "/") {
      response.status = 404;
      response.set_content("no such engine\n", "text/plain");
      return;
    }
    std::string html = "<html><body><h1>Demo engines</h1><ul>\n";
    for (const DemoEngine& engine : AllEngines()) {
      html += std::string("<li><a href=\"/") + engine.name + "/\">" + engine.label + "</a></li>\n";
    }
    response.set_content(html + "</ul></body></html>\n", "text/html; charset=utf-8");
  }
};

DemoServer::DemoServer(const CorpusIndex& index, ServerOptions options)
    : m_impl(std::make_unique<Impl>(index, std::move(options))) {
  httplib::Server& http = m_impl->listener.http();
  http.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  http.set_tcp_nodelay(true);
  // A stop waits for idle kept-alive connections to time out; keep that short.
  http.set_keep_alive_timeout(1);
  http.set_read_timeout(30, 0);
  http.set_write_timeout(30, 0);
  http.set_payload_max_length(64 * 1024);
  Impl* impl = m_impl.get();
  auto answer = [impl](const httplib::Request& request, httplib::Response& response) {
    impl->Answer(request, response);
  };
  http.Get("/.*", answer);
  http.Post("/.*", answer);
}

DemoServer::~DemoServer() = default;

int DemoServer::Bind() {
  return m_impl->listener.Bind();
}

bool DemoServer::Run() {
  return m_impl->listener.Run();
}

void DemoServer::Stop() {
  {
    std::lock_guard lock(m_impl->stopLock);
    m_impl->stopping = true;
  }
  m_impl->stopped.notify_all();
  m_impl->listener.Stop();
}

}  // namespace tulix::demo
