#include "platform/registry_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <latch>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace tulix {
namespace {

constexpr const char* kBehaviour = "HKEY_CURRENT_USER\\Software\\Pellanworth\\Tulix\\Behaviour";
constexpr const char* kTulix = "HKEY_CURRENT_USER\\Software\\Pellanworth\\Tulix";

// Sets an environment variable for one scope and puts the old value back.
class EnvScope {
 public:
  EnvScope(const char* name, const char* value) : m_name(name) {
    if (const char* old = getenv(name)) {
      m_old = old;
    }
    Set(name, value);
  }
  ~EnvScope() { Set(m_name, m_old ? m_old->c_str() : nullptr); }

 private:
  static void Set(const char* name, const char* value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }

  const char* m_name;
  std::optional<std::string> m_old;
};

class RegistryStoreTest : public test::TulixTest {};

TEST_F(RegistryStoreTest, ValuesRoundTripAndSurviveReopening) {
  const std::vector<uint8_t> bytes = {0, 1, 0xFF, 0, 7};
  {
    RegistryStore store(m_registry);
    ASSERT_TRUE(store.IsOpen());
    EXPECT_TRUE(store.SetDword(kBehaviour, "Max", 0xFFFFFFFFu));
    EXPECT_TRUE(store.SetDword(kBehaviour, "Count", 0x12345678u));
    EXPECT_TRUE(store.SetString(kBehaviour, "Path", "/home/u/tulix \xC3\xA9"));
    EXPECT_TRUE(store.SetString(kBehaviour, "Empty", ""));
    EXPECT_TRUE(store.SetString(kBehaviour, "Cut", std::string_view("ab\0cd", 5)));
    EXPECT_TRUE(store.SetBinary(kBehaviour, "Blob", bytes));
    EXPECT_TRUE(store.SetBinary(kBehaviour, "NoBytes", {}));
    // A rewrite may change the type.
    EXPECT_TRUE(store.SetString(kBehaviour, "Retyped", "12"));
    EXPECT_TRUE(store.SetDword(kBehaviour, "Retyped", 12));
    // Only the three types, and a DWORD of exactly four bytes, are accepted.
    EXPECT_FALSE(store.SetValue(kBehaviour, "Bad", {static_cast<RegistryType>(7), {1}}));
    EXPECT_FALSE(store.SetValue(kBehaviour, "Bad", {RegistryType::kDword, {1, 2}}));
    EXPECT_FALSE(store.ValueExists(kBehaviour, "Bad"));
  }
  RegistryStore store(m_registry);
  ASSERT_TRUE(store.IsOpen());
  EXPECT_EQ(store.GetDword(kBehaviour, "Max", 1), 0xFFFFFFFFu);
  EXPECT_EQ(store.GetDword(kBehaviour, "Count", 1), 0x12345678u);
  EXPECT_EQ(store.GetValue(kBehaviour, "Count")->data,
            (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(store.GetString(kBehaviour, "Path", "d"), "/home/u/tulix \xC3\xA9");
  EXPECT_EQ(store.GetString(kBehaviour, "Empty", "d"), "");
  EXPECT_EQ(store.GetString(kBehaviour, "Cut", "d"), "ab");
  EXPECT_EQ(store.GetValue(kBehaviour, "Cut")->data.size(), 5u);
  EXPECT_EQ(store.GetBinary(kBehaviour, "Blob"), bytes);
  EXPECT_EQ(store.GetBinary(kBehaviour, "NoBytes"), std::vector<uint8_t>{});
  EXPECT_EQ(store.GetDword(kBehaviour, "Retyped", 1), 12u);
  EXPECT_EQ(store.GetValue(kBehaviour, "Retyped")->type, RegistryType::kDword);
}

// The store holds the mail password: nobody but its owner may read it, nor list its folder.
TEST_F(RegistryStoreTest, TheStoreAndAFolderMadeForItAreTheOwnersOnly) {
  const std::string folder = m_temp.File("config/tulix");
  const std::string path = folder + "/registry.db";
  const mode_t previous = umask(022);
  {
    RegistryStore store(path);
    ASSERT_TRUE(store.IsOpen());
    EXPECT_TRUE(store.SetString(kBehaviour, "Password", "secret"));
  }
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  for (const char* journal : {"-wal", "-shm"}) {
    if (stat((path + journal).c_str(), &info) == 0) {
      EXPECT_EQ(info.st_mode & 0077, 0u) << journal;
    }
  }
  // A store an earlier version left readable by all is taken back.
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  { RegistryStore store(path); }
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  umask(previous);
}

TEST_F(RegistryStoreTest, NamesIgnoreAsciiCaseAndKeepFirstSpelling) {
  RegistryStore store(m_registry);
  ASSERT_TRUE(store.SetString(kBehaviour, "SmtpServer", "a"));
  EXPECT_EQ(store.GetString("hkey_current_user\\SOFTWARE\\pellanworth\\tulix\\BEHAVIOUR",
                            "SMTPSERVER", "d"),
            "a");
  ASSERT_TRUE(store.SetString("HKEY_CURRENT_USER\\software\\PELLANWORTH\\Tulix\\behaviour",
                              "smtpserver", "b"));
  EXPECT_EQ(store.GetString(kBehaviour, "SmtpServer", "d"), "b");
  EXPECT_EQ(store.ValueNames("hkey_current_user\\software\\pellanworth\\tulix\\behaviour"),
            std::vector<std::string>{"SmtpServer"});
  EXPECT_EQ(store.KeysBelow("HKEY_CURRENT_USER"),
            std::vector<std::string>{std::string(kBehaviour)});
  // Only ASCII letters fold: these are two values.
  ASSERT_TRUE(store.SetDword(kBehaviour, "\xC3\xA9t\xC3\xA9", 1));
  ASSERT_TRUE(store.SetDword(kBehaviour, "\xC3\x89T\xC3\x89", 2));
  EXPECT_EQ(store.GetDword(kBehaviour, "\xC3\xA9T\xC3\xA9", 0), 1u);
  EXPECT_EQ(store.ValueNames(kBehaviour).size(), 3u);
}

TEST_F(RegistryStoreTest, MissingOrMistypedValuesGiveDefaultsAndReadsCreateNothing) {
  RegistryStore store(m_registry);
  EXPECT_EQ(store.GetDword("Nowhere", "x", 42), 42u);
  EXPECT_EQ(store.GetString("Nowhere", "x", "dflt"), "dflt");
  EXPECT_FALSE(store.GetBinary("Nowhere", "x"));
  EXPECT_FALSE(store.GetValue("Nowhere", "x"));
  EXPECT_FALSE(store.KeyExists("Nowhere"));

  ASSERT_TRUE(store.SetString(kBehaviour, "Text", "12"));
  ASSERT_TRUE(store.SetDword(kBehaviour, "Number", 5));
  ASSERT_TRUE(store.SetBinary(kBehaviour, "Bytes", {'h', 'i'}));
  EXPECT_EQ(store.GetDword(kBehaviour, "Text", 42), 42u);
  EXPECT_EQ(store.GetDword(kBehaviour, "Bytes", 42), 42u);
  EXPECT_EQ(store.GetDword(kBehaviour, "Missing", 42), 42u);
  EXPECT_EQ(store.GetString(kBehaviour, "Number", "dflt"), "dflt");
  EXPECT_EQ(store.GetString(kBehaviour, "Bytes", "dflt"), "dflt");
  EXPECT_FALSE(store.GetBinary(kBehaviour, "Text"));
  EXPECT_FALSE(store.KeyExists(std::string(kBehaviour) + "\\Sub"));
}

TEST_F(RegistryStoreTest, DeletingValuesAndKeysWithTheirSubkeys) {
  RegistryStore store(m_registry);
  const std::string beh = std::string(kTulix) + "\\Beh";
  const std::string behaviour = std::string(kTulix) + "\\Behaviour";
  const std::string underscore = std::string(kTulix) + "\\B_h";
  const std::string percent = std::string(kTulix) + "\\B%";
  for (const std::string& key :
       {beh, beh + "\\Sub", beh + "\\Sub\\Deep", behaviour, underscore,
        std::string(kTulix) + "\\Bxh\\Sub", percent, std::string(kTulix) + "\\Bzz"}) {
    ASSERT_TRUE(store.SetDword(key, "v", 1)) << key;
  }

  // A key emptied of its values still exists; deleting what is missing succeeds.
  EXPECT_TRUE(store.DeleteValue(behaviour, "V"));
  EXPECT_FALSE(store.ValueExists(behaviour, "v"));
  EXPECT_TRUE(store.KeyExists(behaviour));
  EXPECT_TRUE(store.DeleteValue(behaviour, "v"));
  EXPECT_TRUE(store.DeleteValue("Nowhere", "v"));
  EXPECT_TRUE(store.DeleteKey("Nowhere"));

  // A parent exists through its subkeys only; a prefix of a name is not a parent.
  EXPECT_TRUE(store.KeyExists(kTulix));
  EXPECT_TRUE(store.KeyExists(std::string(kTulix) + "\\BXH"));
  EXPECT_FALSE(store.KeyExists(std::string(kTulix) + "\\Be"));

  EXPECT_TRUE(store.DeleteKey(std::string(kTulix) + "\\BEH"));
  EXPECT_FALSE(store.KeyExists(beh));
  EXPECT_FALSE(store.KeyExists(beh + "\\Sub\\Deep"));
  EXPECT_FALSE(store.ValueExists(beh + "\\Sub\\Deep", "v"));
  EXPECT_TRUE(store.KeyExists(behaviour));

  // "_" and "%" are plain characters, not patterns.
  EXPECT_TRUE(store.DeleteKey(underscore));
  EXPECT_TRUE(store.DeleteKey(percent));
  EXPECT_TRUE(store.ValueExists(std::string(kTulix) + "\\Bxh\\Sub", "v"));
  EXPECT_TRUE(store.ValueExists(std::string(kTulix) + "\\Bzz", "v"));
  EXPECT_EQ(store.KeysBelow(kTulix),
            (std::vector<std::string>{behaviour, std::string(kTulix) + "\\Bxh\\Sub",
                                      std::string(kTulix) + "\\Bzz"}));

  // A deleted key comes back with the spelling of its new first write.
  ASSERT_TRUE(store.SetDword(std::string(kTulix) + "\\BEH", "V", 2));
  EXPECT_EQ(store.GetDword(beh + "\\Sub", "v", 0), 0u);
  EXPECT_EQ(store.KeysBelow(kTulix).front(), std::string(kTulix) + "\\BEH");
}

TEST_F(RegistryStoreTest, BatchWritesAllOrNothing) {
  RegistryStore store(m_registry);
  std::vector<RegistryWrite> writes = {
      {kBehaviour, "MaxScan", RegistryValue::Dword(30)},
      {std::string(kTulix) + "\\Email", "Host", RegistryValue::Sz("mail.example.org")},
  };
  ASSERT_TRUE(store.SetValues(writes));
  EXPECT_EQ(store.GetDword(kBehaviour, "maxscan", 0), 30u);
  EXPECT_EQ(store.GetString(std::string(kTulix) + "\\EMAIL", "Host", ""), "mail.example.org");

  // One bad value refuses the whole batch: nothing of it lands.
  writes[0].value = RegistryValue::Dword(40);
  writes[1].value = RegistryValue{RegistryType::kDword, {1, 2, 3}};
  EXPECT_FALSE(store.SetValues(writes));
  EXPECT_EQ(store.GetDword(kBehaviour, "MaxScan", 0), 30u);
}

TEST_F(RegistryStoreTest, KeyNamedByAFilePathIsOneKey) {
  RegistryStore store(m_registry);
  const std::string fileKey = std::string(kTulix) + "\\/home/u/cat/a.ini";
  ASSERT_TRUE(store.SetDword(fileKey, "Order", 3));
  ASSERT_TRUE(store.SetDword(std::string(kTulix) + "\\/home/u/cat/b.ini", "Order", 4));
  EXPECT_EQ(store.GetDword(fileKey, "order", 0), 3u);
  EXPECT_TRUE(store.KeyExists(fileKey));
  EXPECT_FALSE(store.KeyExists(std::string(kTulix) + "\\/home/u/cat"));
  EXPECT_TRUE(store.DeleteKey(fileKey));
  EXPECT_EQ(store.GetDword(std::string(kTulix) + "\\/home/u/cat/b.ini", "Order", 0), 4u);
  EXPECT_TRUE(store.DeleteKey(kTulix));
  EXPECT_FALSE(store.KeyExists(std::string(kTulix) + "\\/home/u/cat/b.ini"));
}

TEST_F(RegistryStoreTest, DefaultPathFollowsTheEnvironmentAndCreatesTheFolder) {
  const std::string explicitPath = m_temp.File("explicit/deeper/reg.db");
  {
    EnvScope registry("TULIX_REGISTRY", explicitPath.c_str());
    EXPECT_EQ(RegistryStore::DefaultPath(), explicitPath);
    RegistryStore store;
    EXPECT_TRUE(store.IsOpen());
    EXPECT_TRUE(std::filesystem::is_regular_file(explicitPath));
  }
  EnvScope noRegistry("TULIX_REGISTRY", nullptr);
  EnvScope home("HOME", m_temp.File("home").c_str());
  {
    EnvScope config("XDG_CONFIG_HOME", m_temp.File("config").c_str());
    EXPECT_EQ(RegistryStore::DefaultPath(), m_temp.File("config/tulix/registry.db"));
  }
  {
    EnvScope config("XDG_CONFIG_HOME", "relative");
    EXPECT_EQ(RegistryStore::DefaultPath(), m_temp.File("home/.config/tulix/registry.db"));
  }
  EnvScope noConfig("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(RegistryStore::DefaultPath(), m_temp.File("home/.config/tulix/registry.db"));
}

TEST_F(RegistryStoreTest, UnusableStoreReadsDefaultsRefusesWritesAndKeepsTheFile) {
  auto expectUnusable = [](const std::string& path) {
    RegistryStore store(path);
    EXPECT_FALSE(store.IsOpen()) << path;
    EXPECT_EQ(store.GetDword(kBehaviour, "x", 7), 7u);
    EXPECT_EQ(store.GetString(kBehaviour, "x", "d"), "d");
    EXPECT_FALSE(store.GetBinary(kBehaviour, "x"));
    EXPECT_FALSE(store.SetDword(kBehaviour, "x", 1));
    EXPECT_FALSE(store.SetString(kBehaviour, "x", "v"));
    EXPECT_FALSE(store.DeleteValue(kBehaviour, "x"));
    EXPECT_FALSE(store.DeleteKey(kBehaviour));
    EXPECT_FALSE(store.KeyExists(kBehaviour));
    EXPECT_TRUE(store.ValueNames(kBehaviour).empty());
  };

  // The folder cannot be created: its parent is a regular file.
  const std::string plain = m_temp.File("plain");
  test::WriteFileBytes(plain, "x");
  expectUnusable(plain + "/sub/registry.db");

  // A folder without write permission; root writes anyway, so that case stands on the above.
  const std::string locked = m_temp.File("locked");
  std::filesystem::create_directory(locked);
  chmod(locked.c_str(), 0555);
  if (access(locked.c_str(), W_OK) != 0) {
    expectUnusable(locked + "/registry.db");
  }
  chmod(locked.c_str(), 0755);

  // Files that are not databases stay as they were.
  std::mt19937 random(20240611);
  std::string noise(8192, '\0');
  for (char& c : noise) {
    c = static_cast<char>(random());
  }
  const std::string text = "[Behaviour]\r\nPath=/home/u\r\n";
  for (const std::string& content : {noise, text}) {
    const std::string path = m_temp.File("not-a-database.db");
    test::WriteFileBytes(path, content);
    expectUnusable(path);
    EXPECT_EQ(test::ReadFileBytes(path), content);
  }
}

TEST_F(RegistryStoreTest, FileDamagedWhileOpenDoesNotCrash) {
  for (const std::string& damage : {std::string(65536, '\x5A'), std::string()}) {
    {
      // Closing the last connection moves everything into the main file.
      RegistryStore writer(m_registry);
      for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(writer.SetString(kBehaviour, "F" + std::to_string(i), std::string(500, 'x')));
      }
      ASSERT_TRUE(writer.SetDword(kBehaviour, "Count", 5));
    }
    RegistryStore store(m_registry);
    ASSERT_TRUE(store.IsOpen());
    test::WriteFileBytes(m_registry, damage);
    uint32_t count = store.GetDword(kBehaviour, "Count", 9);
    EXPECT_TRUE(count == 5 || count == 9) << count;
    std::string text = store.GetString(kBehaviour, "F7", "d");
    EXPECT_TRUE(text == "d" || text == std::string(500, 'x'));
    // A write may fail, but one that reports success must read back.
    if (store.SetDword(kBehaviour, "Count", 6)) {
      EXPECT_EQ(store.GetDword(kBehaviour, "Count", 9), 6u);
    }
    store.DeleteKey(kBehaviour);
    store.KeyExists(kBehaviour);
    store.KeysBelow("HKEY_CURRENT_USER");
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::filesystem::remove(m_registry + suffix);
    }
  }
}

TEST_F(RegistryStoreTest, ThreadsShareOneStore) {
  RegistryStore store(m_registry);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 50; ++i) {
        std::string name = std::to_string(t) + "_" + std::to_string(i);
        EXPECT_TRUE(store.SetDword(kBehaviour, name, static_cast<uint32_t>(i)));
        EXPECT_EQ(store.GetDword(kBehaviour, name, 999), static_cast<uint32_t>(i));
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(store.ValueNames(kBehaviour).size(), 200u);
}

TEST_F(RegistryStoreTest, ConnectionsRaceToSwitchANewFileToWal) {
  // Two connections switching one new file to WAL at the same moment often get "database is
  // locked" at once; both stores must still open.
  for (int round = 0; round < 30; ++round) {
    const std::string path = m_temp.File("fresh" + std::to_string(round) + ".db");
    std::latch start(2);
    bool written[2] = {false, false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        RegistryStore store(path);
        written[t] = store.SetDword(kBehaviour, std::to_string(t), 1);
      });
    }
    for (auto& thread : threads) {
      thread.join();
    }
    ASSERT_TRUE(written[0] && written[1]) << "round " << round;
  }
}

