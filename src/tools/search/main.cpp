// tulix-search: a metasearch from the command line, through the same core as the desktop
// program (job manager, workers, engine updates, saved searches).
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/engine_definition.h"
#include "platform/stop_signal.h"
#include "tools/search/search_output.h"
#include "tools/search/search_session.h"

namespace tulix::search_tool {
namespace {

constexpr const char kUsage[] =
    "usage: tulix-search [OPTIONS] WORDS...\n"
    "       tulix-search --list [--json]\n"
    "       tulix-search --show NAME [--sort KEY] [--json]\n"
    "       tulix-search --mark NAME NUMBER relevant|ranked|irrelevant\n"
    "\n"
    "Asks the engines of a category for WORDS, merges and ranks what they find, prints the\n"
    "results and stores the search in the searches folder, as the desktop program does.\n"
    "Searching the same words again (same category and type) runs the stored search again:\n"
    "results found again keep their marks and visit times. Progress is shown on standard\n"
    "error when it is a terminal. The first search of a new program folder downloads the\n"
    "engines from the update server (setting Behaviour\\UpdateServer).\n"
    "\n"
    "options:\n"
    "  --category NAME  category to search (default web)\n"
    "  --type T         all, any or exact: all the words, any of them, the exact phrase\n"
    "                   (default all)\n"
    "  --engines N      engines to ask (default: the category's number)\n"
    "  --per-engine N   results wanted from each engine (default: the category's number)\n"
    "  --shopping N     shopping policy 1-100: low drops shops, high keeps only shops\n"
    "                   (default 50)\n"
    "  --sort KEY       rank, engines, percent, combined or keywords (default combined)\n"
    "  --json           print JSON instead of text\n"
    "  --update-server ADDRESS\n"
    "                   the update server to use from now on (host, host:port or\n"
    "                   http://host:port), stored as the setting Behaviour\\UpdateServer\n"
    "  --list           list the saved searches: name, category, results, words\n"
    "  --show NAME      print a saved search's results without searching (NAME as --list\n"
    "                   shows it, or the search words)\n"
    "  --mark NAME NUMBER MARK\n"
    "                   mark result NUMBER (as listings number them) of a saved search\n"
    "  --help           show this text\n"
    "\n"
    "Jobs are started at once and run side by side (up to the setting Tasks\\MaxTasks);\n"
    "the desktop program paces them more slowly for the tasks pane.\n"
    "\n"
    "exit status: 0 results found, 1 nothing found, 2 bad usage, 3 unknown category,\n"
    "4 no engine may be asked, 5 every engine failed, 6 the search could not be stored,\n"
    "7 no engines installed and none downloaded, 8 interrupted\n";

enum class Command { kSearch, kList, kShow, kMark, kHelp };

struct Options {
  Command command = Command::kSearch;
  SearchRequest request;
  std::string name;
  int number = 0;
  int mark = -1;
  std::string updateServer;
};

bool ParseNumber(std::string_view text, int low, int high, int* value) {
  auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && *value >= low &&
         *value <= high;
}

bool Complain(const char* format, const char* argument) {
  std::fputs("tulix-search: ", stderr);
  std::fprintf(stderr, format, argument);
  std::fputs("\n", stderr);
  return false;
}

bool ParseType(std::string_view text, int* type) {
  if (text == "all") {
    *type = kSearchAllWords;
  } else if (text == "any") {
    *type = kSearchAnyWords;
  } else if (text == "exact") {
    *type = kSearchExactPhrase;
  } else {
    return false;
  }
  return true;
}

// Reads the value of the option at argv[i]; false after a complaint.
bool ParseOption(int argc, char** argv, int& i, Options& options) {
  const std::string_view arg = argv[i];
  SearchRequest& request = options.request;
  if (i + 1 >= argc) {
    return Complain("%s needs a value", argv[i]);
  }
  const char* value = argv[++i];
  if (arg == "--category") {
    request.settings.category = value;
  } else if (arg == "--type") {
    if (!ParseType(value, &request.settings.type)) {
      return Complain("--type takes all, any or exact, not %s", value);
    }
  } else if (arg == "--engines") {
    if (!ParseNumber(value, 1, 1000, &request.settings.engineCount)) {
      return Complain("--engines takes a number from 1 to 1000, not %s", value);
    }
    request.engineCountGiven = true;
  } else if (arg == "--per-engine") {
    if (!ParseNumber(value, 1, 10000, &request.settings.perEngine)) {
      return Complain("--per-engine takes a number from 1 to 10000, not %s", value);
    }
    request.perEngineGiven = true;
  } else if (arg == "--shopping") {
    if (!ParseNumber(value, 1, 100, &request.settings.shopping)) {
      return Complain("--shopping takes a number from 1 to 100, not %s", value);
    }
    request.shoppingGiven = true;
  } else if (arg == "--sort") {
    request.sortKey = SortKeyOf(value);
    if (request.sortKey == 0) {
      return Complain("--sort takes rank, engines, percent, combined or keywords, not %s",
                      value);
    }
  } else if (arg == "--update-server") {
    options.updateServer = value;
  } else if (arg == "--show") {
    options.command = Command::kShow;
    options.name = value;
  } else if (arg == "--mark") {
    if (i + 2 >= argc) {
      return Complain("%s needs a search, a result number and a mark", "--mark");
    }
    options.command = Command::kMark;
    options.name = value;
    if (!ParseNumber(argv[++i], 1, 1 << 30, &options.number)) {
      return Complain("--mark needs a result number from 1, not %s", argv[i]);
    }
    options.mark = MarkOf(argv[++i]);
    if (options.mark < 0) {
      return Complain("a result is marked relevant, ranked or irrelevant, not %s", argv[i]);
    }
  } else {
    return Complain("unknown option %s", argv[i - 1]);
  }
  return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  options.request.settings.category = "web";
  options.request.settings.type = kSearchAllWords;
  options.request.sortKey = SortKeyOf("combined");
  std::vector<std::string> words;
  bool wordsOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (wordsOnly || !arg.starts_with("--")) {
      words.emplace_back(arg);
    } else if (arg == "--") {
      wordsOnly = true;
    } else if (arg == "--help") {
      options.command = Command::kHelp;
      return true;
    } else if (arg == "--json") {
      options.request.json = true;
    } else if (arg == "--list") {
      options.command = Command::kList;
    } else if (!ParseOption(argc, argv, i, options)) {
      return false;
    }
  }
  for (const std::string& word : words) {
    options.request.words += (options.request.words.empty() ? "" : " ") + word;
  }
  if (options.command == Command::kSearch &&
      options.request.words.find_first_not_of(" \t\r\n") == std::string::npos) {
    return Complain("%s", "what should be searched for? Give some words.");
  }
  if (options.command != Command::kSearch && !words.empty()) {
    return Complain("unexpected words after the command: %s", words.front().c_str());
  }
  return true;
}

}  // namespace
}  // namespace tulix::search_tool

int main(int argc, char** argv) {
  using namespace tulix::search_tool;
  // Before any thread starts, so that a SIGINT waits for the search to take it.
  tulix::BlockStopSignals();
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs("Try tulix-search --help.\n", stderr);
    return kExitUsage;
  }
  if (!options.updateServer.empty() && !StoreUpdateServer(options.updateServer)) {
    return kExitUsage;
  }
  switch (options.command) {
    case Command::kHelp:
      std::fputs(kUsage, stdout);
      return kExitOk;
    case Command::kList:
      return ListSearches(options.request.json);
    case Command::kShow:
      return ShowSearch(options.name, options.request.sortKey, options.request.json);
    case Command::kMark:
      return MarkSearchResult(options.name, options.number, options.mark);
    case Command::kSearch:
      break;
  }
  return RunSearch(options.request);
}
