// The user's settings, the data folders, and the layered lookup of definition-file values.
//
// AppSettings is the one settings record: loaded from the registry store once at start-up and
// saved whole when an options page is applied. It lives in the application object (App()).
// Registry values sit below kRegistryRoot, one subkey per section.
//
// Thread safety: LoadSettings and SaveSettings run on the user-interface thread; workers read
// single fields without a lock. The folder getters and the layered lookup may run on any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tulix {

inline constexpr const char* kRegistryRoot = "HKEY_CURRENT_USER\\Software\\Pellanworth\\Tulix";

inline constexpr double kProgramVersion = 1.5;
// The program version as update requests and the about box show it ("1.500").
std::string ProgramVersionText();

struct AppSettings {
  // Browser
  int32_t ExplorerIntegration = 2;
  int32_t OpenInNewWindow = 1;
  // Tasks
  int32_t MaxTasks = 3;
  int32_t DefaultEngineCount = 5;
  int32_t DefaultResultCount = 50;
  // Our own: the longest a page of an engine may take, in seconds; 0 waits as long as the
  // connection's own time-outs allow. Read, never written by SaveSettings.
  int32_t EngineTimeout = 10;
  // Behaviour
  int32_t BrowserNewWindow = 1;
  int32_t MaxScan = 20;
  // Our own: 1 lets engines, results, redirects and the update server use https; 0 keeps to
  // plain http as the program always did. Read, never written by SaveSettings.
  int32_t SecureWeb = 1;
  int32_t ScanKey = 0;
  int32_t UpdatePolicy = 0;
  std::string ScanLog;  // enciphered with EncipherSetting
  std::string MyDomains;
  // Email
  int32_t Port = 25;
  std::string Address;
  std::string Host;
  std::string Name;
  int32_t Authenticate = 0;
  std::string Username;
  std::string Password;
  int32_t Autodial = 0;
  std::string BoundIP;
  std::string EncodingFriendly = "Western European (ISO)";
  std::string EncodingCharset = "iso-8859-1";
  int32_t Mime = 0;
  int32_t HTML = 0;
  // Our own: how the mail session is protected: 0 plain text, 1 STARTTLS, 2 TLS from the start
  // (as on port 465). Read, never written by SaveSettings.
  int32_t Security = 0;

  // Not stored in the registry: set by start-up.
  std::string programFolder;  // without a trailing separator
  std::string indexFile;      // the empty index.htm used to find the browser
};

// Reads every stored setting of App().settings(), missing ones (or ones stored with another
// type) as their defaults.
void LoadSettings();
// Writes every stored setting of App().settings(), in a fixed order, all or none. When the store
// refuses them (a full disk, a failing one), logs an error the user sees and returns false.
bool SaveSettings();

// Whether https is spoken (the SecureWeb setting); on when no application object is installed,
// as by default.
bool SecureWebOn();

// The version of the installed engine set (Behaviour\Version; missing or empty gives 0).
double GetEngineSetVersion();
void SetEngineSetVersion(double version);

// The time stamp of the newest category set received (Categories\timestamp).
std::string GetCategoryTimestamp();
// Stores `timestamp` only when its value is greater than the stored one's.
void UpdateCategoryTimestamp(const std::string& timestamp);

std::string GetProgramFolder();
std::string GetCategoriesFolder();
std::string GetSearchesFolder();
std::string GetSitesFile();
std::string GetKeywordsFile();

// The value of `key` for a category or engine definition file, looked up in layers: a value
// the maker forces in the file's [override] section (moved into the registry on first sight),
// else the user's value in the registry section named by the file's full path, else the file's
// [main] value, else `def`.
int32_t GetFileProfileInt(const std::string& key, int32_t def, const std::string& file);
std::string GetFileProfileString(const std::string& key, const std::string& def,
                                 const std::string& file);

// The registry key that holds the user's values for a definition file.
std::string FileSettingsKey(const std::string& file);

}  // namespace tulix
