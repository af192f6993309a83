// The answer to the program's list request: which published files a client should download,
// given the time stamps it holds and the categories it asks about.
//
// Two stamps come with a request. `timestamp` is the asking category's own stamp and covers
// the files inside the folders of the asked categories (each name also covers its
// sub-categories' folders, since their engines reach the program through it). `ctimestamp` is
// the program-wide stamp and covers everything every installation shares whatever it asks:
// the files at the top of the folder (site and keyword lists), every category's ".cat" file
// and icon at any depth (that is how a new category reaches the program), and the manifest's
// web pages. An empty or unreadable stamp, or `a` other than 0, asks for everything.
//
// A category whose ".cat" file is listed by the program-wide stamp while none of the asked
// names covers it is new to the client: its folder is listed whole, whatever `timestamp` says.
// The program takes the category's stamp from its ".cat" file and asks later only for newer
// files, so an engine older than that file would otherwise never reach it.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/update_server/catalogue.h"

namespace tulix::update_server {

struct ListQuery {
  std::string ctimestamp;
  std::string timestamp;
  std::string category;  // one name, or several each followed by "|"
  std::string version;   // v
  std::string domains;   // d
  std::string all;       // a
};

// Reads the parameters of a request target ("/path?ctimestamp=..&timestamp=..."). Values are
// taken as the program wrote them; only the percent-encoding its HTTP layer adds for blanks and
// control characters is undone. Unknown parameters are ignored.
ListQuery ParseListQuery(std::string_view target);

// The names in `category`, split at "|", without empty ones.
std::vector<std::string> CategoryNames(std::string_view category);

// The whole list: the notice number on the first line, then "folder|file|stamp|extra" for each
// entry the request should download, each line ending in a line feed.
std::string BuildUpgradeList(const Catalogue& catalogue, const ListQuery& query, int notice);

}  // namespace tulix::update_server
