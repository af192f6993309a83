#include "platform/registry_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/paths.h"
#include "platform/trace.h"

namespace tulix {

namespace {

using Clock = std::chrono::steady_clock;

// How long SQLite itself waits for another connection's lock, and how long we keep retrying
// the cases where it gives up at once (the WAL switch of a new file, a busy BEGIN or COMMIT).
constexpr int kBusyTimeoutMs = 5000;
constexpr auto kRetryFor = std::chrono::seconds(15);
constexpr auto kRetryPause = std::chrono::milliseconds(5);

// Key paths and value names compare with NOCASE, which folds ASCII letters only. A key's
// descendants are the keys whose path starts with "key\"; LIKE would treat "_" and "%" in a
// path as wildcards, so the prefix is compared with substr and lower (also ASCII-only).
// ?1 is the key, ?2 the key followed by a backslash.
#define TULIX_KEY_OR_BELOW "(path = ?1 OR lower(substr(path, 1, length(?2))) = lower(?2))"

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS registry_keys ("
    "  id INTEGER PRIMARY KEY,"
    "  path TEXT NOT NULL COLLATE NOCASE UNIQUE);"
    "CREATE TABLE IF NOT EXISTS registry_values ("
    "  key_id INTEGER NOT NULL REFERENCES registry_keys(id),"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE (key_id, name));";

enum StatementId {
  kFindKey,
  kInsertKey,
  kGetValue,
  kUpsertValue,
  kDeleteValue,
  kDeleteKeyValues,
  kDeleteKeys,
  kKeyExists,
  kValueNames,
  kKeysBelow,
  kStatementCount
};

constexpr std::array<const char*, kStatementCount> kStatementSql = {
    "SELECT id FROM registry_keys WHERE path = ?1",
    // The conflict leaves the existing row alone, so the first spelling stays.
    "INSERT INTO registry_keys (path) VALUES (?1) ON CONFLICT (path) DO NOTHING",
    "SELECT v.type, v.data FROM registry_values AS v JOIN registry_keys AS k ON k.id = v.key_id"
    " WHERE k.path = ?1 AND v.name = ?2",
    "INSERT INTO registry_values (key_id, name, type, data) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT (key_id, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM registry_values"
    " WHERE name = ?2 AND key_id IN (SELECT id FROM registry_keys WHERE path = ?1)",
    "DELETE FROM registry_values"
    " WHERE key_id IN (SELECT id FROM registry_keys WHERE " TULIX_KEY_OR_BELOW ")",
    "DELETE FROM registry_keys WHERE " TULIX_KEY_OR_BELOW,
    "SELECT 1 FROM registry_keys WHERE " TULIX_KEY_OR_BELOW " LIMIT 1",
    "SELECT v.name FROM registry_values AS v JOIN registry_keys AS k ON k.id = v.key_id"
    " WHERE k.path = ?1 ORDER BY v.rowid",
    // ?1 is the key followed by a backslash.
    "SELECT path FROM registry_keys WHERE lower(substr(path, 1, length(?1))) = lower(?1)"
    " ORDER BY path",
};

#undef TULIX_KEY_OR_BELOW

bool IsBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Runs `sql` again while another connection holds the lock, until the retry deadline.
int ExecRetrying(sqlite3* db, const char* sql) {
  auto deadline = Clock::now() + kRetryFor;
  for (;;) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (!IsBusy(rc) || Clock::now() >= deadline) {
      return rc;
    }
    std::this_thread::sleep_for(kRetryPause);
  }
}

// Runs `body` in one BEGIN IMMEDIATE transaction: the write lock is taken up front, so the
// transaction never has to upgrade a read lock (which fails at once in WAL mode). Commits when
// `body` returns true, else rolls back.
bool InTransaction(sqlite3* db, const std::function<bool()>& body) {
  int rc = ExecRetrying(db, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) {
    Trace("Registry: cannot begin a write: %s\n", sqlite3_errmsg(db));
    return false;
  }
  bool done = body() && ExecRetrying(db, "COMMIT") == SQLITE_OK;
  if (!done) {
    Trace("Registry: write failed: %s\n", sqlite3_errmsg(db));
    // An I/O or corruption error may already have ended the transaction.
    if (sqlite3_get_autocommit(db) == 0) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  return done;
}

// Switches the database to WAL. Two processes switching a new file at once can get "database
// is locked" straight away, busy timeout or not, and a refused switch may answer with the old
// mode instead of an error; so retry until the answer is "wal" or the deadline passes. A file
// that is not a database fails at once.
bool SwitchToWal(sqlite3* db) {
  auto deadline = Clock::now() + kRetryFor;
  for (;;) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &stmt, nullptr);
    bool wal = false;
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(stmt);
      if (rc == SQLITE_ROW) {
        const unsigned char* mode = sqlite3_column_text(stmt, 0);
        wal = mode != nullptr && sqlite3_stricmp(reinterpret_cast<const char*>(mode), "wal") == 0;
        rc = SQLITE_OK;
      }
    }
    sqlite3_finalize(stmt);
    if (wal) {
      return true;
    }
    if ((rc != SQLITE_OK && !IsBusy(rc)) || Clock::now() >= deadline) {
      Trace("Registry: cannot switch to WAL: %s\n", sqlite3_errmsg(db));
      return false;
    }
    std::this_thread::sleep_for(kRetryPause);
  }
}

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// SQLite binds a null pointer as SQL NULL, and an empty string_view or vector may have one.
const char* NonNull(const char* p) {
  return p == nullptr ? "" : p;
}

