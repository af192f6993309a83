// tulix-bridge: the native-messaging host through which the browser extension calls tulixlib.
// A browser starts it with the extension's identity as arguments and talks to it over standard
// input and output; the other modes set a user's machine up for that.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "browserlib/com/com_object.h"
#include "browserlib/com/object_creation.h"
#include "platform/dynamic_library.h"
#include "platform/registry_store.h"
#include "tools/bridge/dispatch_session.h"
#include "tools/bridge/host_manifest.h"
#include "tools/bridge/message_frame.h"

namespace tulix::bridge {
namespace {

constexpr const char kUsage[] =
    "usage: tulix-bridge [ORIGIN...]\n"
    "       tulix-bridge --install [chromium|firefox|all] [--user-data-dir DIR]\n"
    "       tulix-bridge --register-library FILE [--program-folder DIR]\n"
    "\n"
    "Without options (as a browser starts it) the bridge reads requests from standard input,\n"
    "each a 4-byte length in the machine's byte order followed by that many bytes of JSON,\n"
    "  {\"id\": 1, \"method\": \"StartSearch\", \"params\": [\"whale\", \"web\", -1, -1, -1]}\n"
    "calls that method of the registered class Tulixlib.TulixExp, and writes the answer the\n"
    "same way on standard output: {\"id\": 1, \"result\": ...} or {\"id\": 1, \"error\": "
    "\"...\"}.\n"
    "Messages over 1 MB are refused. Arguments that do not begin with -- are ignored (browsers\n"
    "pass the extension's origin).\n"
    "\n"
    "  --install [BROWSER]  write the host manifest of org.tulix.bridge, naming this program, for\n"
    "                       chromium, firefox or all (default all) into the user's folders:\n"
    "                       ~/.config/chromium/NativeMessagingHosts (or "
    "$XDG_CONFIG_HOME/chromium/...)\n"
    "                       and ~/.mozilla/native-messaging-hosts\n"
    "  --user-data-dir DIR  with --install: the Chromium profile folder the browser is started\n"
    "                       with; the manifest goes to DIR/NativeMessagingHosts\n"
    "  --register-library FILE\n"
    "                       register tulixlib (FILE) in the settings store, as the desktop "
    "program\n"
    "                       does on request; with --program-folder DIR also set the program folder\n"
    "                       the library searches in (setting Behaviour\\path)\n"
    "  --help               show this text\n"
    "\n"
    "exit status: 0 end of input (or done), 1 input cut off or unreadable, 2 bad usage,\n"
    "3 installing or registering failed\n";

// The protocol owns standard output: anything else that writes there (a library's stray
// print) goes to standard error instead. Returns the descriptor the answers go to.
int TakeStandardOutput() {
  const int answers = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (answers < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    return STDOUT_FILENO;
  }
  return answers;
}

int Serve() {
  // A browser that goes away closes the pipe; writing then fails instead of killing us.
  std::signal(SIGPIPE, SIG_IGN);
  const int answers = TakeStandardOutput();

  com::IDispatch* object = nullptr;
  const std::string progId = "Tulixlib.TulixExp";
  const com::HRESULT created =
      com::CreateObjectByProgID(progId, com::IID_IDispatch, reinterpret_cast<void**>(&object));
  std::unique_ptr<DispatchSession> session;
  std::string unavailable;
  if (com::SUCCEEDED(created) && object != nullptr) {
    session = std::make_unique<DispatchSession>(object);
    object->Release();
  } else {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(created));
    unavailable = progId + " cannot be created (" + code +
                  "): is tulixlib registered in the settings store " +
                  RegistryStore::DefaultPath() + "?";
    std::fprintf(stderr, "tulix-bridge: %s\n", unavailable.c_str());
  }

