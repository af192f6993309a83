#include "tools/demo_engines/corpus.h"

#include "app/application_core.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tulix::demo {
namespace {

std::string Unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    switch (field[++i]) {
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        out += field[i];
        break;
    }
  }
  return out;
}

}  // namespace

std::vector<Document> ParseCorpus(std::string_view text) {
  std::vector<Document> documents;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    const size_t first = line.find('\t');
    const size_t second = first == std::string_view::npos ? first : line.find('\t', first + 1);
    if (second == std::string_view::npos) {
      continue;
    }
    Document document{Unescape(line.substr(0, first)),
                      Unescape(line.substr(first + 1, second - first - 1)),
                      Unescape(line.substr(second + 1))};
    if (!document.address.empty()) {
      documents.push_back(std::move(document));
    }
  }
  return documents;
}

std::optional<std::vector<Document>> LoadCorpus(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::vector<Document> documents = ParseCorpus(bytes.str());
  if (documents.empty()) {
    return std::nullopt;
  }
  return documents;
}

std::string DefaultCorpusPath() {
  return BundledDataFolder() + "/demo/corpus.tsv";
}

}  // namespace tulix::demo
