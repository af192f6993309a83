#include "platform/shell.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/program_lifetime.h"

extern char** environ;

namespace tulix {

namespace {

// xdg-mime is a script that may consult several databases; it answers well within this on any
// working desktop, and a hung one must not hold the browser request for ever.
constexpr std::chrono::seconds kQueryTimeout{10};
// The answers are one short line; anything beyond this is read and thrown away.
constexpr size_t kMaxQueryOutput = 64 * 1024;

// Not destroyed at exit: a thread still opening a page while the program exits may reach them.
std::mutex& LauncherLock() {
  static auto& lock = MakeProgramLifetime<std::mutex>();
  return lock;
}
std::shared_ptr<ShellLauncher>& InstalledLauncher() {
  static auto& launcher = MakeProgramLifetime<std::shared_ptr<ShellLauncher>>();
  return launcher;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

// Undoes the escapes every string value of a launcher entry may carry.
std::string UnescapeEntryValue(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    char c = value[++i];
    switch (c) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      default:  // "\\" and anything unknown: keep the character, so quoting escapes survive
        if (c != '\\') {
          out += '\\';
        }
        out += c;
        break;
    }
  }
  return out;
}

// Replaces "%%" by "%" and removes every other placeholder. Returns false when the argument
// consisted of placeholders only, so the caller drops it.
bool ExpandPlaceholders(std::string& arg) {
  std::string out;
  bool hadPlaceholder = false;
  for (size_t i = 0; i < arg.size(); ++i) {
    if (arg[i] != '%' || i + 1 == arg.size()) {
      out += arg[i];
      continue;
    }
    ++i;
    if (arg[i] == '%') {
      out += '%';
    } else {
      hadPlaceholder = true;
    }
  }
  arg = std::move(out);
  return !(hadPlaceholder && arg.empty());
}

// Sets the file actions and attributes every child gets: descriptors from 3 up closed, signals
// back to their defaults and unblocked (the calling thread may have blocked some).
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  bool actionsReady = false;
  bool attributesReady = false;
  bool ok = false;

  explicit SpawnSetup(bool newSession) {
    actionsReady = posix_spawn_file_actions_init(&actions) == 0;
    attributesReady = posix_spawnattr_init(&attributes) == 0;
    if (!actionsReady || !attributesReady) {
      return;
    }
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2}) {
      sigaddset(&defaults, sig);
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (newSession) {
      flags |= POSIX_SPAWN_SETSID;
    }
    ok = posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
         posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
         posix_spawnattr_setflags(&attributes, flags) == 0;
  }
  ~SpawnSetup() {
    if (attributesReady) {
      posix_spawnattr_destroy(&attributes);
    }
    if (actionsReady) {
      posix_spawn_file_actions_destroy(&actions);
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Call after the caller's own descriptor actions, which may still use descriptors above 2.
  bool CloseTheRest() { return posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0; }

  // The child's id, or -1 with the last error set.
  pid_t Spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    int err = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    if (err != 0) {
      SetLastError(ErrorFromErrno(err));
      return -1;
    }
    return pid;
  }
};

// Nobody waits for a started program, so a thread of its own collects its exit status; it
// touches nothing but the process id and may outlive every object of the program.
void ReapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error&) {
    // Without a thread the child stays a zombie until the program ends; nothing worse.
  }
}

void WaitForChild(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
}

// Reads `fd` to its end, keeping at most kMaxQueryOutput bytes. False when the end did not come
// within kQueryTimeout or reading failed.
bool ReadUntilEnd(int fd, std::string* output) {
  const auto deadline = std::chrono::steady_clock::now() + kQueryTimeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return false;
    }
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n == 0;
    }
    size_t keep = std::min(static_cast<size_t>(n), kMaxQueryOutput - output->size());
    output->append(buffer, keep);
  }
}

// Runs a query program and returns what it wrote to standard output, or nullopt when it could
// not start, failed, or did not finish in time (it is then killed).
std::optional<std::string> RunQuery(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  SpawnSetup setup(false);
  bool prepared =
      setup.ok &&
      posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
      posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 1) == 0 &&
      posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0) == 0 &&
      setup.CloseTheRest();
  const pid_t pid = prepared ? setup.Spawn(argv) : -1;
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return std::nullopt;
  }

  std::string output;
  const bool finished = ReadUntilEnd(fds[0], &output);
  close(fds[0]);
  if (!finished) {
    kill(pid, SIGKILL);
  }
  int status = 0;
  WaitForChild(pid, &status);
  if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  return output;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> SplitList(std::string_view list) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string_view::npos) {
      end = list.size();
    }
    if (end > start) {
      parts.emplace_back(list.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
}

std::string Environment(const char* name, std::string_view fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : std::string(fallback);
}

// The full path of a program as a process start would find it.
std::optional<std::string> ResolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return IsExecutableFile(program) ? std::optional(program) : std::nullopt;
  }
  for (const std::string& folder : SplitList(Environment("PATH", "/usr/local/bin:/usr/bin:/bin"))) {
    std::string candidate = folder + "/" + program;
    if (IsExecutableFile(candidate)) {
      return candidate;
    }
  }
  return std::nullopt;
}

