#include "definitions/safe_name.h"

namespace tulix {

bool IsSafeRelativePath(std::string_view name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') {
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
