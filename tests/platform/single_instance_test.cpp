#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace tulix {
namespace {

using Clock = std::chrono::steady_clock;

// The child copies report on this descriptor, one word a line.
constexpr int kReportFd = 3;

void Report(const char* word) {
  std::string line = std::string(word) + "\n";
  ASSERT_EQ(::write(kReportFd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
}

// Reads one line from the parent ("publish"); false at the end of input.
bool ReadCommand(std::string* command) {
  command->clear();
  char c;
  while (::read(STDIN_FILENO, &c, 1) == 1) {
    if (c == '\n') {
      return true;
    }
    *command += c;
  }
  return false;
}

// Child half of the tests below: does nothing unless started by them. A copy of the program
// that takes the lock, publishes its window when the parent says "publish", reports what
// happens, and runs until the parent closes its input (or kills it).
TEST(SingleInstanceChild, Run) {
  if (std::getenv("TULIX_INSTANCE_CHILD") == nullptr) {
    return;
  }
  SingleInstance instance;
  if (!instance.Acquire()) {
    Report("refused");
    return;
  }
  Report("acquired");
  std::string command;
  while (ReadCommand(&command)) {
    if (command == "publish") {
      ASSERT_TRUE(instance.PublishWindow([] { Report("shown"); }));
      Report("published");
    }
  }
}

// A copy of the program started as a child process, with a pipe for its commands (its input)
// and one for its reports.
class ChildCopy {
 public:
  ChildCopy() {
    int commands[2];
    int reports[2];
    EXPECT_EQ(::pipe2(commands, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(reports, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, reports[1], kReportFd);
    std::string filter = "--gtest_filter=SingleInstanceChild.Run";
    std::vector<char*> argv = {const_cast<char*>(TULIX_TEST_BINARY), filter.data(), nullptr};
    std::vector<std::string> envStore = {"TULIX_INSTANCE_CHILD=1"};
    for (char** e = environ; *e != nullptr; ++e) {
      envStore.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : envStore) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&m_pid, TULIX_TEST_BINARY, &actions, nullptr, argv.data(), envp.data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(commands[0]);
    ::close(reports[1]);
    m_commands = commands[1];
    m_reports = reports[0];
  }

  ~ChildCopy() {
    Finish();
    if (m_reports >= 0) {
      ::close(m_reports);
    }
  }

  void Send(const std::string& command) {
    std::string line = command + "\n";
    ASSERT_EQ(::write(m_commands, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }

  // The next report, or nothing when the child ended or 30 s passed without one.
  std::optional<std::string> NextReport() {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
      size_t end = m_buffer.find('\n');
      if (end != std::string::npos) {
        std::string line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{m_reports, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[256];
      ssize_t n = ::read(m_reports, chunk, sizeof(chunk));
      if (n <= 0) {
        return std::nullopt;
      }
      m_buffer.append(chunk, static_cast<size_t>(n));
    }
  }

  // Closes the child's input and waits for it; returns its exit status (-1 when killed).
  int Finish() {
    if (m_commands >= 0) {
      ::close(m_commands);
      m_commands = -1;
    }
    if (m_pid > 0) {
      int status = 0;
      ::waitpid(m_pid, &status, 0);
      m_pid = 0;
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return m_status;
  }

  // Every report still to come, once the child ended.
  std::vector<std::string> RemainingReports() {
    Finish();
    std::vector<std::string> reports;
    while (auto report = NextReport()) {
      reports.push_back(*report);
    }
    return reports;
  }

  void Kill() {
    ASSERT_GT(m_pid, 0);
    ASSERT_EQ(::kill(m_pid, SIGKILL), 0);
    Finish();
  }

 private:
  pid_t m_pid = 0;
  int m_commands = -1;
  int m_reports = -1;
  int m_status = -1;
  std::string m_buffer;
};

class SingleInstanceTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) {
      m_oldRuntime = old;
    }
    m_runtime = m_temp.File("run");
    std::filesystem::create_directories(m_runtime);
    ::chmod(m_runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1);
  }
  void TearDown() override {
    if (m_oldRuntime) {
      setenv("XDG_RUNTIME_DIR", m_oldRuntime->c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    TulixTest::TearDown();
  }

  std::string m_runtime;
  std::optional<std::string> m_oldRuntime;
};

TEST_F(SingleInstanceTest, SecondCopyShowsTheFirstWindowOnlyOnceItWasPublished) {
  ChildCopy first;
  ASSERT_EQ(first.NextReport(), "acquired");

  // Another process and another object in this one are both refused.
  ChildCopy second;
  EXPECT_EQ(second.NextReport(), "refused");
  EXPECT_EQ(second.Finish(), 0);
  SingleInstance here;
  EXPECT_FALSE(here.Acquire());
  EXPECT_FALSE(here.PublishWindow([] {}));

  // The first copy is still starting: asking shows nothing.
  EXPECT_FALSE(here.AskFirstToShow());

  first.Send("publish");
  ASSERT_EQ(first.NextReport(), "published");
  EXPECT_TRUE(here.AskFirstToShow());
  // The window was shown before the answer came, and once only, the early question included.
  EXPECT_EQ(first.RemainingReports(), std::vector<std::string>{"shown"});
  EXPECT_EQ(first.Finish(), 0);

  // The first copy ended cleanly: the name is free again and nothing answers on the socket.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(here.SocketPath())));
  EXPECT_FALSE(here.AskFirstToShow());
  EXPECT_TRUE(here.Acquire());
}

TEST_F(SingleInstanceTest, KilledFirstCopyLeavesNothingStale) {
  ChildCopy first;
  ASSERT_EQ(first.NextReport(), "acquired");
  first.Send("publish");
  ASSERT_EQ(first.NextReport(), "published");
  first.Kill();

  // Its socket file is left behind, but nobody answers on it.
  SingleInstance asking;
  ASSERT_TRUE(std::filesystem::is_socket(asking.SocketPath()));
  EXPECT_FALSE(asking.AskFirstToShow());

  SingleInstance next;
  ASSERT_TRUE(next.Acquire());
  // Until the new copy publishes, a second one takes it for starting.
  EXPECT_FALSE(asking.AskFirstToShow());
  std::atomic<int> shown{0};  // counted on the socket's thread
  ASSERT_TRUE(next.PublishWindow([&shown] { ++shown; }));
  EXPECT_TRUE(asking.AskFirstToShow());
  EXPECT_TRUE(asking.AskFirstToShow());
  EXPECT_EQ(shown, 2);
}

TEST_F(SingleInstanceTest, NamesArePrivateAndPlantedLinksAreNotFollowed) {
  SingleInstance instance;
  EXPECT_EQ(std::filesystem::path(instance.LockPath()).parent_path(), m_runtime);
  EXPECT_EQ(std::filesystem::path(instance.SocketPath()).parent_path(), m_runtime);

  // Links planted at both names, pointing at files that must never appear.
  const std::string lockTarget = m_temp.File("lock-target");
  const std::string socketTarget = m_temp.File("socket-target");
  std::filesystem::create_symlink(lockTarget, instance.LockPath());
  std::filesystem::create_symlink(socketTarget, instance.SocketPath());
  EXPECT_FALSE(instance.AskFirstToShow());
  ASSERT_TRUE(instance.Acquire());
  ASSERT_TRUE(instance.PublishWindow([] {}));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(lockTarget)));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketTarget)));

  struct stat st;
  ASSERT_EQ(::lstat(instance.LockPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::lstat(instance.SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Another settings store is another program as far as the lock goes.
  setenv("TULIX_REGISTRY", m_temp.File("other.db").c_str(), 1);
  SingleInstance other;
  EXPECT_NE(other.LockPath(), instance.LockPath());
  EXPECT_TRUE(other.Acquire());

  // Without a runtime folder the names go beside the settings store.
  unsetenv("XDG_RUNTIME_DIR");
  const std::string deep = m_temp.File(std::string(120, 'd'));
  setenv("TULIX_REGISTRY", (deep + "/registry.db").c_str(), 1);
  SingleInstance beside;
  EXPECT_EQ(std::filesystem::path(beside.LockPath()).parent_path(), deep);
  // The folder's path is too long for a socket address and is reached another way.
  ASSERT_GT(beside.SocketPath().size(), 108u);
  ASSERT_TRUE(beside.Acquire());
  std::atomic<int> shown{0};  // counted on the socket's thread
  ASSERT_TRUE(beside.PublishWindow([&shown] { ++shown; }));
  SingleInstance asking;
  EXPECT_FALSE(asking.Acquire());
  EXPECT_TRUE(asking.AskFirstToShow());
  EXPECT_EQ(shown, 1);
}

}  // namespace
}  // namespace tulix
