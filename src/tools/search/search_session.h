// One run of tulix-search: starts the application core as the desktop program does (with the
// command line's faster pacing), waits for a first engine download, then lists, shows, marks or
// runs a search and stores it.
//
// The log takes over standard error once the core starts (everything written there lands in
// tulix.log), so the session keeps its own copy of the terminal's standard error for progress
// and messages.
//
// Thread safety: main thread only.
#pragma once

#include <string>

#include "results/saved_search.h"

namespace tulix::search_tool {

// Exit statuses, also listed in the usage text.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNothingFound = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnknownCategory = 3;
inline constexpr int kExitNoEngine = 4;
inline constexpr int kExitAllEnginesFailed = 5;
inline constexpr int kExitNotStored = 6;
inline constexpr int kExitNoEngineSet = 7;
inline constexpr int kExitInterrupted = 8;

struct SearchRequest {
  std::string words;
  SearchSettings settings;  // category, type, engines, per engine, shopping (-1: keep/default)
  bool engineCountGiven = false;
  bool perEngineGiven = false;
  bool shoppingGiven = false;
  int sortKey = 0;
  bool json = false;
};

// Stores the update server's address in the settings store; false, said, when it could not.
bool StoreUpdateServer(const std::string& address);
// Runs the search and prints its results; returns the exit status.
int RunSearch(const SearchRequest& request);
// --list
int ListSearches(bool json);
// --show NAME
int ShowSearch(const std::string& name, int sortKey, bool json);
// --mark NAME NUMBER MARK
int MarkSearchResult(const std::string& name, int number, int mark);

}  // namespace tulix::search_tool
