// The start-up scan: builds a tree from a folder on disk. Run once for the categories folder
// (categories and engine definitions) and once for the searches folder (search folders and
// saved searches); the factory decides which nodes a folder and a ".ini" file become.
//
// Each folder below the scanned one becomes a folder node and each file whose name ends in
// ".ini" (exactly, in lower case) a leaf; other entries are passed over. Within a folder the
// scan takes the entries by name (byte order, so "B" before "a"), whatever order the file
// system lists them in, a folder coming before its contents. Every node is added before it
// loads its file, so at that moment its order is still 0: it goes before the first sibling
// already loaded with a positive order. Siblings that load a positive order therefore end up
// in the reverse of name order.
//
// The scan never reads a file itself: only the nodes' Load() do, once each.
//
// Thread safety: the scan touches nothing shared but the files; the tree it returns belongs
// to the caller.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "definitions/tree.h"

namespace tulix {

// One entry found by the scan, in the order found.
struct ScanRecord {
  std::string folderPath;  // tree path of the folder that holds it (empty: the top)
  std::string name;        // folder name, or file name without ".ini"
  bool isFolder = false;
};

// Lists `folder` (internal path) and everything below it. A missing folder gives nothing; one
// that cannot be listed gives nothing from it and a logged error. Folders reached again
// through links are passed over, and so are names holding a backslash, which cannot be told
// apart from a path inside the program.
std::vector<ScanRecord> RecordTreeFolder(const std::string& folder);

// Records `folder`, creates the tree with its root, then, record by record, creates the node,
// adds it under its folder and lets it load its file.
std::unique_ptr<Tree> ScanTree(const std::string& folder, TreeNodeFactory factory);

}  // namespace tulix
