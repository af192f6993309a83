#include "tools/bridge/host_manifest.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "tools/bridge/json_value.h"

namespace tulix::bridge {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::string HostManifest(Browser browser, const std::string& hostPath) {
  std::string text = "{\n  \"name\": ";
  AppendJsonString(text, kHostName);
  text += ",\n  \"description\": \"Tulix metasearch for the browser extension\",\n  \"path\": ";
  AppendJsonString(text, hostPath);
  text += ",\n  \"type\": \"stdio\",\n";
  if (browser == Browser::kChromium) {
    text += "  \"allowed_origins\": [\"chrome-extension://";
    text += kChromiumExtensionId;
    text += "/\"]\n";
  } else {
    text += "  \"allowed_extensions\": [";
    AppendJsonString(text, kFirefoxExtensionId);
    text += "]\n";
  }
  text += "}\n";
  return text;
}

std::string ManifestFolder(Browser browser, const std::string& userDataDir) {
  const std::filesystem::path home = Env("HOME");
  if (browser == Browser::kFirefox) {
    return home.empty() ? "" : (home / ".mozilla" / "native-messaging-hosts").string();
  }
  if (!userDataDir.empty()) {
    return (std::filesystem::path(userDataDir) / "NativeMessagingHosts").string();
  }
  std::filesystem::path config = Env("XDG_CONFIG_HOME");
  if (config.empty() || !config.is_absolute()) {
    if (home.empty()) {
      return "";
    }
    config = home / ".config";
  }
  return (config / "chromium" / "NativeMessagingHosts").string();
}

bool InstallManifests(const std::vector<Browser>& browsers, const std::string& hostPath,
                      const std::string& userDataDir, std::vector<std::string>& written,
                      std::string& error) {
  for (Browser browser : browsers) {
    const std::string folder = ManifestFolder(browser, userDataDir);
    if (folder.empty()) {
      error = "no home folder: set HOME";
      return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      error = "cannot create " + folder + ": " + ec.message();
      return false;
    }
    const std::filesystem::path path =
        std::filesystem::path(folder) / (std::string(kHostName) + ".json");
    // Written beside and renamed, so a browser never reads half a manifest.
    const std::filesystem::path partial = path.string() + ".part";
    {
      std::ofstream out(partial, std::ios::binary | std::ios::trunc);
      out << HostManifest(browser, hostPath);
      if (!out.flush()) {
        error = "cannot write " + partial.string();
        return false;
      }
    }
    std::filesystem::rename(partial, path, ec);
    if (ec) {
      error = "cannot write " + path.string() + ": " + ec.message();
      std::filesystem::remove(partial, ec);
      return false;
    }
    written.push_back(path.string());
  }
  return true;
}

}  // namespace tulix::bridge