// One use of a cached statement: binds, steps, and leaves it reset with no bindings, so no
// pointer into the caller's strings outlives the call.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* stmt) : m_stmt(stmt) {}
  ~StatementUse() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;

  StatementUse& Text(int index, std::string_view text) {
    Check(sqlite3_bind_text64(m_stmt, index, NonNull(text.data()), text.size(), SQLITE_STATIC,
                              SQLITE_UTF8));
    return *this;
  }
  StatementUse& Blob(int index, const std::vector<uint8_t>& data) {
    Check(sqlite3_bind_blob64(m_stmt, index, NonNull(reinterpret_cast<const char*>(data.data())),
                              data.size(), SQLITE_STATIC));
    return *this;
  }
  StatementUse& Int(int index, int64_t value) {
    Check(sqlite3_bind_int64(m_stmt, index, value));
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error; an error once binding failed.
  int Step() { return m_bound ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }
  sqlite3_stmt* get() const { return m_stmt; }

 private:
  void Check(int rc) { m_bound = m_bound && rc == SQLITE_OK; }

  sqlite3_stmt* m_stmt;
  bool m_bound = true;
};

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  int size = sqlite3_column_bytes(stmt, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), size);
}

bool IsKnownType(RegistryType type) {
  return type == RegistryType::kSz || type == RegistryType::kBinary || type == RegistryType::kDword;
}

}  // namespace

struct RegistryStore::Statements {
  std::array<sqlite3_stmt*, kStatementCount> stmts{};

  ~Statements() {
    for (sqlite3_stmt* stmt : stmts) {
      sqlite3_finalize(stmt);
    }
  }
  sqlite3_stmt* operator[](StatementId id) const { return stmts[id]; }
};

RegistryStore::RegistryStore(std::string path)
    : m_path(path.empty() ? DefaultPath() : std::move(path)) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!Open()) {
    Close();
  }
}

RegistryStore::~RegistryStore() {
  std::lock_guard<std::mutex> lock(m_mutex);
  Close();
}

std::string RegistryStore::DefaultPath() {
  std::string path = EnvOrEmpty("TULIX_REGISTRY");
  if (!path.empty()) {
    return path;
  }
  // A relative XDG_CONFIG_HOME is ignored, as the base-directory rules say: it would put the
  // settings wherever the program happened to start.
  std::string config = EnvOrEmpty("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') {
    std::string home = EnvOrEmpty("HOME");
    if (home.empty()) {
      const passwd* user = getpwuid(getuid());
      home = user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
    }
    config = home + "/.config";
  }
  return config + "/tulix/registry.db";
}

namespace {

// Creates the store's file readable and writable by its owner only, and takes those rights back
// from a file an earlier version made with the default ones. SQLite gives its journal files the
// rights of the database file, so they follow.
void RestrictToOwner(const std::filesystem::path& file) {
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return;  // opening the store reports what is wrong
  }
  fchmod(fd, 0600);
  close(fd);
}

}  // namespace

bool RegistryStore::IsOpen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_db != nullptr;
}

