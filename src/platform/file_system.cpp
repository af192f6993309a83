#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/last_error.h"
#include "platform/paths.h"

namespace tulix {

namespace {

bool Fail(int err) {
  SetLastError(ErrorFromErrno(err));
  return false;
}

EntryKind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) {
    return EntryKind::kFile;
  }
  if (S_ISDIR(st.st_mode)) {
    return EntryKind::kFolder;
  }
  return EntryKind::kOther;
}

// Closes the listing however the function leaves.
struct DirCloser {
  DIR* dir;
  ~DirCloser() { ::closedir(dir); }
};

}  // namespace

std::optional<std::vector<FolderEntry>> ListFolder(std::string_view path) {
  DIR* dir = ::opendir(ToFileSystemPath(path).c_str());
  if (dir == nullptr) {
    Fail(errno);
    return std::nullopt;
  }
  DirCloser closer{dir};
  const int dirFd = ::dirfd(dir);
  std::vector<FolderEntry> entries;
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) {
        Fail(errno);
        return std::nullopt;
      }
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    FolderEntry item;
    item.name = entry->d_name;
    // Most entries are plain files, and the listing already says so: no need to ask again.
    if (entry->d_type == DT_REG) {
      item.kind = EntryKind::kFile;
      entries.push_back(std::move(item));
      continue;
    }
    struct stat st;
    // Links are followed, as the folder shows them to the user; a broken one is kOther.
    if (::fstatat(dirFd, entry->d_name, &st, 0) == 0) {
      item.kind = KindOf(st);
      if (item.kind == EntryKind::kFolder) {
        item.id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
      }
    }
    entries.push_back(std::move(item));
  }
  return entries;
}

std::optional<FileId> FolderIdOf(std::string_view path) {
  struct stat st;
  if (::stat(ToFileSystemPath(path).c_str(), &st) != 0) {
    Fail(errno);
    return std::nullopt;
  }
  if (!S_ISDIR(st.st_mode)) {
    Fail(ENOTDIR);
    return std::nullopt;
  }
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::optional<int64_t> ModificationTimeOf(std::string_view path) {
  struct stat st;
  if (::stat(ToFileSystemPath(path).c_str(), &st) != 0) {
    Fail(errno);
    return std::nullopt;
  }
  return static_cast<int64_t>(st.st_mtim.tv_sec);
}

bool RenamePath(std::string_view from, std::string_view to) {
  const std::string source = ToFileSystemPath(from);
  const std::string target = ToFileSystemPath(to);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    return Fail(errno);
  }
  // A file system without the no-replace flag: check first. Another process could slip in
  // between, which is as much as such a file system allows.
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) {
    return Fail(EEXIST);
  }
  if (::rename(source.c_str(), target.c_str()) != 0) {
    return Fail(errno);
  }
  return true;
}

bool RemoveEmptyFolder(std::string_view path) {
  if (::rmdir(ToFileSystemPath(path).c_str()) != 0) {
    return Fail(errno);
  }
  return true;
}

}  // namespace tulix