// Where a launcher entry of that id lies: the user's data folder first, then the system's.
std::optional<std::string> FindDesktopEntry(const std::string& id) {
  if (id.empty() || id.find('/') != std::string::npos || id.front() == '.') {
    return std::nullopt;
  }
  std::vector<std::string> folders;
  const char* home = std::getenv("HOME");
  std::string userData = Environment("XDG_DATA_HOME", "");
  if (userData.empty() && home != nullptr) {
    userData = std::string(home) + "/.local/share";
  }
  if (!userData.empty()) {
    folders.push_back(userData);
  }
  for (std::string& f : SplitList(Environment("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))) {
    folders.push_back(std::move(f));
  }
  for (const std::string& folder : folders) {
    std::string path = folder + "/applications/" + id;
    if (FileExists(path)) {
      return path;
    }
  }
  return std::nullopt;
}

// The Exec value of the [Desktop Entry] group of a launcher entry file.
std::optional<std::string> ReadExecValue(const std::string& path) {
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text) {
    return std::nullopt;
  }
  bool inEntry = false;
  size_t start = 0;
  while (start < text->size()) {
    size_t end = text->find('\n', start);
    if (end == std::string::npos) {
      end = text->size();
    }
    std::string_view line = Trim(std::string_view(*text).substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.front() == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    size_t eq = line.find('=');
    if (!inEntry || eq == std::string_view::npos || Trim(line.substr(0, eq)) != "Exec") {
      continue;
    }
    return std::string(Trim(line.substr(eq + 1)));
  }
  return std::nullopt;
}

std::string MimeTypeOf(const std::string& file) {
  std::string_view name = FileNameOf(file);
  size_t dot = name.rfind('.');
  std::string extension;
  if (dot != std::string_view::npos) {
    for (char c : name.substr(dot + 1)) {
      extension += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
  }
  // The browser lookup is the one that matters; its answer must not depend on the content
  // sniffing of an empty file.
  if (extension == "htm" || extension == "html") {
    return "text/html";
  }
  std::optional<std::string> type =
      RunQuery({"xdg-mime", "query", "filetype", ToFileSystemPath(file)});
  return type ? std::string(Trim(*type)) : std::string();
}

}  // namespace

std::vector<std::string> SplitExecLine(std::string_view exec) {
  const std::string text = UnescapeEntryValue(exec);
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '\\' && i + 1 < text.size()) {
        current += text[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        current += c;
      }
    } else if (c == '"') {
      quoted = true;
      inArgument = true;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (inArgument && ExpandPlaceholders(current)) {
        args.push_back(current);
      }
      current.clear();
      inArgument = false;
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (inArgument && ExpandPlaceholders(current)) {
    args.push_back(current);
  }
  return args;
}

ExecutableLookup SystemShellLauncher::FindExecutable(const std::string& file) {
  ExecutableLookup result;
  if (!FileExists(file)) {
    result.code = kShellErrorFileNotFound;
    return result;
  }
  std::string type = MimeTypeOf(file);
  if (type.empty()) {
    return result;
  }
  std::optional<std::string> answer = RunQuery({"xdg-mime", "query", "default", type});
  if (!answer) {
    return result;
  }
  std::string id(Trim(answer->substr(0, answer->find('\n'))));
  std::optional<std::string> entry = FindDesktopEntry(id);
  std::optional<std::string> exec = entry ? ReadExecValue(*entry) : std::nullopt;
  std::vector<std::string> command = exec ? SplitExecLine(*exec) : std::vector<std::string>();
  if (command.empty()) {
    return result;
  }
  // An entry whose program is not installed opens nothing, so it counts as no association.
  std::optional<std::string> program = ResolveProgram(command[0]);
  if (!program) {
    return result;
  }
  command[0] = *program;
  result.code = kShellFound;
  result.command = std::move(command);
  return result;
}

bool SystemShellLauncher::StartProcess(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  SpawnSetup setup(true);
  if (!setup.ok || !setup.CloseTheRest()) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const pid_t pid = setup.Spawn(argv);
  if (pid < 0) {
    return false;
  }
  ReapInBackground(pid);
  return true;
}

bool SystemShellLauncher::Open(const std::string& target) {
  // A target that looks like an option would be read as one by the opener.
  if (target.empty() || target.front() == '-') {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return StartProcess({"xdg-open", target});
}

std::shared_ptr<ShellLauncher> CurrentShellLauncher() {
  std::lock_guard lock(LauncherLock());
  if (InstalledLauncher() == nullptr) {
    InstalledLauncher() = std::make_shared<SystemShellLauncher>();
  }
  return InstalledLauncher();
}

void SetShellLauncher(std::shared_ptr<ShellLauncher> launcher) {
  std::lock_guard lock(LauncherLock());
  InstalledLauncher() = std::move(launcher);
}

}  // namespace tulix
