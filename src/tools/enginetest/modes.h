// The modes of tulix-enginetest, the engine author's tool. Each mode is one function that gets
// the arguments after its name and returns the process exit status; it prints its results on
// standard output and its complaints on standard error.
//
// A new mode is a new file in this folder with its function declared here and one row in the
// table of main.cpp.
#pragma once

#include <string>
#include <vector>

namespace tulix::enginetest {

// Exit status of a mode called with arguments it does not understand.
inline constexpr int kUsageError = 2;

// tokens FILE [--json]: every token of a saved page, one a line.
int RunTokensMode(const std::vector<std::string>& args);

// request ENGINE.ini --query WORDS [...]: the first request of a search for one engine.
int RunRequestMode(const std::vector<std::string>& args);

// run ENGINE.ini PAGE.html [--query WORDS] [--base URL] [--all] [--json]: walks a saved page
// with the engine's script as a search job would and prints the hits and the queued requests.
int RunRunMode(const std::vector<std::string>& args);

// fetch ENGINE.ini --query WORDS [--type all|any|exact] [--output FILE]: fetches the engine's
// first page exactly as a search job would.
int RunFetchMode(const std::vector<std::string>& args);

}  // namespace tulix::enginetest
