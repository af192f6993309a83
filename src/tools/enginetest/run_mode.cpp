// run ENGINE.ini PAGE.html [...]: walks a saved result page with the engine's script exactly as
// a search job walks a fetched page (links made absolute, every token stepped, actions carried
// out, results extracted), and shows the hits it finds and the requests it queues, so an
// engine author can try a script against real pages without fetching anything.
//
// The hit filter of a search (shopping policy, site types, domains, family mode) does not take
// part: every hit with an http address is kept, as a search with no filter settings would.
//
// Like every mode, it works in a world of its own (workspace.h).
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/application.h"
#include "engine/address_resolution.h"
#include "definitions/engine_definition.h"
#include "engine/page_scanner.h"
#include "engine/script_actions.h"
#include "engine/script_runner.h"
#include "engine/search_walk.h"
#include "platform/paths.h"
#include "platform/url.h"
#include "tools/enginetest/modes.h"
#include "tools/common/text_output.h"
#include "tools/enginetest/workspace.h"

namespace tulix::enginetest {
namespace {

// Results wanted when the user gives no number: more than any saved page holds, so the walk
// never stops early because it has enough.
constexpr int kDefaultPerEngine = 1000;

const char kUsage[] =
    "usage: tulix-enginetest run ENGINE.ini PAGE.html [--query WORDS] [--base URL] "
    "[--per-engine N] [--all] [--json]\n";

struct Options {
  std::string engine;
  std::string page;
  std::string query;
  std::string base;
  int perEngine = kDefaultPerEngine;
  bool all = false;
  bool json = false;
};

bool ParseOptions(const std::vector<std::string>& args, Options& options) {
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "tulix-enginetest run: %s needs a value\n", arg.c_str());
        return false;
      }
      out = args[++i];
      return true;
    };
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--all") {
      options.all = true;
    } else if (arg == "--query") {
      if (!value(options.query))
        return false;
    } else if (arg == "--base") {
      if (!value(options.base))
        return false;
    } else if (arg == "--per-engine") {
      std::string text;
      if (!value(text))
        return false;
      char* end = nullptr;
      long n = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || n < 1 || n > 100000) {
        std::fprintf(stderr, "tulix-enginetest run: --per-engine takes a number from 1\n");
        return false;
      }
      options.perEngine = static_cast<int>(n);
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "tulix-enginetest run: unknown option %s\n", arg.c_str());
      return false;
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2) {
    std::fputs(kUsage, stderr);
    return false;
  }
  options.engine = files[0];
  options.page = files[1];
  return true;
}

// One hit as the walk handed it over, kept or dropped.
struct RecordedHit {
  std::string text;
  std::string address;
  int position = 0;
  int percent = 0;
  bool kept = false;
  std::string reason;  // why it was dropped
};

class RecordingSink : public HitSink {
 public:
  bool AcceptHit(const EngineHit&) override { return true; }
  void AddEngineHit(const EngineHit& hit) override {
    hits.push_back({hit.text, hit.address, hit.position, hit.percent, true, {}});
  }
  void DroppedHit(const EngineHit& hit, const char* reason) override {
    hits.push_back({hit.text, hit.address, 0, 0, false, reason});
  }

  std::vector<RecordedHit> hits;
};

// A hit's text split for reading: the text of its first link (the title) and the text after
// it, without mark-up, entities decoded and blanks collapsed.
struct ReadableHit {
  std::string title;
  std::string text;
};

void EraseAll(std::string& text, std::string_view what) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
}

void AppendWords(std::string& out, std::string_view words) {
  for (char ch : words) {
    bool blank = static_cast<unsigned char>(ch) <= ' ';
    if (blank && (out.empty() || out.back() == ' ')) {
      continue;
    }
    out += blank ? ' ' : ch;
  }
  if (!out.empty() && out.back() != ' ') {
    out += ' ';
  }
}

void TrimEnd(std::string& text) {
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
}

ReadableHit MakeReadable(std::string markup) {
  // The search-word marks would cut words in two, and a no-break space decodes to a byte that
  // is not text in the UTF-8 pages most engines send.
  EraseAll(markup, "<r>");
  EraseAll(markup, "</r>");
  for (size_t at = markup.find("&nbsp;"); at != std::string::npos; at = markup.find("&nbsp;", at)) {
    markup.replace(at, 6, " ");
  }
  ReadableHit readable;
  PageScanner scanner(markup);
  // 0: before the first link, 1: inside it, 2: after it.
  int part = 0;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    if (token->tagId() == kTagA && part == 0) {
      part = 1;
    } else if (token->tagId() == kTagA + kEndTagBit && part == 1) {
      part = 2;
    } else if (token->tagId() == kTextTokenId) {
      AppendWords(part == 1 ? readable.title : readable.text, DecodeEntities(token->text()));
    }
  }
  TrimEnd(readable.title);
  TrimEnd(readable.text);
  return readable;
}

std::string RequestAddress(const RequestSpec& request) {
  return PageAddressOf(request);
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  tools::AppendJsonText(out, text);
  out += '"';
}

