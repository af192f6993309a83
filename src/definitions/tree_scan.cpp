#include "definitions/tree_scan.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "base/log.h"
#include "platform/file_system.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace tulix {

namespace {

constexpr std::string_view kLeafExtension = ".ini";

bool HasLeafExtension(std::string_view name) {
  return name.size() >= kLeafExtension.size() &&
         name.substr(name.size() - kLeafExtension.size()) == kLeafExtension;
}

class FolderRecorder {
 public:
  explicit FolderRecorder(std::vector<ScanRecord>& records) : m_records(records) {}

  void Start(const std::string& folder) {
    if (auto id = FolderIdOf(folder)) {
      m_seen.insert(*id);
    }
    Record(folder, "", true);
  }

 private:
  void Record(const std::string& diskFolder, const std::string& treePath, bool isTop) {
    auto entries = ListFolder(diskFolder);
    if (!entries) {
      // No searches folder yet is the normal state of a fresh install, not an error.
      if (!(isTop && GetLastError() == kErrorFileNotFound)) {
        LogMessage(0, kLogError, "Cannot read folder %s", diskFolder.c_str());
      }
      return;
    }
    // File systems list a folder in an order of their own (ext4 by hash), which would make the
    // trees differ from machine to machine; by name they are the same everywhere.
    std::sort(entries->begin(), entries->end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    for (const FolderEntry& entry : *entries) {
      const bool isFolder = entry.kind == EntryKind::kFolder;
      if (!isFolder && !(entry.kind == EntryKind::kFile && HasLeafExtension(entry.name))) {
        continue;
      }
      const std::string diskPath = JoinPath(diskFolder, entry.name);
      if (entry.name.find('\\') != std::string::npos) {
        LogMessage(0, kLogWarning, "Ignoring %s: a backslash in its name", diskPath.c_str());
        continue;
      }
      if (!isFolder) {
        m_records.push_back(
            {treePath, entry.name.substr(0, entry.name.size() - kLeafExtension.size()), false});
        continue;
      }
      // A link back up the tree would otherwise be walked for ever.
      if (!m_seen.insert(entry.id).second) {
        Trace("Folder %s seen before, not scanned again\n", diskPath.c_str());
        continue;
      }
      m_records.push_back({treePath, entry.name, true});
      Record(diskPath, JoinPath(treePath, entry.name), false);
    }
  }

  std::vector<ScanRecord>& m_records;
  std::set<FileId> m_seen;
};

}  // namespace

std::vector<ScanRecord> RecordTreeFolder(const std::string& folder) {
  std::vector<ScanRecord> records;
  FolderRecorder(records).Start(folder);
  return records;
}

std::unique_ptr<Tree> ScanTree(const std::string& folder, TreeNodeFactory factory) {
  std::vector<ScanRecord> records = RecordTreeFolder(folder);
  auto tree = std::make_unique<Tree>(folder, std::move(factory));
  const TreeNodeFactory& create = tree->factory();
  for (const ScanRecord& record : records) {
    const std::string path = JoinPath(record.folderPath, record.name);
    const auto& make = record.isFolder ? create.createFolder : create.createLeaf;
    std::unique_ptr<TreeNode> node = make ? make(path) : nullptr;
    if (node == nullptr) {
      continue;
    }
    if (record.isFolder) {
      node->kind = kFolderNode;
    }
    node->name = record.name;
    if (TreeNode* added = tree->Add(record.folderPath, std::move(node))) {
      added->Load();
    }
  }
  return tree;
}

}  // namespace tulix
