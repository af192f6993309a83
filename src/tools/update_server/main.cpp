// tulix-update-server: publishes a folder of categories and engine definitions to the
// program's upgrade job over HTTP.
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/stop_signal.h"
#include "tools/common/http_listener.h"
#include "tools/update_server/catalogue.h"
#include "tools/update_server/server.h"

namespace tulix::update_server {
namespace {

constexpr int kUsageError = 2;

constexpr const char kUsage[] =
    "usage: tulix-update-server [OPTIONS] FOLDER\n"
    "\n"
    "Serves FOLDER, laid out like the program's categories folder, to the program's engine\n"
    "updates: the list request /tulix/getupgradelist.php and the files below\n"
    "/tulix/categories/. A file's stamp is its modification time in seconds, unless the\n"
    "manifest gives it one. Each request is logged on one line on standard error; the port\n"
    "is printed on standard output once the server listens. SIGINT or SIGTERM end it.\n"
    "\n"
    "options:\n"
    "  --address ADDR   address to listen on (default 127.0.0.1)\n"
    "  --port N         port to listen on (default 8080; 0 lets the system pick one)\n"
    "  --notice N       number on the first line of every list: 0 nothing, 1 a new\n"
    "                   program version is available, 2 the program must be updated\n"
    "                   (default 0)\n"
    "  --manifest FILE  stamps fixed by the publisher, one \"path|stamp\" or\n"
    "                   \"path|stamp|extra\" a line; a path starting \"http:\" is a page\n"
    "                   the program opens in the browser\n"
    "  --help           show this text\n";

bool ParseNumber(std::string_view text, int low, int high, int* value) {
  auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && *value >= low &&
         *value <= high;
}

// 0 when the options are complete, kUsageError after a complaint, -1 for --help.
int ParseOptions(int argc, char** argv, ServerOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      return -1;
    }
    const bool takesValue =
        arg == "--address" || arg == "--port" || arg == "--notice" || arg == "--manifest";
    if (takesValue && i + 1 >= argc) {
      std::fprintf(stderr, "tulix-update-server: %s needs a value\n", argv[i]);
      return kUsageError;
    }
    if (arg == "--address") {
      options.address = argv[++i];
    } else if (arg == "--manifest") {
      options.manifest = argv[++i];
    } else if (arg == "--port") {
      if (!ParseNumber(argv[++i], 0, 65535, &options.port)) {
        std::fprintf(stderr, "tulix-update-server: --port takes a number from 0 to 65535\n");
        return kUsageError;
      }
    } else if (arg == "--notice") {
      if (!ParseNumber(argv[++i], 0, 999999, &options.notice)) {
        std::fprintf(stderr, "tulix-update-server: --notice takes a number from 0\n");
        return kUsageError;
      }
    } else if (arg.starts_with("-") || !options.folder.empty()) {
      std::fprintf(stderr, "tulix-update-server: unexpected argument %s\n", argv[i]);
      return kUsageError;
    } else {
      options.folder = arg;
    }
  }
  if (options.folder.empty()) {
    std::fprintf(stderr, "tulix-update-server: which folder should be served?\n");
    return kUsageError;
  }
  return 0;
}

// Reads the folder and the manifest once before listening, so a mistake shows at once.
bool CheckFolder(const ServerOptions& options) {
  if (!FolderExists(options.folder)) {
    std::fprintf(stderr, "tulix-update-server: %s is not a folder\n", options.folder.c_str());
    return false;
  }
  const Catalogue catalogue =
      BuildCatalogue({options.folder, options.manifest, SystemClock().Now()});
  for (const std::string& warning : catalogue.warnings) {
    std::fprintf(stderr, "tulix-update-server: %s\n", warning.c_str());
  }
  std::fprintf(stderr, "tulix-update-server: %zu entries in %s\n", catalogue.entries.size(),
               options.folder.c_str());
  return catalogue.rootRead && catalogue.manifestRead;
}

int Serve(const ServerOptions& options) {
  UpdateServer server(options);
  return tools::ServeUntilStopSignal(
      "tulix-update-server", server, options.address, options.port, [&options](int port) {
        std::fprintf(stderr, "tulix-update-server: listening on http://%s:%d/tulix/\n",
                     options.address.c_str(), port);
      });
}

}  // namespace
}  // namespace tulix::update_server

int main(int argc, char** argv) {
  using namespace tulix::update_server;
  // Before any thread starts, so that every thread inherits the blocked signals.
  tulix::BlockStopSignals();
  ServerOptions options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed != 0) {
    std::fputs(kUsage, parsed < 0 ? stdout : stderr);
    return parsed < 0 ? 0 : parsed;
  }
  if (!CheckFolder(options)) {
    return 1;
  }
  return Serve(options);
}
