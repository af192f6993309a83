// The update server's side of an upgrade as the program sees it: where the server is, the list
// request that asks it what changed, and the list it answers with.
//
// The list is text: the notice number on the first line, then one line per file,
// "folder|file|stamp|extra". Entries keep the backslash between folder and file, as every
// path below the categories folder does inside the program.
//
// Thread safety: pure functions, except UpdateServerSetting, which reads the settings store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tulix {

// One file the server says is new or changed.
struct UpgradeFileEntry {
  std::string stamp;  // decimal text, as sent
  std::string extra;  // the line's fourth field; kept, not used
  std::string path;   // folder\file, or file alone when the folder is empty
};

struct UpgradeList {
  int notice = 0;
  std::vector<UpgradeFileEntry> files;
  int skippedLines = 0;  // lines with a stamp that is empty or not a number
};

// Reads a list. Lines end at a carriage return or a line feed; lines without a usable stamp are
// skipped (an empty one silently, one that is not a plain decimal number counted in
// skippedLines). A first line that is not a number reads as notice 0.
UpgradeList ParseUpgradeList(std::string_view text);

// True for a stamp of decimal digits with at most one "." among them.
bool IsPlainDecimal(std::string_view stamp);

// The names of a list of category names each followed by "|", without empty ones.
std::vector<std::string> SplitCategoryNames(std::string_view names);

// What the list request asks.
struct UpgradeListQuery {
  std::string ctimestamp;
  std::string timestamp;
  std::string category;
  std::string version;
  std::string domains;
  bool fullDownload = false;
  // The browser library asks with "&b=1" added.
  bool fromBrowserLibrary = false;
};

// "/tulix/getupgradelist.php?ctimestamp=..&timestamp=..&category=..&v=..&d=..&a=..", values as
// they are. nullopt when a value holds a control character: it could end the request line or
// start a header of its own, so such a request is never sent. `refused` names the parameter.
std::optional<std::string> BuildUpgradeListObject(const UpgradeListQuery& query,
                                                  std::string* refused);

// The request object of an entry's file: "/tulix/categories/" and the path with "/" between
// folder and file.
std::string UpgradeFileObject(std::string_view path);

// True for a path that may be written below the categories folder: relative, without ".."
// components and without control characters.
bool IsSafeUpgradePath(std::string_view path);

// True for an entry that names a web page ("http:" at the start).
bool IsWebPageEntry(std::string_view path);
// The browser library's wider rule: also a name ending in ".php", ".htm" or ".html".
bool IsWebPageEntryForBrowserLibrary(std::string_view path);
// True for a plain http address the browser may be given: "http://", a server, no blanks,
// control characters or quotes.
bool IsPlainHttpAddress(std::string_view address);
// As IsPlainHttpAddress, and also "https://" addresses while https is on: where the update
// server may send the program on.
bool IsWebAddressToFollow(std::string_view address);

struct UpdateServerAddress {
  std::string host;
  uint16_t port = 80;
  bool secure = false;  // asked over https
};

// Reads "host", "host:port", "http://host[:port][/]" or, while https is on,
// "https://host[:port][/]" (port 443 unless given). nullopt for an empty host, a port that is
// not a number from 1 to 65535, or another scheme.
std::optional<UpdateServerAddress> ParseUpdateServer(std::string_view text);

// The server the program asks: the setting Behaviour\UpdateServer, or the built-in default
// when it is missing or empty.
std::string UpdateServerSetting();
std::string_view DefaultUpdateServer();
// Whether the user named an update server: Behaviour\UpdateServer is present and not empty.
bool UpdateServerIsSet();

}  // namespace tulix
