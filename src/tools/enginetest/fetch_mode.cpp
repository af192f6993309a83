// fetch ENGINE.ini --query WORDS [--type all|any|exact] [--output FILE]: fetches the first page
// of a search from an engine's server exactly as a search job fetches it (the same header
// lines, redirect handling, size cap, and the home page first for an engine that asks for it),
// so an engine author can save the page the script will really see and walk it with "tokens"
// or "run".
//
// The page goes to FILE or to standard output as the bytes that were read; what happened (the
// result code, the final status, each redirect followed) goes to standard error. A server that
// asks for a password gets none: the fetch ends as cancelled. The exit status is 0 when a page
// was read, 1 when the fetch failed, 2 for a usage error.
//
// Like every mode, it works in a world of its own (workspace.h).
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/application.h"
#include "definitions/engine_definition.h"
#include "engine/address_resolution.h"
#include "engine/page_fetcher.h"
#include "engine/search_walk.h"
#include "tools/enginetest/modes.h"
#include "tools/enginetest/workspace.h"

namespace tulix::enginetest {
namespace {

constexpr char kUsage[] =
    "usage: tulix-enginetest fetch ENGINE.ini --query WORDS [--type all|any|exact] "
    "[--output FILE]\n";

struct Options {
  std::string engine;
  std::string query;
  bool haveQuery = false;
  int type = kSearchAllWords;
  std::string output;  // empty: standard output
};

bool ParseOptions(const std::vector<std::string>& args, Options& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "tulix-enginetest fetch: %s needs a value\n", arg.c_str());
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--query") {
      if (!value(options.query))
        return false;
      options.haveQuery = true;
    } else if (arg == "--type") {
      if (!value(text))
        return false;
      if (!ParseSearchType("fetch", text, &options.type))
        return false;
    } else if (arg == "--output") {
      if (!value(options.output))
        return false;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "tulix-enginetest fetch: unknown option %s\n", arg.c_str());
      return false;
    } else if (options.engine.empty()) {
      options.engine = arg;
    } else {
      std::fprintf(stderr, "tulix-enginetest fetch: one engine file only\n");
      return false;
    }
  }
  if (options.engine.empty() || !options.haveQuery) {
    std::fputs(kUsage, stderr);
    return false;
  }
  return true;
}

const char* CodeText(int code) {
  switch (code) {
    case kFetchOk:
      return "page read";
    case kFetchAuthRefused:
      return "the server wants a password";
    default:
      return "fetch failed";
  }
}

void Report(const char* what, int code, const FetchDetails& details, size_t bytes) {
  std::fprintf(stderr, "%s: result %d (%s), status %d, %zu bytes, %zu redirect%s\n", what, code,
               CodeText(code), details.finalStatus, bytes, details.redirects.size(),
               details.redirects.size() == 1 ? "" : "s");
  for (const std::string& address : details.redirects) {
    std::fprintf(stderr, "  -> %s\n", address.c_str());
  }
}

// The home page first, for engines whose servers want a visitor to have been there (a cookie
// or a session); like a search job, the tool does not look at what came back beyond reporting.
void VisitHome(const EngineData& data, int& pagesFetched) {
  std::optional<RequestSpec> request = HomePageRequest(data);
  if (!request) {
    return;
  }
  std::string page;
  FetchDetails details;
  const int code = FetchPage(nullptr, *request, page, pagesFetched, &details);
  Report(("home page " + data.home).c_str(), code, details, page.size());
}

bool WritePage(const std::string& path, const std::string& page) {
  std::FILE* out = path.empty() ? stdout : std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "tulix-enginetest fetch: cannot write %s\n", path.c_str());
    return false;
  }
  bool ok = std::fwrite(page.data(), 1, page.size(), out) == page.size();
  ok = (out == stdout ? std::fflush(out) : std::fclose(out)) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "tulix-enginetest fetch: cannot write %s\n",
                 path.empty() ? "the page" : path.c_str());
  }
  return ok;
}

}  // namespace

int RunFetchMode(const std::vector<std::string>& args) {
  Options options;
  if (!ParseOptions(args, options)) {
    return kUsageError;
  }
  EngineWorkspace workspace;
  if (!workspace.Open("fetch", options.engine)) {
    return 1;
  }
  EngineDefinition* engine = &workspace.engine();
  SearchQuery search;
  search.text = options.query;
  search.type = options.type;
  search.category = workspace.CategoryName();
  search.perEngine = workspace.PerEngine();

  int pagesFetched = 0;
  VisitHome(*engine->Data(), pagesFetched);

  RequestSpec request = engine->BuildFirstRequest(search);
  std::string page;
  FetchDetails details;
  const int code = FetchPage(nullptr, request, page, pagesFetched, &details);
  const std::string address = ServerRoot(request.secure, request.host, request.port) +
                              (request.object.starts_with('/') ? "" : "/") + request.object;
  Report((std::string(request.verb == 0 ? "POST " : "GET ") + address).c_str(), code, details,
         page.size());
  if (!WritePage(options.output, page)) {
    return 1;
  }
  return code == kFetchOk ? 0 : 1;
}

}  // namespace tulix::enginetest
