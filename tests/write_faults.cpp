#include "write_faults.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tulix::test {
namespace {

// Written only while nothing is armed; `armed` publishes it to the writing threads.
struct Watch {
  char folder[PATH_MAX + 1] = {};  // real path, with a trailing slash
  size_t folderLength = 0;
  int failAt = 0;
  int error = 0;
  std::atomic<bool> armed{false};
  std::atomic<int> calls{0};
  std::atomic<bool> injected{false};
  char failedPath[PATH_MAX] = {};  // written before `injected` is set
};

Watch g_watch;

// True when `fd` is open on a file below the folder; `target` then holds its path.
bool IsWatched(int fd, char (&target)[PATH_MAX]) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n <= 0) {
    return false;
  }
  target[n] = '\0';
  return static_cast<size_t>(n) > g_watch.folderLength &&
         std::memcmp(target, g_watch.folder, g_watch.folderLength) == 0;
}

// True when this call is to fail; errno is then set.
bool FailThisCall(int fd) {
  char target[PATH_MAX];
  if (!g_watch.armed.load(std::memory_order_acquire) || !IsWatched(fd, target)) {
    return false;
  }
  const int call = g_watch.calls.fetch_add(1) + 1;
  if (call != g_watch.failAt) {
    return false;
  }
  std::memcpy(g_watch.failedPath, target, sizeof target);
  g_watch.injected.store(true);
  errno = g_watch.error;
  return true;
}

template <class Function>
Function Next(const char* name) {
  void* next = ::dlsym(RTLD_NEXT, name);
  if (next == nullptr) {
    std::abort();  // nothing below us to write with
  }
  return reinterpret_cast<Function>(next);
}

}  // namespace

WriteFaults::WriteFaults(const std::string& folder, int failAt, int error) {
  if (g_watch.armed.load()) {
    throw std::logic_error("write faults are already armed");
  }
  char real[PATH_MAX];
  if (::realpath(folder.c_str(), real) == nullptr) {
    throw std::runtime_error("no folder " + folder);
  }
  const int length = std::snprintf(g_watch.folder, sizeof g_watch.folder, "%s/", real);
  g_watch.folderLength = static_cast<size_t>(length);
  g_watch.failAt = failAt;
  g_watch.error = error;
  g_watch.calls.store(0);
  g_watch.injected.store(false);
  g_watch.failedPath[0] = '\0';
  g_watch.armed.store(true, std::memory_order_release);
}

WriteFaults::~WriteFaults() {
  g_watch.armed.store(false);
}

int WriteFaults::Calls() const {
  return g_watch.calls.load();
}

bool WriteFaults::Injected() const {
  return g_watch.injected.load();
}

std::string WriteFaults::FailedPath() const {
  return Injected() ? std::string(g_watch.failedPath) : std::string();
}

}  // namespace tulix::test

using tulix::test::FailThisCall;
using tulix::test::Next;

extern "C" {

ssize_t write(int fd, const void* buffer, size_t count) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  return FailThisCall(fd) ? -1 : next(fd, buffer, count);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return FailThisCall(fd) ? -1 : next(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
  static const auto next = Next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  return FailThisCall(fd) ? -1 : next(fd, buffer, count, offset);
}

ssize_t writev(int fd, const struct iovec* vector, int count) {
  static const auto next = Next<ssize_t (*)(int, const struct iovec*, int)>("writev");
  return FailThisCall(fd) ? -1 : next(fd, vector, count);
}

}  // extern "C"
