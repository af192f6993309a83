// The shell: finding the program that opens a file, starting a program as a process of its own,
// and handing an address or a file to the desktop to "open" with the user's preferred program.
//
// Every process the program starts goes through the one ShellLauncher installed here, so a test
// can put a recording launcher in its place and see what would have been started. The system
// launcher asks the desktop's MIME database (xdg-mime) which launcher entry opens a file type,
// reads that entry's command, starts processes with an argument vector (an address is never
// read by a command interpreter), and opens with xdg-open.
//
// Started processes run on independently of the program: they get a session of their own,
// inherit only standard input, output and error, and are reaped when they end, so none is left
// as a zombie.
//
// Ownership: the installed launcher is shared. Callers take it with CurrentShellLauncher and
// keep the pointer while they use it, so replacing the launcher never frees one in use.
//
// Thread safety: every function here, and every method of SystemShellLauncher, may be called
// from any thread. The system launcher reads PATH and the XDG variables at each call.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tulix {

// Result codes of FindExecutable, the values the Windows lookup gave: above 32 is success.
inline constexpr int kShellErrorFileNotFound = 2;
inline constexpr int kShellErrorNoAssociation = 31;
inline constexpr int kShellFound = 42;

struct ExecutableLookup {
  int code = kShellErrorNoAssociation;
  // The program (full path first) and the fixed arguments its launcher entry gives it, without
  // the entry's placeholders for files and addresses. Empty unless code is above 32.
  std::vector<std::string> command;
};

class ShellLauncher {
 public:
  virtual ~ShellLauncher() = default;

  // The program that opens `file` (an internal path). kShellErrorFileNotFound when the file
  // does not exist; kShellErrorNoAssociation when no usable program is set for its type.
  virtual ExecutableLookup FindExecutable(const std::string& file) = 0;

  // Starts argv[0] (searched in PATH when it holds no "/") with the arguments argv, as a
  // process of its own. True when the process was started; its exit status is not awaited.
  virtual bool StartProcess(const std::vector<std::string>& argv) = 0;

  // Asks the desktop to open an address or a file (a file-system path) with the user's
  // preferred program. True when the request was handed over.
  virtual bool Open(const std::string& target) = 0;
};

class SystemShellLauncher : public ShellLauncher {
 public:
  ExecutableLookup FindExecutable(const std::string& file) override;
  bool StartProcess(const std::vector<std::string>& argv) override;
  bool Open(const std::string& target) override;
};

// The launcher in use: the system one unless another was installed.
std::shared_ptr<ShellLauncher> CurrentShellLauncher();
// Installs `launcher` for every later call; nullptr puts the system launcher back.
void SetShellLauncher(std::shared_ptr<ShellLauncher> launcher);

// The arguments of a launcher entry's Exec value: the entry file's escapes (\s, \n, \t, \r,
// \\) undone, split at blanks outside double quotes, backslash escapes inside quotes undone,
// "%%" made "%", and the placeholders (%f, %u, %i and the rest) removed; an argument that was
// only a placeholder is dropped.
std::vector<std::string> SplitExecLine(std::string_view exec);

}  // namespace tulix