constexpr int kChildValues = 500;

// Child half of ProcessesWriteAtOnce: does nothing unless started by it. The two children wait
// for each other, so that they open the new file at nearly the same moment.
TEST(RegistryStoreChild, WritesItsValues) {
  const char* tag = getenv("TULIX_REGISTRY_CHILD");
  const char* other = getenv("TULIX_REGISTRY_OTHER");
  const char* registry = getenv("TULIX_REGISTRY");
  if (tag == nullptr || other == nullptr || registry == nullptr) {
    return;
  }
  const std::string folder = std::filesystem::path(registry).parent_path();
  test::WriteFileBytes(folder + "/ready-" + tag, "");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(folder + "/ready-" + other)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  RegistryStore store;  // $TULIX_REGISTRY
  ASSERT_TRUE(store.IsOpen());
  for (int i = 0; i < kChildValues; ++i) {
    ASSERT_TRUE(
        store.SetDword(kBehaviour, std::string(tag) + std::to_string(i), static_cast<uint32_t>(i)));
  }
}

TEST_F(RegistryStoreTest, ProcessesWriteAtOnce) {
  int status[2] = {-1, -1};
  std::vector<std::thread> children;
  for (int c = 0; c < 2; ++c) {
    children.emplace_back([&, c] {
      status[c] = test::RunChildTest(
          "RegistryStoreChild.WritesItsValues",
          {"TULIX_REGISTRY=" + m_registry, std::string("TULIX_REGISTRY_CHILD=") + "ab"[c],
           std::string("TULIX_REGISTRY_OTHER=") + "ba"[c]});
    });
  }
  for (auto& child : children) {
    child.join();
  }
  ASSERT_EQ(status[0], 0);
  ASSERT_EQ(status[1], 0);
  RegistryStore store(m_registry);
  for (int i = 0; i < kChildValues; ++i) {
    for (const char* tag : {"a", "b"}) {
      ASSERT_EQ(store.GetDword(kBehaviour, tag + std::to_string(i), 9999), static_cast<uint32_t>(i))
          << tag << i;
    }
  }
}

}  // namespace
}  // namespace tulix
