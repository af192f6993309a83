// A temporary folder for tests and benchmarks, removed with everything in it when the object
// goes. Kept apart from test_support.h so that programs without the test framework (the
// benchmarks) can use it.
#pragma once

#include <string>
#include <string_view>

namespace tulix::test {

class TempFolder {
 public:
  // Made in the system's temporary folder, or in `base` when one is given. Throws
  // std::runtime_error when the folder cannot be made.
  explicit TempFolder(const std::string& base = {});
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return m_path; }
  // path + "/" + name
  std::string File(std::string_view name) const;

 private:
  std::string m_path;
};

}  // namespace tulix::test
