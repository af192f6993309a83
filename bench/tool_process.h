// One of the project's servers (tulix-update-server, tulix-demo-engines) as a child process of a
// benchmark: started with the given arguments, its port read from its first line of output,
// its log thrown away, and ended with SIGTERM when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace tulix::bench {

class ToolProcess {
 public:
  explicit ToolProcess(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string line;
    char c = 0;
    pollfd ready{out[0], POLLIN, 0};
    while (m_pid > 0 && ::poll(&ready, 1, 10000) == 1 && ::read(out[0], &c, 1) == 1 &&
           c != '\n') {
      line += c;
    }
    ::close(out[0]);
    m_port = line.empty() ? 0 : std::stoi(line);
  }
  ~ToolProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // 0 when the program did not start or printed no port.
  int Port() const { return m_port; }

 private:
  pid_t m_pid = -1;
  int m_port = 0;
};

}  // namespace tulix::bench