bool RegistryStore::Open() {
  std::filesystem::path file(ToFileSystemPath(m_path));
  std::error_code ec;
  if (file.has_parent_path() && !std::filesystem::exists(file.parent_path(), ec)) {
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
      Trace("Registry: cannot create the folder of %s: %s\n", m_path.c_str(), ec.message().c_str());
      return false;
    }
    // The store holds the mail password as it was typed: a folder made for it is its owner's.
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
  }
  RestrictToOwner(file);
  int rc =
      sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK || m_db == nullptr) {
    Trace("Registry: cannot open %s: %s\n", m_path.c_str(),
          m_db != nullptr ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc));
    return false;
  }
  // SQLite falls back to read-only for a file it may not write; such a store cannot switch to
  // WAL nor take writes, so it counts as unusable.
  if (sqlite3_db_readonly(m_db, "main") != 0) {
    Trace("Registry: %s is read-only\n", m_path.c_str());
    return false;
  }
  sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
  if (!SwitchToWal(m_db)) {
    return false;
  }
  // FULL syncs every commit, so a crash or power loss costs at most the write in progress.
  sqlite3_exec(m_db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  bool schema = InTransaction(
      m_db, [this] { return sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK; });
  if (!schema) {
    return false;
  }
  // A database of another layout fails here, when a statement names a missing column.
  m_stmts = std::make_unique<Statements>();
  for (int id = 0; id < kStatementCount; ++id) {
    if (sqlite3_prepare_v3(m_db, kStatementSql[id], -1, SQLITE_PREPARE_PERSISTENT,
                           &m_stmts->stmts[id], nullptr) != SQLITE_OK) {
      Trace("Registry: %s is not a registry: %s\n", m_path.c_str(), sqlite3_errmsg(m_db));
      return false;
    }
  }
  return true;
}

void RegistryStore::Close() {
  m_stmts.reset();
  if (m_db != nullptr) {
    sqlite3_close_v2(m_db);
    m_db = nullptr;
  }
}

std::optional<RegistryValue> RegistryStore::Lookup(std::string_view key,
                                                   std::string_view name) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db == nullptr) {
    return std::nullopt;
  }
  StatementUse use((*m_stmts)[kGetValue]);
  if (use.Text(1, key).Text(2, name).Step() != SQLITE_ROW) {
    return std::nullopt;
  }
  RegistryValue value;
  value.type = static_cast<RegistryType>(sqlite3_column_int(use.get(), 0));
  const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(use.get(), 1));
  int size = sqlite3_column_bytes(use.get(), 1);
  if (data != nullptr && size > 0) {
    value.data.assign(data, data + size);
  }
  return value;
}

uint32_t RegistryStore::GetDword(std::string_view key, std::string_view name, uint32_t def) const {
  auto value = Lookup(key, name);
  if (!value || value->type != RegistryType::kDword || value->data.size() != 4) {
    return def;
  }
  const auto& d = value->data;
  return uint32_t{d[0]} | uint32_t{d[1]} << 8 | uint32_t{d[2]} << 16 | uint32_t{d[3]} << 24;
}

std::string RegistryStore::GetString(std::string_view key, std::string_view name,
                                     std::string_view def) const {
  auto value = Lookup(key, name);
  if (!value || value->type != RegistryType::kSz) {
    return std::string(def);
  }
  std::string text(value->data.begin(), value->data.end());
  text.resize(std::min(text.size(), text.find('\0')));
  return text;
}

std::optional<std::vector<uint8_t>> RegistryStore::GetBinary(std::string_view key,
                                                             std::string_view name) const {
  auto value = Lookup(key, name);
  if (!value || value->type != RegistryType::kBinary) {
    return std::nullopt;
  }
  return std::move(value->data);
}

std::optional<RegistryValue> RegistryStore::GetValue(std::string_view key,
                                                     std::string_view name) const {
  return Lookup(key, name);
}