  int status = 0;
  MessageReader reader(STDIN_FILENO);
  for (bool reading = true; reading;) {
    ReadResult read = reader.Next();
    std::string answer;
    switch (read.status) {
      case ReadStatus::kMessage:
        answer = session ? session->Answer(read.message)
                         : ErrorReply(RequestIdJson(read.message), unavailable);
        break;
      case ReadStatus::kTooLarge:
        answer = ErrorReply("null", "message of " + std::to_string(read.announced) +
                                        " bytes refused: the limit is " +
                                        std::to_string(kMaxMessageBytes) + " bytes");
        break;
      case ReadStatus::kEndOfInput:
        reading = false;
        break;
      case ReadStatus::kTruncated:
      case ReadStatus::kError:
        std::fprintf(stderr, "tulix-bridge: %s\n", read.error.c_str());
        status = 1;
        reading = false;
        break;
    }
    if (!answer.empty() && !WriteFrame(answers, answer)) {
      std::fprintf(stderr, "tulix-bridge: the browser stopped reading answers\n");
      status = 1;
      reading = false;
    }
  }
  // Unloading the library ends its threads and searches before the process ends.
  session.reset();
  com::FreeUnusedLibraries();
  return status;
}

std::string ThisProgram() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

int Install(const std::vector<std::string_view>& args) {
  std::vector<Browser> browsers{Browser::kChromium, Browser::kFirefox};
  std::string userDataDir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "chromium") {
      browsers = {Browser::kChromium};
    } else if (args[i] == "firefox") {
      browsers = {Browser::kFirefox};
    } else if (args[i] == "all") {
      browsers = {Browser::kChromium, Browser::kFirefox};
    } else if (args[i] == "--user-data-dir" && i + 1 < args.size()) {
      userDataDir = std::filesystem::absolute(args[++i]).string();
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  const std::string self = ThisProgram();
  if (self.empty()) {
    std::fprintf(stderr, "tulix-bridge: cannot tell where this program is\n");
    return 3;
  }
  std::vector<std::string> written;
  std::string error;
  const bool ok = InstallManifests(browsers, self, userDataDir, written, error);
  for (const std::string& path : written) {
    std::printf("wrote %s\n", path.c_str());
  }
  if (!ok) {
    std::fprintf(stderr, "tulix-bridge: %s\n", error.c_str());
    return 3;
  }
  return 0;
}

int RegisterLibrary(const std::vector<std::string_view>& args) {
  std::string library;
  std::string programFolder;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--register-library" && i + 1 < args.size()) {
      library = std::filesystem::absolute(args[++i]).string();
    } else if (args[i] == "--program-folder" && i + 1 < args.size()) {
      programFolder = std::filesystem::absolute(args[++i]).string();
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (library.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  DynamicLibrary component;
  if (!component.Open(library)) {
    std::fprintf(stderr, "tulix-bridge: cannot load %s: %s\n", library.c_str(),
                 component.error().c_str());
    return 3;
  }
  auto registerServer = component.Function<com::DllRegisterServerFunction>("DllRegisterServer");
  if (registerServer == nullptr || com::FAILED(registerServer())) {
    std::fprintf(stderr, "tulix-bridge: %s did not register\n", library.c_str());
    return 3;
  }
  if (!programFolder.empty()) {
    RegistryStore store;
    if (!store.SetString(std::string(kRegistryRoot) + "\\Behaviour", "path", programFolder)) {
      std::fprintf(stderr, "tulix-bridge: cannot write the program folder to %s\n",
                   store.path().c_str());
      return 3;
    }
  }
  std::printf("registered %s in %s\n", library.c_str(), RegistryStore::DefaultPath().c_str());
  return 0;
}

int Main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty() || !args[0].starts_with("--")) {
    return Serve();
  }
  if (args[0] == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args[0] == "--install") {
    return Install({args.begin() + 1, args.end()});
  }
  if (args[0] == "--register-library") {
    return RegisterLibrary(args);
  }
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace
}  // namespace tulix::bridge

int main(int argc, char** argv) {
  return tulix::bridge::Main(argc, argv);
}