std::string FormatJson(const Options& options, const RequestSpec& request,
                       const std::vector<RecordedHit>& hits, const SearchWalk& walk) {
  std::string out = "{\n  \"engine\": ";
  AppendJsonString(out, options.engine);
  out += ",\n  \"page\": ";
  AppendJsonString(out, options.page);
  out += ",\n  \"base\": ";
  AppendJsonString(out, RequestAddress(request));
  out += ",\n  \"hits\": [";
  bool first = true;
  for (const RecordedHit& hit : hits) {
    if (!hit.kept && !options.all) {
      continue;
    }
    ReadableHit readable = MakeReadable(hit.text);
    out += first ? "\n    {" : ",\n    {";
    first = false;
    out += "\"kept\": ";
    out += hit.kept ? "true" : "false";
    if (hit.kept) {
      out += ", \"position\": " + std::to_string(hit.position);
      out += ", \"percent\": " + std::to_string(hit.percent);
    } else {
      out += ", \"reason\": ";
      AppendJsonString(out, hit.reason);
    }
    out += ", \"address\": ";
    AppendJsonString(out, hit.address);
    out += ", \"title\": ";
    AppendJsonString(out, readable.title);
    out += ", \"text\": ";
    AppendJsonString(out, readable.text);
    out += ", \"markup\": ";
    AppendJsonString(out, hit.text);
    out += '}';
  }
  out += first ? "],\n" : "\n  ],\n";
  out += "  \"requests\": [";
  const std::vector<RequestSpec>& queue = walk.Queue();
  for (size_t i = 1; i < queue.size(); ++i) {
    out += i == 1 ? "\n    {" : ",\n    {";
    out += "\"verb\": " + std::to_string(queue[i].verb);
    out += ", \"method\": ";
    out += queue[i].verb == 0 ? "\"POST\"" : "\"GET\"";
    out += ", \"address\": ";
    AppendJsonString(out, RequestAddress(queue[i]));
    out += ", \"extra\": ";
    AppendJsonString(out, queue[i].extra);
    out += ", \"startState\": ";
    AppendJsonString(out, queue[i].startState);
    out += '}';
  }
  out += queue.size() > 1 ? "\n  ]\n}\n" : "]\n}\n";
  return out;
}

std::string FormatText(const Options& options, const RequestSpec& request,
                       const std::vector<RecordedHit>& hits, const SearchWalk& walk) {
  int kept = 0;
  for (const RecordedHit& hit : hits) {
    kept += hit.kept ? 1 : 0;
  }
  std::string out;
  out += "engine    " + options.engine + "\n";
  out += "page      " + options.page + "\n";
  out += "base      " + RequestAddress(request) + "\n";
  out += "hits      " + std::to_string(kept) + " kept, " + std::to_string(hits.size() - kept) +
         " dropped\n";
  for (const RecordedHit& hit : hits) {
    if (!hit.kept && !options.all) {
      continue;
    }
    ReadableHit readable = MakeReadable(hit.text);
    out += '\n';
    if (hit.kept) {
      out += "hit " + std::to_string(hit.position) + " (" + std::to_string(hit.percent) + "%)";
      out += options.all ? "  kept\n" : "\n";
    } else {
      out += "dropped   " + hit.reason + "\n";
    }
    out += "  address " + hit.address + "\n";
    out += "  title   " + readable.title + "\n";
    out += "  text    " + readable.text + "\n";
  }
  const std::vector<RequestSpec>& queue = walk.Queue();
  out += "\nrequests  " + std::to_string(queue.size() - 1) + " queued\n";
  for (size_t i = 1; i < queue.size(); ++i) {
    out += queue[i].verb == 0 ? "  POST " : "  GET  ";
    out += RequestAddress(queue[i]);
    if (!queue[i].startState.empty()) {
      out += "  (state " + queue[i].startState + ")";
    }
    out += '\n';
    if (queue[i].verb == 0 && !queue[i].extra.empty()) {
      out += "       extra " + queue[i].extra + "\n";
    }
  }
  return out;
}

}  // namespace

int RunRunMode(const std::vector<std::string>& args) {
  Options options;
  if (!ParseOptions(args, options)) {
    return kUsageError;
  }
  const std::optional<std::string> page = ReadWholeFile(options.page);
  if (!page) {
    std::fprintf(stderr, "tulix-enginetest run: cannot read %s\n", options.page.c_str());
    return 1;
  }
  ParsedUrl base;
  if (!options.base.empty() && !ParseUrl(options.base, &base)) {
    std::fprintf(stderr, "tulix-enginetest run: --base %s is not an address\n",
                 options.base.c_str());
    return kUsageError;
  }
  EngineWorkspace workspace;
  if (!workspace.Open("run", options.engine)) {
    return 1;
  }
  EngineDefinition& engine = workspace.engine();

  SearchQuery search;
  search.text = options.query;
  search.perEngine = options.perEngine;
  search.category = "web";

  RecordingSink sink;
  SearchWalk walk(engine, search, sink);
  ScriptRunner runner(engine);
  // The first request is the one the page would have come from; --base moves it elsewhere.
  RequestSpec request = walk.BuildNextRequest(runner);
  if (!options.base.empty()) {
    request.host = base.server;
    request.port = base.port;
    request.secure = UsesHttps(base);
    request.object = base.object;
  }
  walk.MarkFetched(request);
  walk.AddPageFetched();
  walk.ProcessPage(runner, request, *page);

  const std::string out = options.json ? FormatJson(options, request, sink.hits, walk)
                                       : FormatText(options, request, sink.hits, walk);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

}  // namespace tulix::enginetest
