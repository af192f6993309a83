#include "temp_folder.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace tulix::test {

TempFolder::TempFolder(const std::string& base) {
  const std::filesystem::path folder =
      base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
  std::string pattern = (folder / "tulix-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder from " + pattern);
  }
  m_path = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string TempFolder::File(std::string_view name) const {
  return m_path + "/" + std::string(name);
}

}  // namespace tulix::test