RegistryValue RegistryValue::Dword(uint32_t value) {
  return {RegistryType::kDword,
          {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
           static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
}

RegistryValue RegistryValue::Sz(std::string_view text) {
  return {RegistryType::kSz, {text.begin(), text.end()}};
}

bool RegistryStore::SetDword(std::string_view key, std::string_view name, uint32_t value) {
  return SetValue(key, name, RegistryValue::Dword(value));
}

bool RegistryStore::SetString(std::string_view key, std::string_view name, std::string_view value) {
  return SetValue(key, name, RegistryValue::Sz(value));
}

bool RegistryStore::SetBinary(std::string_view key, std::string_view name,
                              const std::vector<uint8_t>& value) {
  return SetValue(key, name, RegistryValue{RegistryType::kBinary, value});
}

int64_t RegistryStore::EnsureKey(std::string_view key) {
  {
    StatementUse insert((*m_stmts)[kInsertKey]);
    if (insert.Text(1, key).Step() != SQLITE_DONE) {
      return 0;
    }
  }
  StatementUse find((*m_stmts)[kFindKey]);
  if (find.Text(1, key).Step() != SQLITE_ROW) {
    return 0;
  }
  return sqlite3_column_int64(find.get(), 0);
}

namespace {

bool IsStorable(const RegistryValue& value) {
  return IsKnownType(value.type) && (value.type != RegistryType::kDword || value.data.size() == 4);
}

}  // namespace

bool RegistryStore::UpsertValue(std::string_view key, std::string_view name,
                                const RegistryValue& value) {
  int64_t keyId = EnsureKey(key);
  if (keyId == 0) {
    return false;
  }
  StatementUse upsert((*m_stmts)[kUpsertValue]);
  upsert.Int(1, keyId).Text(2, name).Int(3, static_cast<int>(value.type)).Blob(4, value.data);
  return upsert.Step() == SQLITE_DONE;
}

bool RegistryStore::SetValue(std::string_view key, std::string_view name,
                             const RegistryValue& value) {
  if (!IsStorable(value)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db == nullptr) {
    return false;
  }
  return InTransaction(m_db, [&] { return UpsertValue(key, name, value); });
}

bool RegistryStore::SetValues(const std::vector<RegistryWrite>& writes) {
  for (const RegistryWrite& w : writes) {
    if (!IsStorable(w.value)) {
      return false;
    }
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db == nullptr) {
    return false;
  }
  return InTransaction(m_db, [&] {
    for (const RegistryWrite& w : writes) {
      if (!UpsertValue(w.key, w.name, w.value)) {
        return false;
      }
    }
    return true;
  });
}

bool RegistryStore::DeleteValue(std::string_view key, std::string_view name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db == nullptr) {
    return false;
  }
  return InTransaction(m_db, [&] {
    StatementUse del((*m_stmts)[kDeleteValue]);
    return del.Text(1, key).Text(2, name).Step() == SQLITE_DONE;
  });
}

bool RegistryStore::DeleteKey(std::string_view key) {
  std::string below = std::string(key) + '\\';
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db == nullptr) {
    return false;
  }
  // Values first, while their keys still say which ones go; both in one transaction.
  return InTransaction(m_db, [&] {
    for (StatementId id : {kDeleteKeyValues, kDeleteKeys}) {
      StatementUse del((*m_stmts)[id]);
      if (del.Text(1, key).Text(2, below).Step() != SQLITE_DONE) {
        return false;
      }
    }
    return true;
  });
}

bool RegistryStore::ValueExists(std::string_view key, std::string_view name) const {
  return Lookup(key, name).has_value();
}

bool RegistryStore::KeyExists(std::string_view key) const {
  std::string below = std::string(key) + '\\';
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db == nullptr) {
    return false;
  }
  StatementUse exists((*m_stmts)[kKeyExists]);
  return exists.Text(1, key).Text(2, below).Step() == SQLITE_ROW;
}

std::vector<std::string> RegistryStore::ValueNames(std::string_view key) const {
  std::vector<std::string> names;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db == nullptr) {
    return names;
  }
  StatementUse query((*m_stmts)[kValueNames]);
  query.Text(1, key);
  while (query.Step() == SQLITE_ROW) {
    names.push_back(ColumnText(query.get(), 0));
  }
  return names;
}

std::vector<std::string> RegistryStore::KeysBelow(std::string_view key) const {
  std::string below = std::string(key) + '\\';
  std::vector<std::string> paths;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db == nullptr) {
    return paths;
  }
  StatementUse query((*m_stmts)[kKeysBelow]);
  query.Text(1, below);
  while (query.Step() == SQLITE_ROW) {
    paths.push_back(ColumnText(query.get(), 0));
  }
  return paths;
}

}  // namespace tulix
