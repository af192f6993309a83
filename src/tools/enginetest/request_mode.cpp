// request ENGINE.ini --query WORDS [...]: shows the first request a search would send to an
// engine, built exactly as a search job builds it, so an engine author can check the request
// template, the type sections and the placeholders without running a search.
//
// Like every mode, it works in a world of its own (workspace.h).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/application.h"
#include "definitions/engine_definition.h"
#include "tools/enginetest/modes.h"
#include "tools/common/text_output.h"
#include "tools/enginetest/workspace.h"

namespace tulix::enginetest {
namespace {

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  tools::AppendJsonText(out, text);
  out += '"';
}

struct Options {
  std::string engine;
  std::string query;
  bool haveQuery = false;
  int type = kSearchAllWords;
  int perEngine = 0;  // 0: the category's value
  std::string category;
  bool json = false;
};

bool ParseOptions(const std::vector<std::string>& args, Options& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "tulix-enginetest request: %s needs a value\n", arg.c_str());
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--query") {
      if (!value(options.query))
        return false;
      options.haveQuery = true;
    } else if (arg == "--type") {
      if (!value(text))
        return false;
      if (!ParseSearchType("request", text, &options.type))
        return false;
    } else if (arg == "--per-engine") {
      if (!value(text))
        return false;
      char* end = nullptr;
      long n = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || n < 1 || n > 100000) {
        std::fprintf(stderr, "tulix-enginetest request: --per-engine takes a number from 1\n");
        return false;
      }
      options.perEngine = static_cast<int>(n);
    } else if (arg == "--category") {
      if (!value(options.category))
        return false;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "tulix-enginetest request: unknown option %s\n", arg.c_str());
      return false;
    } else if (options.engine.empty()) {
      options.engine = arg;
    } else {
      std::fprintf(stderr, "tulix-enginetest request: one engine file only\n");
      return false;
    }
  }
  if (options.engine.empty() || !options.haveQuery) {
    std::fprintf(stderr,
                 "usage: tulix-enginetest request ENGINE.ini --query WORDS "
                 "[--type all|any|exact] [--per-engine N] [--category NAME] [--json]\n");
    return false;
  }
  return true;
}

}  // namespace

int RunRequestMode(const std::vector<std::string>& args) {
  Options options;
  if (!ParseOptions(args, options)) {
    return kUsageError;
  }
  EngineWorkspace workspace;
  if (!workspace.Open("request", options.engine)) {
    return 1;
  }
  EngineDefinition* engine = &workspace.engine();
  const std::string file = workspace.file().string();

  SearchQuery search;
  search.text = options.query;
  search.type = options.type;
  search.category = !options.category.empty() ? options.category : workspace.CategoryName();
  search.perEngine = options.perEngine > 0 ? options.perEngine : workspace.PerEngine();

  const RequestSpec request = engine->BuildFirstRequest(search);
  const std::string query = engine->BuildQueryText(search);
  std::string out;
  if (options.json) {
    auto field = [&](const char* name, std::string_view value, bool last = false) {
      out += "  \"";
      out += name;
      out += "\": ";
      AppendJsonString(out, value);
      out += last ? "\n" : ",\n";
    };
    out += "{\n";
    field("engine", file);
    field("category", search.category);
    out += "  \"verb\": " + std::to_string(request.verb) + ",\n";
    field("method", request.verb == 0 ? "POST" : "GET");
    field("scheme", request.secure ? "https" : "http");
    field("host", request.host);
    out += "  \"port\": " + std::to_string(request.port) + ",\n";
    field("object", request.object);
    field("referer", request.referer);
    field("extra", request.extra);
    field("variables", request.variables);
    out += "  \"perEngine\": " + std::to_string(search.perEngine) + ",\n";
    field("query", query, true);
    out += "}\n";
  } else {
    auto line = [&](const char* name, const std::string& value) {
      char label[16];
      std::snprintf(label, sizeof label, "%-10s", name);
      out += label;
      out += value;
      out += '\n';
    };
    line("engine", file);
    line("category", search.category);
    line("verb", std::to_string(request.verb) + (request.verb == 0 ? " (POST)" : " (GET)"));
    line("scheme", request.secure ? "https" : "http");
    line("host", request.host);
    line("port", std::to_string(request.port));
    line("object", request.object);
    line("referer", request.referer);
    line("extra", request.extra);
    line("variables", request.variables);
    line("results", std::to_string(search.perEngine));
    line("query", query);
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

}  // namespace tulix::enginetest
