// What the update server publishes: every file below the served folder with its time stamp,
// sorted into the kinds of files that a list request treats differently.
//
// A stamp is a file's modification time in seconds, unless the manifest gives the file a stamp
// of its own. The catalogue is built afresh for every request, so a publisher changes what is
// served by changing the folder, without a restart.
//
// Thread safety: a built catalogue is a plain value; building one only reads files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tulix::update_server {

enum class EntryKind {
  kWebPage,       // an address from the manifest that the program opens in the browser
  kProgramFile,   // a file at the top of the folder: the site list, the keyword list and such
  kCategoryFile,  // a category's ".cat" file or its icon, at any depth
  kFolderFile,    // any other file inside a category's folder (engines, states, icons)
};

struct CatalogueEntry {
  EntryKind kind = EntryKind::kFolderFile;
  std::string folder;  // folder names joined with a backslash; empty at the top
  std::string file;    // the file's name, or the address of a web page
  std::string stamp;   // a decimal number as text, sent as it is
  double stampValue = 0;
  std::string extra;  // the list's fourth field, from the manifest; usually empty
  // A file changed within the current second (or dated in the future) is held back from the
  // lists: a client that took its stamp could miss a second change in that same second.
  bool settled = true;

  // folder + "\" + file, or the file alone at the top.
  std::string Path() const;
  // For a category file: the category's tree path (the path without its extension).
  std::string CategoryPath() const;
};

struct CatalogueOptions {
  std::string root;      // the served folder, as the operating system names it
  std::string manifest;  // empty for none
  int64_t now = 0;       // seconds since 1970
};

struct Catalogue {
  std::vector<CatalogueEntry> entries;  // web pages, program files, category files, folder files
  // Files that cannot be published and manifest lines that were not understood, one a line.
  std::vector<std::string> warnings;
  bool manifestRead = true;  // false when a manifest was named and could not be read
  bool rootRead = true;      // false when the served folder could not be listed

  // The file entry (never a web page) whose path equals `path`, read with either separator.
  const CatalogueEntry* FindFile(std::string_view path) const;
  CatalogueEntry* FindFile(std::string_view path);
};

Catalogue BuildCatalogue(const CatalogueOptions& options);

// The number a stamp text stands for; false when the text is not a plain decimal number
// (digits with at most one decimal point).
bool ParseStamp(std::string_view text, double* value);

}  // namespace tulix::update_server
