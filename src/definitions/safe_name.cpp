#include "definitions/safe_name.h"

#include "platform/url.h"

namespace tulix {

bool IsSafeRelativePath(std::string_view name) {
  // A NUL would cut the path short in the file system, and a line end would split a request
  // line or a log line: no file name the program writes holds either.
  if (name.empty() || name[0] == '\\' || name[0] == '/' || HasControlCharacters(name)) {
    return false;
  }
  if (name.size() >= 2 && name[1] == ':') {
    return false;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) {
      end = name.size();
    }
    if (name.substr(start, end - start) == "..") {
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace tulix
