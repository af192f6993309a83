// The bundled demo engine set pointed at a demo-engines server on another port: a copy of the
// set's folder in which every definition names that port instead of the default one.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "test_support.h"

namespace tulix::test {

inline constexpr std::string_view kDemoDefaultPort = "8381";

// Rewrites a definition's "port=8381" lines and the ":8381/" of its addresses.
inline std::string WithDemoPort(std::string_view text, int port) {
  const std::string wanted = std::to_string(port);
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string line(text.substr(start, end - start));
    start = end;
    const std::string portLine = "port=" + std::string(kDemoDefaultPort);
    if (line.rfind(portLine, 0) == 0 &&
        line.find_first_not_of("\r\n", portLine.size()) == std::string::npos) {
      line.replace(5, kDemoDefaultPort.size(), wanted);
    }
    const std::string inAddress = ":" + std::string(kDemoDefaultPort) + "/";
    for (size_t at = line.find(inAddress); at != std::string::npos;
         at = line.find(inAddress, at + wanted.size() + 2)) {
      line.replace(at + 1, kDemoDefaultPort.size(), wanted);
    }
    out += line;
  }
  return out;
}

// Copies the set's folder `from` to `to` (created), every ".ini" file pointed at `port`.
inline void CopyDemoEngineSet(const std::string& from, const std::string& to, int port) {
  namespace fs = std::filesystem;
  fs::create_directories(to);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(from)) {
    const fs::path target = fs::path(to) / fs::relative(entry.path(), from);
    if (entry.is_directory()) {
      fs::create_directories(target);
    } else if (entry.path().extension() == ".ini") {
      WriteFileBytes(target.string(), WithDemoPort(ReadFileBytes(entry.path().string()), port));
    } else {
      fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
    }
  }
}

}  // namespace tulix::test
