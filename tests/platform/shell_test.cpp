#include "platform/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "test_support.h"

namespace tulix {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A desktop of our own: fake xdg-mime and xdg-open first in PATH, and launcher entries only in
// the test's folders.
class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"PATH", "XDG_DATA_HOME", "XDG_DATA_DIRS"}) {
      const char* value = std::getenv(name);
      m_saved.emplace_back(name,
                           value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    m_bin = m_temp.File("bin");
    m_data = m_temp.File("data");
    std::filesystem::create_directories(m_bin);
    std::filesystem::create_directories(m_data + "/applications");
    std::filesystem::create_directories(m_temp.File("system"));
    const char* path = std::getenv("PATH");
    setenv("PATH", (m_bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
    setenv("XDG_DATA_HOME", m_data.c_str(), 1);
    setenv("XDG_DATA_DIRS", m_temp.File("system").c_str(), 1);
  }
  void TearDown() override {
    for (const auto& [name, value] : m_saved) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

  void Script(const std::string& path, const std::string& body) {
    WriteFileBytes(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }
  // xdg-mime that records its arguments and answers `answer` to "query default".
  void FakeMime(const std::string& answer) {
    Script(m_bin + "/xdg-mime", "echo \"$@\" >> '" + m_temp.File("mime.log") +
                                    "'\n"
                                    "[ \"$1 $2\" = 'query default' ] && printf '%s' '" +
                                    answer + "'\nexit 0\n");
  }
  // A program that writes its process id, whether descriptor 57 reached it, and its
  // arguments one per line to `record`, the file appearing whole.
  std::string Recorder(const std::string& name, const std::string& record) {
    std::string path = m_bin + "/" + name;
    Script(path,
           "{ echo $$; if [ -e /proc/$$/fd/57 ]; then echo inherited; else echo clean; fi\n"
           "  for a in \"$@\"; do echo \"$a\"; done; } > '" +
               record + ".part'\nmv '" + record + ".part' '" + record + "'\n");
    return path;
  }

  test::TempFolder m_temp;
  std::string m_bin;
  std::string m_data;
  std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST(ShellExecLine, QuotingEscapesAndPlaceholders) {
  struct Case {
    const char* exec;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"web %u", {"web"}},
      {"  web   --new  %U ", {"web", "--new"}},
      {R"("/opt/my web/run" --url=%u %i %c)", {"/opt/my web/run", "--url="}},
      {R"(run "say \"hi\" \\\\ \$HOME \`x\`" 100%%)", {"run", "say \"hi\" \\ $HOME `x`", "100%"}},
      {R"(run "" x)", {"run", "", "x"}},
      {R"(run\tx)", {"run", "x"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exec);
    EXPECT_EQ(SplitExecLine(c.exec), c.args);
  }
}

TEST_F(ShellTest, FindExecutableFollowsTheDesktopDefault) {
  SystemShellLauncher shell;
  const std::string index = JoinPath(m_temp.path(), "index.htm");

  // The file must exist before its program is asked for.
  FakeMime("web.desktop\n");
  EXPECT_EQ(shell.FindExecutable(index).code, kShellErrorFileNotFound);
  WriteFileBytes(ToFileSystemPath(index), "");

  // A default with no entry file, then an entry whose program is not installed.
  EXPECT_EQ(shell.FindExecutable(index).code, kShellErrorNoAssociation);
  const std::string program = m_bin + "/my web";
  WriteFileBytes(m_data + "/applications/web.desktop",
                 "[Desktop Action new]\nExec=wrong\n[Desktop Entry]\nName=Web\n"
                 "Exec=\"" +
                     program + "\" --profile x %u\nExec=later\n");
  EXPECT_EQ(shell.FindExecutable(index).code, kShellErrorNoAssociation);

  Recorder("my web", m_temp.File("unused"));
  ExecutableLookup found = shell.FindExecutable(index);
  EXPECT_GT(found.code, 32);
  EXPECT_EQ(found.command, (std::vector<std::string>{program, "--profile", "x"}));
  EXPECT_NE(ReadFileBytes(m_temp.File("mime.log")).find("query default text/html\n"),
            std::string::npos);

  // A bare program name is found through PATH; nothing set as default is no association.
  WriteFileBytes(m_data + "/applications/web.desktop", "[Desktop Entry]\nExec=\"my web\" %U\n");
  EXPECT_EQ(shell.FindExecutable(index).command, std::vector<std::string>{program});
  FakeMime("");
  EXPECT_EQ(shell.FindExecutable(index).code, kShellErrorNoAssociation);
  std::filesystem::remove(m_bin + "/xdg-mime");
  EXPECT_EQ(shell.FindExecutable(index).code, kShellErrorNoAssociation);
}

// The address reaches the program as one argument, untouched by any command interpreter; the
// child sees none of our descriptors beyond the standard three and is reaped when it ends.
TEST_F(ShellTest, OpenPassesTheAddressVerbatimToADetachedChild) {
  SystemShellLauncher shell;
  const std::string record = m_temp.File("open.txt");
  Recorder("xdg-open", record);
  const std::string address = "http://h/?a=1&b=$(touch " + m_temp.File("pwned") + ");x 'y' `z`";

  int fd = open(m_temp.File("held").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(dup2(fd, 57), 57);  // without close-on-exec, as a careless library might leave it
  ASSERT_TRUE(shell.Open(address));
  close(57);
  close(fd);

  ASSERT_TRUE(WaitUntil([&] { return FileExists(record); }));
  std::string text = ReadFileBytes(record);
  size_t first = text.find('\n');
  const pid_t pid = std::stoi(text.substr(0, first));
  EXPECT_EQ(text.substr(first + 1), "clean\n" + address + "\n");
  EXPECT_FALSE(FileExists(m_temp.File("pwned")));
  // A zombie would still answer; only a reaped child is gone.
  EXPECT_TRUE(WaitUntil([&] { return kill(pid, 0) != 0 && errno == ESRCH; }));

  // Something that would read as an option of the opener is refused outright.
  EXPECT_FALSE(shell.Open("--manual"));
  EXPECT_FALSE(shell.Open(""));
}

TEST_F(ShellTest, StartProcessSearchesPathAndReportsAMissingProgram) {
  SystemShellLauncher shell;
  const std::string record = m_temp.File("start.txt");
  Recorder("web-browser", record);
  ASSERT_TRUE(shell.StartProcess({"web-browser", "--new-window", "two words"}));
  ASSERT_TRUE(WaitUntil([&] { return FileExists(record); }));
  std::string text = ReadFileBytes(record);
  EXPECT_EQ(text.substr(text.find('\n') + 1), "clean\n--new-window\ntwo words\n");

  EXPECT_FALSE(shell.StartProcess({"no-such-program-here"}));
  EXPECT_FALSE(shell.StartProcess({}));
}

}  // namespace
}  // namespace tulix
