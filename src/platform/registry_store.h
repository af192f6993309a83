// The per-user settings store that stands in for the Windows registry.
//
// One SQLite database per user holds values keyed by (key path, value name). Key paths are
// full Windows-style paths ("HKEY_CURRENT_USER\Software\Pellanworth\Tulix\Behaviour"); a key
// whose last component is a file path is one key, not split at separators. Key paths and value
// names are compared without regard to ASCII case; the spelling of first creation is kept.
//
// Thread safety: every method may be called from any thread; calls are serialised on one
// connection. Several processes may use the same file at once (WAL mode, busy timeout, one
// immediate transaction per write).
//
// Failure: a store that cannot be opened (unwritable folder, a file that is not a database)
// behaves like an empty registry that refuses writes: reads give the caller's default, writes
// and deletes return false, and the file is left as it was. When the database fails later (the
// file damaged while open), each call that meets the failure answers the same way. Nothing is
// reported beyond a trace line; the callers treat registry failures quietly. No method throws
// (short of running out of memory).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace tulix {

// The Windows value type numbers, kept so stored data reads the same on every platform.
enum class RegistryType : int { kSz = 1, kBinary = 3, kDword = 4 };

struct RegistryValue {
  RegistryType type = RegistryType::kSz;
  std::vector<uint8_t> data;  // DWORD: 4 bytes little-endian; SZ: the text without a NUL

  static RegistryValue Dword(uint32_t value);
  static RegistryValue Sz(std::string_view text);
};

struct RegistryWrite {
  std::string key;
  std::string name;
  RegistryValue value;
};

class RegistryStore {
 public:
  // Opens the store at `path` (a file-system path; backslashes are taken as separators),
  // creating the file and its folder when missing. An empty path means DefaultPath().
  explicit RegistryStore(std::string path = {});
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // $TULIX_REGISTRY if set, else $XDG_CONFIG_HOME/tulix/registry.db, else
  // ~/.config/tulix/registry.db.
  static std::string DefaultPath();

  const std::string& path() const { return m_path; }
  bool IsOpen() const;

  // Reads. A missing value, or one of another type, gives the default.
  uint32_t GetDword(std::string_view key, std::string_view name, uint32_t def) const;
  std::string GetString(std::string_view key, std::string_view name, std::string_view def) const;
  std::optional<std::vector<uint8_t>> GetBinary(std::string_view key, std::string_view name) const;
  std::optional<RegistryValue> GetValue(std::string_view key, std::string_view name) const;

  // Writes create the key when missing; an existing value keeps the spelling of its name and
  // takes the new type and data. They return false when the store is unusable. SetValue also
  // refuses a type outside the enum and a DWORD whose data is not 4 bytes.
  bool SetDword(std::string_view key, std::string_view name, uint32_t value);
  bool SetString(std::string_view key, std::string_view name, std::string_view value);
  bool SetBinary(std::string_view key, std::string_view name, const std::vector<uint8_t>& value);
  bool SetValue(std::string_view key, std::string_view name, const RegistryValue& value);
  // Writes every value in one transaction (one disk sync): all of them land or none.
  bool SetValues(const std::vector<RegistryWrite>& writes);

  // Deleting a missing value or key succeeds and changes nothing.
  bool DeleteValue(std::string_view key, std::string_view name);
  // Removes the key, every key below it ("key\..."), and all their values.
  bool DeleteKey(std::string_view key);

  bool ValueExists(std::string_view key, std::string_view name) const;
  // True when the key was created by a write (and not deleted since) or has a key below it.
  bool KeyExists(std::string_view key) const;

  // Enumeration, with names as first spelled. ValueNames: the key's values in order of
  // creation. KeysBelow: the full paths of every key below `key` (at any depth), sorted
  // without regard to case. Empty when there are none or the store is unusable.
  std::vector<std::string> ValueNames(std::string_view key) const;
  std::vector<std::string> KeysBelow(std::string_view key) const;

 private:
  struct Statements;
  // Both need m_mutex held and a transaction open.
  bool UpsertValue(std::string_view key, std::string_view name, const RegistryValue& value);

  // Both with m_mutex held.
  bool Open();
  void Close();
  std::optional<RegistryValue> Lookup(std::string_view key, std::string_view name) const;
  // Inserts the key when missing and returns its row id; 0 on failure. Inside a write.
  int64_t EnsureKey(std::string_view key);

  std::string m_path;
  mutable std::mutex m_mutex;           // guards m_db and m_stmts
  sqlite3* m_db = nullptr;              // null when the store could not be opened
  std::unique_ptr<Statements> m_stmts;  // prepared once; null exactly when m_db is
};

}  // namespace tulix
