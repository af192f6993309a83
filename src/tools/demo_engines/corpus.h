// The demo corpus: the documents the simulated engines search, read from one text file with a
// document a line ("address TAB title TAB text", with \\, \t, \n and \r standing for a
// backslash, tab, line end and carriage return inside a field).
//
// Thread safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tulix::demo {

struct Document {
  std::string address;
  std::string title;
  std::string text;
};

// The documents of a corpus file's text, in file order. Lines without three fields are skipped.
std::vector<Document> ParseCorpus(std::string_view text);

// Reads and parses a corpus file; none when it cannot be read or holds no document.
std::optional<std::vector<Document>> LoadCorpus(const std::string& path);

// The bundled corpus: below $TULIX_DATA when that is set, else below the source tree's data
// folder the program was built from.
std::string DefaultCorpusPath();

}  // namespace tulix::demo
