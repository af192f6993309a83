#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "platform/registry_store.h"
#include "platform/trace.h"

namespace tulix {

namespace {

// What a second copy sends and what the first answers once the window was shown.
constexpr char kShowRequest = 'S';
constexpr char kShown = 'Y';

// How long either side waits for the other's byte: a copy that connects and then says nothing
// must not hold up the next one for long, nor may a hung first copy hang the second.
constexpr int kAnswerTimeoutMs = 5000;
constexpr int kRequestTimeoutMs = 2000;

// FNV-1a: a stable name for a settings store path, the same in every copy.
uint64_t HashOf(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string InstanceFolder(const std::string& registryPath) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    return runtime;
  }
  return std::filesystem::path(registryPath).parent_path().string();
}

std::string AbsoluteRegistryPath() {
  std::filesystem::path path(RegistryStore::DefaultPath());
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return (ec ? path : absolute).lexically_normal().string();
}

// Opens the lock file without following a link at its name. A link found there was planted (we
// only ever create a plain file) and is removed, so it can neither redirect nor block us.
int OpenLockFile(const std::string& path) {
  const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0 && errno == ELOOP) {
    Trace("SingleInstance: removing a link planted at %s\n", path.c_str());
    ::unlink(path.c_str());
    fd = ::open(path.c_str(), flags, 0600);
  }
  if (fd < 0) {
    Trace("SingleInstance: cannot open %s: errno %d\n", path.c_str(), errno);
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    Trace("SingleInstance: %s is not a file of ours\n", path.c_str());
    ::close(fd);
    return -1;
  }
  if ((st.st_mode & 07777) != 0600) {
    ::fchmod(fd, 0600);
  }
  return fd;
}

// A socket address for `path`. A path too long for sockaddr_un is reached through the folder's
// descriptor in /proc instead; *folderFd then holds it and the caller closes it after use.
bool MakeAddress(const std::string& path, sockaddr_un* address, socklen_t* length, int* folderFd) {
  *folderFd = -1;
  std::string name = path;
  if (name.size() >= sizeof(address->sun_path)) {
    std::filesystem::path p(path);
    *folderFd = ::open(p.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*folderFd < 0) {
      return false;
    }
    name = "/proc/self/fd/" + std::to_string(*folderFd) + "/" + p.filename().string();
    if (name.size() >= sizeof(address->sun_path)) {
      ::close(*folderFd);
      *folderFd = -1;
      return false;
    }
  }
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  name.copy(address->sun_path, name.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
  return true;
}

void CloseIfOpen(int* fd) {
  if (*fd >= 0) {
    ::close(*fd);
    *fd = -1;
  }
}

bool PeerIsUs(int fd) {
  ucred peer{};
  socklen_t size = sizeof(peer);
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

// Waits for one byte; false on time-out, end of stream or error.
bool ReadByte(int fd, char* byte, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) {
      return false;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return false;
    }
    ssize_t n = ::recv(fd, byte, 1, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return n == 1;
  }
}

bool SendByte(int fd, char byte) {
  ssize_t n;
  do {
    n = ::send(fd, &byte, 1, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

}  // namespace

SingleInstance::SingleInstance() {
  std::string registry = AbsoluteRegistryPath();
  m_folder = InstanceFolder(registry);
  char name[64];
  std::snprintf(name, sizeof(name), "tulix-%u-%016llx", static_cast<unsigned>(::geteuid()),
                static_cast<unsigned long long>(HashOf(registry)));
  m_lockPath = m_folder + "/" + name + ".lock";
  m_socketPath = m_folder + "/" + name + ".sock";
}

SingleInstance::~SingleInstance() {
  if (m_thread.joinable()) {
    uint64_t one = 1;
    while (::write(m_stopFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
    m_thread.join();
  }
  if (m_listenFd >= 0) {
    // Still under the lock: no other copy can have bound a socket of its own at this name.
    ::unlink(m_socketPath.c_str());
  }
  CloseIfOpen(&m_listenFd);
  CloseIfOpen(&m_stopFd);
  // Closing the descriptor releases the lock. The file stays: removing it would let a copy
  // that opened it a moment ago lock a file no one else can see any more.
  CloseIfOpen(&m_lockFd);
}

bool SingleInstance::Acquire() {
  if (m_lockFd >= 0) {
    return true;
  }
  std::error_code ec;
  std::filesystem::create_directories(m_folder, ec);
  int fd = OpenLockFile(m_lockPath);
  if (fd < 0) {
    return false;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return false;
  }
  m_lockFd = fd;
  // A copy that died left its socket behind; while it is there a second copy would take this
  // one's start-up for a finished one that does not answer. Nothing else may use the name now.
  ::unlink(m_socketPath.c_str());
  return true;
}

bool SingleInstance::PublishWindow(std::function<void()> showWindow) {
  if (m_lockFd < 0 || m_listenFd >= 0 || !showWindow) {
    return false;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  // Linux gives the socket file the mode of the socket's own inode: owner only from the start.
  ::fchmod(fd, 0600);
  sockaddr_un address;
  socklen_t length = 0;
  int folderFd = -1;
  bool bound = false;
  if (MakeAddress(m_socketPath, &address, &length, &folderFd)) {
    ::unlink(m_socketPath.c_str());
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    CloseIfOpen(&folderFd);
  }
  struct stat st;
  if (bound && ::lstat(m_socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
      (st.st_mode & 077) != 0) {
    ::chmod(m_socketPath.c_str(), 0600);
  }
  int stopFd = bound ? ::eventfd(0, EFD_CLOEXEC) : -1;
  if (!bound || stopFd < 0 || ::listen(fd, 8) != 0) {
    Trace("SingleInstance: cannot open %s: errno %d\n", m_socketPath.c_str(), errno);
    if (bound) {
      ::unlink(m_socketPath.c_str());
    }
    CloseIfOpen(&stopFd);
    ::close(fd);
    return false;
  }
  m_listenFd = fd;
  m_stopFd = stopFd;
  m_showWindow = std::move(showWindow);
  m_thread = std::thread([this] { Serve(); });
  return true;
}

void SingleInstance::Serve() {
  for (;;) {
    pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0 || (fds[0].revents & POLLIN) != 0) {
      return;
    }
    if ((fds[1].revents & POLLIN) == 0) {
      continue;
    }
    int connection = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection >= 0) {
      AnswerOne(connection);
      ::close(connection);
    }
  }
}

void SingleInstance::AnswerOne(int connection) {
  char request = 0;
  if (!PeerIsUs(connection) || !ReadByte(connection, &request, kRequestTimeoutMs) ||
      request != kShowRequest) {
    return;
  }
  m_showWindow();
  SendByte(connection, kShown);
}

bool SingleInstance::AskFirstToShow() {
  // connect() would follow a link; only a socket of our own at the name is asked, and the
  // peer's identity is checked again once connected.
  struct stat st;
  if (::lstat(m_socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
      st.st_uid != ::geteuid()) {
    return false;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_un address;
  socklen_t length = 0;
  int folderFd = -1;
  bool connected = false;
  if (MakeAddress(m_socketPath, &address, &length, &folderFd)) {
    int rc;
    do {
      rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    connected = rc == 0;
    CloseIfOpen(&folderFd);
  }
  char answer = 0;
  bool shown = connected && PeerIsUs(fd) && SendByte(fd, kShowRequest) &&
               ReadByte(fd, &answer, kAnswerTimeoutMs) && answer == kShown;
  ::close(fd);
  return shown;
}

}  // namespace tulix
