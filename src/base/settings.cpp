#include "base/settings.h"

#include <mutex>
#include <variant>
#include <vector>

#include "base/application.h"
#include "base/decimal_number.h"
#include "base/log.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"

namespace tulix {

namespace {

struct StoredSetting {
  const char* section;
  const char* name;
  std::variant<int32_t AppSettings::*, std::string AppSettings::*> field;
};

// Every registry value of AppSettings, in the order SaveSettings writes them.
const StoredSetting kStoredSettings[] = {
    {"Browser", "ExplorerIntegration", &AppSettings::ExplorerIntegration},
    {"Browser", "OpenInNewWindow", &AppSettings::OpenInNewWindow},
    {"Tasks", "MaxTasks", &AppSettings::MaxTasks},
    {"Tasks", "DefaultEngineCount", &AppSettings::DefaultEngineCount},
    {"Tasks", "DefaultResultCount", &AppSettings::DefaultResultCount},
    {"Behaviour", "BrowserNewWindow", &AppSettings::BrowserNewWindow},
    {"Behaviour", "MaxScan", &AppSettings::MaxScan},
    {"Behaviour", "ScanKey", &AppSettings::ScanKey},
    {"Behaviour", "UpdatePolicy", &AppSettings::UpdatePolicy},
    {"Behaviour", "ScanLog", &AppSettings::ScanLog},
    {"Behaviour", "MyDomains", &AppSettings::MyDomains},
    {"Email", "Port", &AppSettings::Port},
    {"Email", "Address", &AppSettings::Address},
    {"Email", "Host", &AppSettings::Host},
    {"Email", "Name", &AppSettings::Name},
    {"Email", "Authenticate", &AppSettings::Authenticate},
    {"Email", "Username", &AppSettings::Username},
    {"Email", "Password", &AppSettings::Password},
    {"Email", "Autodial", &AppSettings::Autodial},
    {"Email", "BoundIP", &AppSettings::BoundIP},
    {"Email", "EncodingFriendly", &AppSettings::EncodingFriendly},
    {"Email", "EncodingCharset", &AppSettings::EncodingCharset},
    {"Email", "Mime", &AppSettings::Mime},
    {"Email", "HTML", &AppSettings::HTML},
};

// Values of our own that this program reads but never writes back: the options pages may show
// them, and the user's setting stays as the user left it.
const StoredSetting kOwnSettings[] = {
    {"Tasks", "EngineTimeout", &AppSettings::EngineTimeout},
    {"Behaviour", "SecureWeb", &AppSettings::SecureWeb},
    {"Email", "Security", &AppSettings::Security},
};

// A read from a definition file takes at most this many characters.
constexpr size_t kMaxFileValue = 9999;

std::string SectionKey(const char* section) {
  return std::string(kRegistryRoot) + "\\" + section;
}

// The lock that makes "read the override, move it into the registry" one step, so two threads
// that meet the same override never both move it.
std::mutex& OverrideLock() {
  static std::mutex lock;
  return lock;
}

std::string WithoutTrailingBlanks(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::string ProgramVersionText() {
  return FormatDecimal(kProgramVersion, 3);
}

void LoadSettings() {
  const RegistryStore& registry = App().registry();
  AppSettings& settings = App().settings();
  const AppSettings defaults;
  auto read = [&](const StoredSetting& s) {
    std::string key = SectionKey(s.section);
    if (auto* number = std::get_if<int32_t AppSettings::*>(&s.field)) {
      settings.*(*number) = static_cast<int32_t>(
          registry.GetDword(key, s.name, static_cast<uint32_t>(defaults.*(*number))));
    } else {
      auto text = std::get<std::string AppSettings::*>(s.field);
      settings.*text = registry.GetString(key, s.name, defaults.*text);
    }
  };
  for (const StoredSetting& s : kStoredSettings) {
    read(s);
  }
  for (const StoredSetting& s : kOwnSettings) {
    read(s);
  }
}

bool SaveSettings() {
  const AppSettings& settings = App().settings();
  // One transaction for the whole record: one disk sync instead of one per value.
  std::vector<RegistryWrite> writes;
  for (const StoredSetting& s : kStoredSettings) {
    RegistryWrite& w = writes.emplace_back();
    w.key = SectionKey(s.section);
    w.name = s.name;
    if (auto* number = std::get_if<int32_t AppSettings::*>(&s.field)) {
      w.value = RegistryValue::Dword(static_cast<uint32_t>(settings.*(*number)));
    } else {
      w.value = RegistryValue::Sz(settings.*std::get<std::string AppSettings::*>(s.field));
    }
  }
  if (!App().registry().SetValues(writes)) {
    // The options the user just chose would otherwise be gone at the next start, unannounced.
    LogMessage(kLogStatusBar, kLogError, "Cannot store the settings in %s",
               App().registry().path().c_str());
    return false;
  }
  return true;
}

bool SecureWebOn() {
  return !HasApp() || App().settings().SecureWeb != 0;
}

double GetEngineSetVersion() {
  return ParseDecimal(App().registry().GetString(SectionKey("Behaviour"), "Version", ""));
}

void SetEngineSetVersion(double version) {
  // Six decimals, as "%f" writes them.
  App().registry().SetString(SectionKey("Behaviour"), "Version", FormatDecimal(version, 6));
}

std::string GetCategoryTimestamp() {
  return App().registry().GetString(SectionKey("Categories"), "timestamp", "");
}

void UpdateCategoryTimestamp(const std::string& timestamp) {
  if (ParseDecimal(timestamp) > ParseDecimal(GetCategoryTimestamp())) {
    App().registry().SetString(SectionKey("Categories"), "timestamp", timestamp);
  }
}

std::string GetProgramFolder() {
  return App().settings().programFolder;
}
std::string GetCategoriesFolder() {
  return JoinPath(GetProgramFolder(), "categories");
}
std::string GetSearchesFolder() {
  return JoinPath(GetProgramFolder(), "searches");
}
std::string GetSitesFile() {
  return JoinPath(GetCategoriesFolder(), "sites.sit");
}
std::string GetKeywordsFile() {
  return JoinPath(GetCategoriesFolder(), "keywords.txt");
}

std::string FileSettingsKey(const std::string& file) {
  return std::string(kRegistryRoot) + "\\" + file;
}

int32_t GetFileProfileInt(const std::string& key, int32_t def, const std::string& file) {
  RegistryStore& registry = App().registry();
  const std::string userKey = FileSettingsKey(file);
  {
    std::lock_guard<std::mutex> lock(OverrideLock());
    auto forced = static_cast<int32_t>(GetPrivateProfileInt("override", key.c_str(), def, file));
    if (forced != def) {
      WritePrivateProfileString("override", key.c_str(), nullptr, file);
      registry.SetDword(userKey, key, static_cast<uint32_t>(forced));
      return forced;
    }
  }
  auto user = static_cast<int32_t>(registry.GetDword(userKey, key, static_cast<uint32_t>(def)));
  if (user != def) {
    return user;
  }
  return static_cast<int32_t>(GetPrivateProfileInt("main", key.c_str(), def, file));
}

std::string GetFileProfileString(const std::string& key, const std::string& def,
                                 const std::string& file) {
  RegistryStore& registry = App().registry();
  const std::string userKey = FileSettingsKey(file);
  // A file read drops the default's trailing blanks; compare with what a read of a missing
  // key gives, or a default ending in a blank would always look like an override.
  const std::string fileDefault = WithoutTrailingBlanks(def);
  {
    std::lock_guard<std::mutex> lock(OverrideLock());
    std::string forced =
        GetPrivateProfileString("override", key.c_str(), def.c_str(), file, kMaxFileValue + 1);
    if (forced != fileDefault) {
      WritePrivateProfileString("override", key.c_str(), nullptr, file);
      registry.SetString(userKey, key, forced);
      return forced;
    }
  }
  std::string user = registry.GetString(userKey, key, def);
  if (user != def) {
    return user;
  }
  return GetPrivateProfileString("main", key.c_str(), def.c_str(), file, kMaxFileValue + 1);
}

}  // namespace tulix
