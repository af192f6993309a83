#include "base/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/application.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "test_support.h"

namespace tulix {
namespace {

class Settings : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope = std::make_unique<ScopedApplication>(*m_app);
  }
  void TearDown() override {
    m_scope.reset();
    m_app.reset();
    ClearProfileCache();
    TulixTest::TearDown();
  }
  RegistryStore& registry() { return m_app->registry(); }
  static std::string Key(const char* section) {
    return std::string(kRegistryRoot) + "\\" + section;
  }

  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

TEST_F(Settings, EmptyStoreLoadsDefaultsAndSaveWritesEveryValue) {
  App().settings().MaxTasks = 99;
  LoadSettings();
  const AppSettings& s = App().settings();
  EXPECT_EQ(s.ExplorerIntegration, 2);
  EXPECT_EQ(s.MaxTasks, 3);
  EXPECT_EQ(s.DefaultResultCount, 50);
  EXPECT_EQ(s.MaxScan, 20);
  EXPECT_EQ(s.Port, 25);
  EXPECT_EQ(s.EncodingFriendly, "Western European (ISO)");
  EXPECT_EQ(s.EncodingCharset, "iso-8859-1");
  EXPECT_EQ(s.ScanLog, "");
  EXPECT_EQ(s.programFolder, m_home);

  SaveSettings();
  const std::pair<const char*, const char*> dwords[] = {{"Browser", "ExplorerIntegration"},
                                                        {"Browser", "OpenInNewWindow"},
                                                        {"Tasks", "MaxTasks"},
                                                        {"Tasks", "DefaultEngineCount"},
                                                        {"Tasks", "DefaultResultCount"},
                                                        {"Behaviour", "BrowserNewWindow"},
                                                        {"Behaviour", "MaxScan"},
                                                        {"Behaviour", "ScanKey"},
                                                        {"Behaviour", "UpdatePolicy"},
                                                        {"Email", "Port"},
                                                        {"Email", "Authenticate"},
                                                        {"Email", "Autodial"},
                                                        {"Email", "Mime"},
                                                        {"Email", "HTML"}};
  const std::pair<const char*, const char*> texts[] = {
      {"Behaviour", "ScanLog"},    {"Behaviour", "MyDomains"}, {"Email", "Address"},
      {"Email", "Host"},           {"Email", "Name"},          {"Email", "Username"},
      {"Email", "Password"},       {"Email", "BoundIP"},       {"Email", "EncodingFriendly"},
      {"Email", "EncodingCharset"}};
  for (const auto& [section, name] : dwords) {
    auto value = registry().GetValue(Key(section), name);
    ASSERT_TRUE(value.has_value()) << name;
    EXPECT_EQ(value->type, RegistryType::kDword) << name;
  }
  for (const auto& [section, name] : texts) {
    auto value = registry().GetValue(Key(section), name);
    ASSERT_TRUE(value.has_value()) << name;
    EXPECT_EQ(value->type, RegistryType::kSz) << name;
  }
  EXPECT_EQ(std::size(dwords) + std::size(texts), 24u);
  EXPECT_FALSE(registry().ValueExists(Key("Behaviour"), "Path"));
  EXPECT_FALSE(registry().ValueExists(Key("Behaviour"), "Version"));
  // Values of our own are read but left as the user set them.
  EXPECT_EQ(s.SecureWeb, 1);
  EXPECT_EQ(s.EngineTimeout, 10);
  EXPECT_FALSE(registry().ValueExists(Key("Behaviour"), "SecureWeb"));
  EXPECT_FALSE(registry().ValueExists(Key("Tasks"), "EngineTimeout"));
  registry().SetDword(Key("Behaviour"), "SecureWeb", 0);
  LoadSettings();
  EXPECT_EQ(s.SecureWeb, 0);
  EXPECT_FALSE(SecureWebOn());
}

TEST_F(Settings, StoredValuesLoadAndWrongTypesReadAsDefaults) {
  registry().SetDword(Key("TASKS"), "maxtasks", 7);
  registry().SetDword(Key("Behaviour"), "ScanKey", 0xFFFFFFFF);
  registry().SetString(Key("Email"), "Host", "mail.example.org");
  registry().SetString(Key("Email"), "Port", "587");  // a text where a number belongs
  registry().SetDword(Key("Email"), "Name", 12);      // a number where a text belongs
  LoadSettings();
  const AppSettings& s = App().settings();
  EXPECT_EQ(s.MaxTasks, 7);
  EXPECT_EQ(s.ScanKey, -1);
  EXPECT_EQ(s.Host, "mail.example.org");
  EXPECT_EQ(s.Port, 25);
  EXPECT_EQ(s.Name, "");

  App().settings().MyDomains = "uk,com";
  SaveSettings();
  App().settings().MyDomains.clear();
  LoadSettings();
  EXPECT_EQ(App().settings().MyDomains, "uk,com");
  EXPECT_EQ(App().settings().ScanKey, -1);
}

TEST_F(Settings, EngineSetVersionAndCategoryTimestamp) {
  EXPECT_EQ(GetEngineSetVersion(), 0.0);
  SetEngineSetVersion(1.5);
  EXPECT_EQ(registry().GetString(Key("Behaviour"), "Version", ""), "1.500000");
  EXPECT_DOUBLE_EQ(GetEngineSetVersion(), 1.5);
  EXPECT_EQ(ProgramVersionText(), "1.500");

  EXPECT_EQ(GetCategoryTimestamp(), "");
  UpdateCategoryTimestamp("1700000000");
  EXPECT_EQ(GetCategoryTimestamp(), "1700000000");
  UpdateCategoryTimestamp("1699999999");
  UpdateCategoryTimestamp("1700000000.0");
  EXPECT_EQ(GetCategoryTimestamp(), "1700000000");
  UpdateCategoryTimestamp("1700000001");
  EXPECT_EQ(GetCategoryTimestamp(), "1700000001");
}

// The desktop toolkit switches the C library to the user's locale; the stored numbers must not
// follow it, or a German desktop writes "1,500000" and cuts "1109876543.25" at the point.
TEST_F(Settings, StoredNumbersReadAndWriteAlikeUnderADecimalCommaLocale) {
  test::CommaDecimalLocale german;
  if (!german.active()) {
    GTEST_SKIP() << "no locale with a decimal comma installed (Debian: locales-all)";
  }
  EXPECT_EQ(ProgramVersionText(), "1.500");
  SetEngineSetVersion(1.5);
  EXPECT_EQ(registry().GetString(Key("Behaviour"), "Version", ""), "1.500000");
  EXPECT_DOUBLE_EQ(GetEngineSetVersion(), 1.5);
  // A comma is no decimal point in a stored value, whatever the locale.
  registry().SetString(Key("Behaviour"), "Version", "1,5");
  EXPECT_DOUBLE_EQ(GetEngineSetVersion(), 1.0);

  UpdateCategoryTimestamp("1109876543.25");
  UpdateCategoryTimestamp("1109876543.5");
  EXPECT_EQ(GetCategoryTimestamp(), "1109876543.5");
  UpdateCategoryTimestamp("1109876543,9");
  UpdateCategoryTimestamp("1109876543.4");
  EXPECT_EQ(GetCategoryTimestamp(), "1109876543.5");
}

TEST_F(Settings, FolderGetters) {
  EXPECT_EQ(GetProgramFolder(), m_home);
  EXPECT_EQ(GetCategoriesFolder(), m_home + "\\categories");
  EXPECT_EQ(GetSearchesFolder(), m_home + "\\searches");
  EXPECT_EQ(GetSitesFile(), m_home + "\\categories\\sites.sit");
  EXPECT_EQ(GetKeywordsFile(), m_home + "\\categories\\keywords.txt");
}

TEST_F(Settings, LayeredLookupOfDefinitionFileValues) {
  std::string file = m_home + "/engine.ini";
  test::WriteFileBytes(file,
                       "[main]\r\nresults=10\r\nname=Main name\r\nsame=4\r\n"
                       "[override]\r\nresults=30\r\nsame=4\r\nname=Forced\r\n");

  // A value in [override] wins, moves into the registry and leaves the file.
  EXPECT_EQ(GetFileProfileInt("results", 4, file), 30);
  EXPECT_EQ(registry().GetDword(FileSettingsKey(file), "results", 0), 30u);
  EXPECT_EQ(GetPrivateProfileString("override", "results", "gone", file), "gone");
  EXPECT_EQ(GetFileProfileInt("results", 4, file), 30);  // now from the registry

  // An override equal to the default is no override: it stays, and [main] answers.
  EXPECT_EQ(GetFileProfileInt("same", 4, file), 4);
  EXPECT_EQ(GetPrivateProfileString("override", "same", "", file), "4");
  EXPECT_FALSE(registry().ValueExists(FileSettingsKey(file), "same"));

  EXPECT_EQ(GetFileProfileString("name", "", file), "Forced");
  EXPECT_EQ(registry().GetString(FileSettingsKey(file), "name", ""), "Forced");
  EXPECT_EQ(GetPrivateProfileString("override", "name", "gone", file), "gone");

  // The user's registry value beats [main]; without either, the default.
  registry().SetString(FileSettingsKey(file), "title", "Mine");
  EXPECT_EQ(GetFileProfileString("title", "none", file), "Mine");
  EXPECT_EQ(GetFileProfileString("missing", "none ", file), "none");
  EXPECT_FALSE(registry().ValueExists(FileSettingsKey(file), "missing"));
  EXPECT_EQ(GetFileProfileInt("absent", -1, file), -1);

  // A file value longer than 9,999 characters is cut.
  WritePrivateProfileString("main", "long", std::string(12000, 'x').c_str(), file);
  EXPECT_EQ(GetFileProfileString("long", "", file).size(), 9999u);
}

TEST_F(Settings, TwoThreadsApplyingOneOverride) {
  std::string file = m_home + "/cat.ini";
  for (int round = 0; round < 20; ++round) {
    std::string key = "count" + std::to_string(round);
    WritePrivateProfileString("override", key.c_str(), "17", file);
    std::atomic<bool> go{false};
    std::vector<int32_t> seen(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) {
        }
        seen[t] = GetFileProfileInt(key, 5, file);
      });
    }
    go = true;
    for (auto& th : threads) {
      th.join();
    }
    EXPECT_EQ(seen[0], 17);
    EXPECT_EQ(seen[1], 17);
    EXPECT_EQ(registry().GetDword(FileSettingsKey(file), key, 0), 17u);
    EXPECT_EQ(GetPrivateProfileString("override", key.c_str(), "gone", file), "gone");
  }
  ClearProfileCache();
  std::string text = test::ReadFileBytes(file);
  EXPECT_EQ(text.find("count"), std::string::npos) << text;
}

TEST_F(Settings, UnusableRegistryGivesDefaultsAndNoCrash) {
  std::string notADatabase = m_temp.File("garbage.db");
  test::WriteFileBytes(notADatabase, std::string(5000, '\x7f') + "not a database");
  TulixApplication broken(m_home, notADatabase);
  ScopedApplication scope(broken);
  App().settings().MaxTasks = 11;
  SaveSettings();
  LoadSettings();
  EXPECT_EQ(App().settings().MaxTasks, 3);
  SetEngineSetVersion(2.0);
  EXPECT_EQ(GetEngineSetVersion(), 0.0);
  std::string file = m_home + "/e.ini";
  WritePrivateProfileString("main", "k", "9", file);
  EXPECT_EQ(GetFileProfileInt("k", 1, file), 9);
}

}  // namespace
}  // namespace tulix
