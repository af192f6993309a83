// Folder listing, renaming and removal over internal paths (a backslash is a separator), for
// the trees that mirror folders on disk.
//
// These follow what the Windows calls they replace did: a rename never replaces an existing
// file or folder, and removing a folder removes an empty folder only, so nothing the caller
// did not name is ever lost.
//
// Thread safety: all functions may be called from any thread. Failures set the calling
// thread's last error (platform/last_error.h).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tulix {

// What a folder entry is once symbolic links are followed. A link that leads nowhere, a
// device, a pipe or a socket is kOther.
enum class EntryKind { kFile, kFolder, kOther };

// Identifies a file or folder on its device, so a walk can tell when a link leads back to a
// folder it has already seen.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  auto operator<=>(const FileId&) const = default;
};

struct FolderEntry {
  std::string name;  // the bare name, never "." or ".."
  EntryKind kind = EntryKind::kOther;
  FileId id;  // filled for folders only
};

// The entries of a folder in the order the system lists them. nullopt when the path cannot be
// listed (missing, not a folder, not readable).
std::optional<std::vector<FolderEntry>> ListFolder(std::string_view path);

// The identity of an existing folder; nullopt when the path is not a folder.
std::optional<FileId> FolderIdOf(std::string_view path);

// The last modification time of a file or folder, in seconds since 1970; nullopt when the path
// does not exist.
std::optional<int64_t> ModificationTimeOf(std::string_view path);

// Renames a file or folder. Fails, changing nothing, when `to` already exists.
bool RenamePath(std::string_view from, std::string_view to);

// Removes a folder that is empty. Fails when it holds anything or does not exist.
bool RemoveEmptyFolder(std::string_view path);

}  // namespace tulix
