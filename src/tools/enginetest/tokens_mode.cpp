// tokens FILE [--json]: shows a saved page as the engine script sees it, one token a line, so
// an engine author can find the tag ids, columns and texts a script has to match.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#include "engine/page_scanner.h"
#include "tools/enginetest/modes.h"
#include "tools/common/text_output.h"

namespace tulix::enginetest {
namespace {

// Token text for a terminal: control characters and the backslash escaped C-style, so every
// token stays on its line; other bytes as they are.
void AppendPlainText(std::string& out, std::string_view text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          tools::AppendHexEscape(out, "\\x", c);
        } else {
          out += ch;
        }
    }
  }
}

void Flush(std::string& out) {
  std::fwrite(out.data(), 1, out.size(), stdout);
  out.clear();
}

void PrintTokens(PageScanner& scanner, bool json) {
  std::string out;
  if (json) {
    out += "[\n";
  }
  for (const PageToken* t = scanner.First(); t != nullptr; t = scanner.Next()) {
    char head[96];
    if (json) {
      std::snprintf(head, sizeof head, "{\"position\":%zu,\"id\":%d,\"depth\":%zu,\"text\":\"",
                    t->index(), t->tagId(), t->depth());
      out += head;
      tools::AppendJsonText(out, t->text());
      out += t->index() < scanner.Count() ? "\"},\n" : "\"}\n";
    } else {
      std::snprintf(head, sizeof head, "%7zu %3d %5zu  ", t->index(), t->tagId(), t->depth());
      out += head;
      AppendPlainText(out, t->text());
      out += '\n';
    }
    if (out.size() > (1 << 16)) {
      Flush(out);
    }
  }
  if (json) {
    out += "]\n";
  }
  Flush(out);
}

}  // namespace

int RunTokensMode(const std::vector<std::string>& args) {
  std::string path;
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (path.empty() && !arg.starts_with("--")) {
      path = arg;
    } else {
      std::fprintf(stderr, "tulix-enginetest tokens: unexpected argument '%s'\n", arg.c_str());
      return kUsageError;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: tulix-enginetest tokens FILE [--json]\n");
    return kUsageError;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "tulix-enginetest tokens: cannot open '%s'\n", path.c_str());
    return 1;
  }
  std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    std::fprintf(stderr, "tulix-enginetest tokens: cannot read '%s'\n", path.c_str());
    return 1;
  }
  PageScanner scanner(page);
  PrintTokens(scanner, json);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace tulix::enginetest
