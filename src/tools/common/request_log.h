// The one-line request log of the tools' HTTP servers (the update server, the demo engines):
// time, client, method, target (and a POST's form), status and body size, on standard error.
//
// Thread safety: called from the servers' request threads; each line is written in one call,
// so lines of several threads never mix.
#pragma once

#include <httplib.h>

#include <string>
#include <string_view>

namespace tulix::tools {

// The text on one line whatever bytes it holds: control and non-ASCII bytes as "\xNN".
std::string Printable(std::string_view text);

// Writes the request's line; a server installs it with set_logger.
void LogRequest(const httplib::Request& request, const httplib::Response& response);

}  // namespace tulix::tools
