#include "tools/common/request_log.h"

#include <cstdio>
#include <ctime>

#include "tools/common/text_output.h"

namespace tulix::tools {

std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 32 || c >= 127) {
      AppendHexEscape(out, "\\x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void LogRequest(const httplib::Request& request, const httplib::Response& response) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string what = Printable(request.target);
  if (request.method == "POST") {
    what += " [" + Printable(request.body) + "]";
  }
  std::fprintf(stderr, "%s %s %s %s %d %zu\n", when, request.remote_addr.c_str(),
               request.method.c_str(), what.c_str(), response.status, response.body.size());
}

}  // namespace tulix::tools
