#include "app/browser_components.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "platform/dynamic_library.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace tulix {
namespace {

// In the order they are registered: the toolbar uses tulixlib's objects once both are in.
constexpr const char* kComponents[] = {"toolbar", "tulixlib"};
constexpr char kLibrarySuffix[] = ".so";
constexpr int kFirstSuccessor = 100;
constexpr int kLastSuccessor = 199;

// A component's self-registration exports return an HRESULT, a 32-bit value, 0 for success.
using RegisterServerFunction = int32_t (*)();

// True for a regular file at `path` itself, a link to one not counting.
bool IsPlainFile(const std::string& path) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(ToFileSystemPath(path), ec);
  if (ec || !std::filesystem::exists(status)) {
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    LogMessage(0, kLogWarning, "Passing over %s: not a regular file", path.c_str());
    return false;
  }
  return true;
}

// Loads the component, checks that it registers itself and calls the export. The loader's
// reasons go to the trace; the caller logs the failure the user sees.
bool CallRegistrationExport(const std::string& path, bool reg) {
  DynamicLibrary library;
  if (!library.Open(ToFileSystemPath(path))) {
    Trace("Cannot load %s: %s\n", path.c_str(), library.error().c_str());
    return false;
  }
  if (!ComponentVersionValue(library, "OLESelfRegister")) {
    Trace("%s does not register itself\n", path.c_str());
    return false;
  }
  const char* exportName = reg ? "DllRegisterServer" : "DllUnregisterServer";
  auto entry = library.Function<RegisterServerFunction>(exportName);
  if (entry == nullptr) {
    Trace("%s has no %s: %s\n", path.c_str(), exportName, library.error().c_str());
    return false;
  }
  const int32_t result = entry();
  if (result != 0) {
    Trace("%s of %s returned 0x%08X\n", exportName, path.c_str(), static_cast<uint32_t>(result));
    return false;
  }
  return true;
}

// The component as the package or the build put it, for a categories folder that has none.
std::optional<std::string> InstalledComponent(const std::string& name) {
  const std::string folder = InstalledComponentFolder();
  if (folder.empty()) {
    return std::nullopt;
  }
  const std::string file = JoinPath(folder, name + kLibrarySuffix);
  return IsPlainFile(file) ? std::optional<std::string>(file) : std::nullopt;
}

// Registration needs no OLE start-up here (the component does its own work in the settings
// store), so the step that could fail on its own has no counterpart.
bool RegisterComponent(const std::string& name, bool reg) {
  std::optional<std::string> path = LocateBrowserComponent(GetCategoriesFolder(), name);
  if (!path) {
    path = InstalledComponent(name);
  }
  if (!path) {
    LogMessage(kLogStatusBar | kLogMessageBox, kLogError, "Could not find %s component",
               name.c_str());
    return false;
  }
  if (!CallRegistrationExport(*path, reg)) {
    LogMessage(kLogStatusBar | kLogMessageBox, kLogError, "Could not register %s", path->c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string InstalledComponentFolder() {
  if (const char* folder = std::getenv("TULIX_COMPONENT_DIR")) {
    return folder;
  }
  // A program run from its build finds the libraries built beside it; an installed one finds
  // them in the library folder beside its bin folder, wherever the package put both.
  const std::string built = TULIX_BUILD_COMPONENT_DIR;
  if (!built.empty() && FolderExists(built)) {
    return built;
  }
  const std::string executableFolder = ExecutableFolder();
  if (executableFolder.empty()) {
    return {};
  }
  return (std::filesystem::path(executableFolder) / ".." / TULIX_INSTALL_LIBDIR / "tulix")
      .lexically_normal()
      .string();
}

std::optional<std::string> LocateBrowserComponent(const std::string& folder,
                                                  const std::string& name) {
  std::optional<std::string> candidate;
  auto consider = [&](const std::string& file) {
    if (!IsPlainFile(file)) {
      return;
    }
    // A newer file supersedes the one found before it, which an update left behind.
    if (candidate && !RemoveFile(*candidate)) {
      LogMessage(0, kLogWarning, "Could not delete %s", candidate->c_str());
    }
    candidate = file;
  };
  consider(JoinPath(folder, name + kLibrarySuffix));
  for (int n = kFirstSuccessor; n <= kLastSuccessor; ++n) {
    consider(JoinPath(folder, name + std::to_string(n) + kLibrarySuffix));
  }
  return candidate;
}

bool RegisterBrowserComponents(bool reg) {
  bool all = true;
  for (const char* name : kComponents) {
    all = RegisterComponent(name, reg) && all;
  }
  return all;
}

void AskBrowserToolbarQuestion(const std::function<bool(const std::string& question)>& askYesNo) {
  AppSettings& settings = App().settings();
  switch (settings.ExplorerIntegration) {
    case 2: {
      const bool yes = askYesNo(kBrowserToolbarQuestion);
      settings.ExplorerIntegration = yes ? 1 : 0;
      RegisterBrowserComponents(yes);
      SaveSettings();
      break;
    }
    case 1:
      RegisterBrowserComponents(true);
      break;
    default:
      break;
  }
}

}  // namespace tulix
