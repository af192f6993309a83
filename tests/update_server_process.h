// A server tool (tulix-update-server unless told otherwise, or tulix-demo-engines) as a process
// of its own for tests: started on 127.0.0.1 with a port the system picks (read from its first
// line of output), killed when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

extern char** environ;

namespace tulix::test {

inline constexpr int kWaitMs = 10000;

// Waits for `fd` to become readable; false when the deadline passed first.
inline bool WaitReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, kWaitMs) == 1;
}

class ServerProcess {
 public:
  ServerProcess(const std::vector<std::string>& options, const std::string& log)
      : ServerProcess(TULIX_UPDATE_SERVER_BINARY, options, log) {}

  ServerProcess(const std::string& binary, const std::vector<std::string>& options,
                const std::string& log) {
    std::vector<std::string> args = {binary};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "no pipe";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    m_stdout = out[0];
    ReadPort();
  }

  ~ServerProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_stdout >= 0) {
      ::close(m_stdout);
    }
  }

  int Port() const { return m_port; }

  // Sends `signal` and returns the exit status, or -1 when the process did not exit normally
  // within the deadline.
  int StopWith(int signal) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    ::kill(m_pid, signal);
    const bool ended = pidfd >= 0 && WaitReadable(pidfd);
    if (pidfd >= 0) {
      ::close(pidfd);
    }
    if (!ended) {
      return -1;
    }
    int status = 0;
    const bool reaped = ::waitpid(m_pid, &status, 0) == m_pid;
    m_pid = -1;
    return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  // The first line on standard output is the port the server listens on.
  void ReadPort() {
    std::string line;
    char c = 0;
    while (m_pid > 0 && WaitReadable(m_stdout) && ::read(m_stdout, &c, 1) == 1 && c != '\n') {
      line += c;
    }
    m_port = line.empty() ? 0 : std::stoi(line);
    ASSERT_GT(m_port, 0) << "the server printed no port";
  }

  pid_t m_pid = -1;
  int m_stdout = -1;
  int m_port = 0;
};

}  // namespace tulix::test
