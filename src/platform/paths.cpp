#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/last_error.h"

namespace tulix {

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && IsSeparator(path.back())) {
    path.pop_back();
  }
  return path;
}

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool IsWritableFolder(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0;
}

bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    content.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::string JoinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) {
    return std::string(name);
  }
  std::string joined(folder);
  if (!IsSeparator(joined.back())) {
    joined += '\\';
  }
  joined += name;
  return joined;
}

std::string ToFileSystemPath(std::string_view path) {
  std::string converted(path);
  for (char& c : converted) {
    if (c == '\\') {
      c = '/';
    }
  }
  return converted;
}

std::string_view FileNameOf(std::string_view path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view FolderOf(std::string_view path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string ExecutableFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    return {};
  }
  return exe.parent_path().string();
}

std::string ProgramFolder() {
  std::string home = EnvOrEmpty("TULIX_HOME");
  if (!home.empty()) {
    home = WithoutTrailingSeparator(home);
    MakeFolders(home);
    return home;
  }
  std::string exeFolder = ExecutableFolder();
  if (!exeFolder.empty() && FolderExists(JoinPath(exeFolder, "categories")) &&
      IsWritableFolder(exeFolder)) {
    return exeFolder;
  }
  std::string data = EnvOrEmpty("XDG_DATA_HOME");
  if (data.empty()) {
    data = JoinPath(EnvOrEmpty("HOME"), ".local/share");
  }
  std::string folder = ToFileSystemPath(JoinPath(WithoutTrailingSeparator(data), "tulix"));
  MakeFolders(folder);
  return folder;
}

std::string TempFolder() {
  std::string tmp = EnvOrEmpty("TMPDIR");
  return tmp.empty() ? std::string("/tmp") : WithoutTrailingSeparator(tmp);
}

bool FileExists(std::string_view path) {
  struct stat st;
  return ::stat(ToFileSystemPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(std::string_view path) {
  struct stat st;
  return ::stat(ToFileSystemPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolders(std::string_view path) {
  std::error_code ec;
  std::filesystem::create_directories(ToFileSystemPath(path), ec);
  if (ec) {
    SetLastError(ErrorFromErrno(ec.value()));
  }
  return FolderExists(path);
}

std::optional<std::string> ReadWholeFile(std::string_view path) {
  int fd = ::open(ToFileSystemPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return std::nullopt;
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      SetLastError(ErrorFromErrno(errno));
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

bool WriteFileAtomically(std::string_view path, std::string_view content) {
  std::string target = ToFileSystemPath(path);
  std::string temp = target + ".tmp-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  // mkstemp creates the file readable by its owner only; data files are ordinary files.
  ::fchmod(fd, 0644);
  bool ok = WriteAll(fd, content);
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    SetLastError(ErrorFromErrno(err));
  }
  return ok;
}

NewFileResult CreatePrivateFile(std::string_view path, std::string_view content) {
  const std::string target = ToFileSystemPath(path);
  int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) {
      return NewFileResult::kNameTaken;
    }
    SetLastError(ErrorFromErrno(errno));
    return NewFileResult::kFailed;
  }
  bool ok = WriteAll(fd, content);
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(target.c_str());
    SetLastError(ErrorFromErrno(err));
    return NewFileResult::kFailed;
  }
  return NewFileResult::kCreated;
}

bool RemoveFile(std::string_view path) {
  if (::unlink(ToFileSystemPath(path).c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  return true;
}

}  // namespace tulix
