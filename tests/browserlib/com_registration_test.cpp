#include "browserlib/com/registration.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/registry_store.h"
#include "test_support.h"

namespace tulix::com {
namespace {

constexpr CLSID kClsid{
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr CLSID kOtherClsid{
    0x11111112, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kLibid{0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}};
constexpr IID kIid{0xAAAAAAAB, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}};

const char kClassKey[] = "HKEY_CLASSES_ROOT\\CLSID\\{11111111-2222-3333-4444-555555555555}";
const char kLibraryKey[] = "HKEY_CLASSES_ROOT\\TypeLib\\{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";

ClassRegistration ExpClass() {
  ClassRegistration entry;
  entry.clsid = kClsid;
  entry.description = "Exp Class";
  entry.progId = "Lib.Exp.1";
  entry.versionIndependentProgId = "Lib.Exp";
  entry.programmable = true;
  entry.typeLibrary = kLibid;
  return entry;
}

TypeLibraryRegistration Library() {
  TypeLibraryRegistration library;
  library.libid = kLibid;
  library.name = "lib 1.0 Type Library";
  library.interfaces.push_back({kIid, "IExp"});
  return library;
}

class ComRegistration : public ::tulix::test::TulixTest {
 protected:
  // Every key under HKEY_CLASSES_ROOT, less the root part.
  std::vector<std::string> Keys(RegistryStore& store) {
    std::vector<std::string> keys;
    for (const std::string& key : store.KeysBelow(kClassesRoot)) {
      keys.push_back(key.substr(sizeof kClassesRoot));
    }
    return keys;
  }
};

TEST_F(ComRegistration, ClassEntriesAreWrittenAndRemovedExactly) {
  RegistryStore store;
  ClassRegistration entry = ExpClass();
  ASSERT_EQ(RegisterClass(store, entry, "/opt/tulix/tulixlib.so"), S_OK);

  const std::string clsid = "CLSID\\{11111111-2222-3333-4444-555555555555}";
  EXPECT_EQ(Keys(store), (std::vector<std::string>{
                             clsid,
                             clsid + "\\InprocServer32",
                             clsid + "\\ProgID",
                             clsid + "\\Programmable",
                             clsid + "\\TypeLib",
                             clsid + "\\VersionIndependentProgID",
                             "Lib.Exp",
                             "Lib.Exp.1",
                             "Lib.Exp.1\\CLSID",
                             "Lib.Exp\\CLSID",
                             "Lib.Exp\\CurVer",
                         }));
  const std::string key = kClassKey;
  EXPECT_EQ(store.GetString(key, "", "-"), "Exp Class");
  EXPECT_EQ(store.GetString(key + "\\InprocServer32", "", "-"), "/opt/tulix/tulixlib.so");
  EXPECT_EQ(store.GetString(key + "\\InprocServer32", "ThreadingModel", "-"), "Both");
  EXPECT_EQ(store.GetString(key + "\\ProgID", "", "-"), "Lib.Exp.1");
  EXPECT_EQ(store.GetString(key + "\\VersionIndependentProgID", "", "-"), "Lib.Exp");
  EXPECT_EQ(store.GetString(key + "\\TypeLib", "", "-"), "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
  EXPECT_EQ(store.GetString("HKEY_CLASSES_ROOT\\Lib.Exp.1", "", "-"), "Exp Class");
  EXPECT_EQ(store.GetString("HKEY_CLASSES_ROOT\\Lib.Exp.1\\CLSID", "", "-"),
            "{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(store.GetString("HKEY_CLASSES_ROOT\\Lib.Exp\\CLSID", "", "-"),
            "{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(store.GetString("HKEY_CLASSES_ROOT\\Lib.Exp\\CurVer", "", "-"), "Lib.Exp.1");

  ASSERT_EQ(UnregisterClass(store, entry), S_OK);
  EXPECT_EQ(Keys(store), std::vector<std::string>{});
  // Unregistering what is not there succeeds.
  EXPECT_EQ(UnregisterClass(store, entry), S_OK);
}

TEST_F(ComRegistration, ProgIdTakenOverByAnotherClassSurvivesUnregistering) {
  RegistryStore store;
  ClassRegistration mine = ExpClass();
  ClassRegistration theirs = ExpClass();
  theirs.clsid = kOtherClsid;
  theirs.versionIndependentProgId.clear();
  ASSERT_EQ(RegisterClass(store, mine, "/a/mine.so"), S_OK);
  ASSERT_EQ(RegisterClass(store, theirs, "/b/theirs.so"), S_OK);

  ASSERT_EQ(UnregisterClass(store, mine), S_OK);
  EXPECT_EQ(store.GetString("HKEY_CLASSES_ROOT\\Lib.Exp.1\\CLSID", "", "-"),
            "{11111112-2222-3333-4444-555555555555}");
  EXPECT_FALSE(store.KeyExists("HKEY_CLASSES_ROOT\\Lib.Exp"));
  EXPECT_FALSE(store.KeyExists(kClassKey));
  EXPECT_TRUE(store.KeyExists("HKEY_CLASSES_ROOT\\CLSID\\{11111112-2222-3333-4444-555555555555}"));
}

TEST_F(ComRegistration, CategoriesAreCreatedAndMarksRemovedButNotTheCategories) {
  RegistryStore store;
  ASSERT_EQ(RegisterComponentCategory(store, CATID_SafeForScripting,
                                      "Controls that are safely scriptable"),
            S_OK);
  ASSERT_EQ(RegisterComponentCategory(store, CATID_SafeForInitializing,
                                      "Controls safely initializable from persistent data"),
            S_OK);
  const std::string scripting =
      "HKEY_CLASSES_ROOT\\Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
  EXPECT_EQ(store.GetString(scripting, "409", "-"), "Controls that are safely scriptable");
  EXPECT_EQ(store.GetString(
                "HKEY_CLASSES_ROOT\\Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}",
                "409", "-"),
            "Controls safely initializable from persistent data");

  const CATID both[] = {CATID_SafeForScripting, CATID_SafeForInitializing};
  ASSERT_EQ(RegisterClass(store, ExpClass(), "/x/lib.so"), S_OK);
  ASSERT_EQ(RegisterImplementedCategories(store, kClsid, both), S_OK);
  const std::string implemented = std::string(kClassKey) + "\\Implemented Categories";
  EXPECT_EQ(store.KeysBelow(implemented),
            (std::vector<std::string>{implemented + "\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}",
                                      implemented + "\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"}));

  // Removing one mark keeps the other; removing the last takes the parent key too.
  ASSERT_EQ(UnregisterImplementedCategories(store, kClsid, std::span(both, 1)), S_OK);
  EXPECT_EQ(store.KeysBelow(implemented).size(), 1u);
  ASSERT_EQ(UnregisterImplementedCategories(store, kClsid, both), S_OK);
  EXPECT_FALSE(store.KeyExists(implemented));
  EXPECT_TRUE(store.KeyExists(kClassKey));
  EXPECT_TRUE(store.KeyExists(scripting));
}

TEST_F(ComRegistration, TypeLibraryAndItsInterfacesAreWrittenAndRemoved) {
  RegistryStore store;
  TypeLibraryRegistration library = Library();
  ClassRegistration entry = ExpClass();
  ASSERT_EQ(RegisterServer(store, "/opt/tulix/tulixlib.so", std::span(&entry, 1), &library), S_OK);

  const std::string version = std::string(kLibraryKey) + "\\1.0";
  EXPECT_EQ(store.GetString(version, "", "-"), "lib 1.0 Type Library");
  EXPECT_EQ(store.GetString(version + "\\0\\linux", "", "-"), "/opt/tulix/tulixlib.so");
  EXPECT_EQ(store.GetString(version + "\\FLAGS", "", "-"), "0");
  EXPECT_EQ(store.GetString(version + "\\HELPDIR", "", "-"), "/opt/tulix");
  const std::string iface = "HKEY_CLASSES_ROOT\\Interface\\{AAAAAAAB-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";
  EXPECT_EQ(store.GetString(iface, "", "-"), "IExp");
  EXPECT_EQ(store.GetString(iface + "\\ProxyStubClsid32", "", "-"),
            "{00020424-0000-0000-C000-000000000046}");
  EXPECT_EQ(store.GetString(iface + "\\TypeLib", "", "-"),
            "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
  EXPECT_EQ(store.GetString(iface + "\\TypeLib", "Version", "-"), "1.0");

  // Another version of the same library stays when this one goes.
  TypeLibraryRegistration newer = library;
  newer.minorVersion = 11;
  newer.interfaces.clear();
  ASSERT_EQ(RegisterTypeLibrary(store, newer, "/opt/tulix/tulixlib.so"), S_OK);
  EXPECT_TRUE(store.KeyExists(std::string(kLibraryKey) + "\\1.b"));

  ASSERT_EQ(UnregisterServer(store, std::span(&entry, 1), &library), S_OK);
  EXPECT_FALSE(store.KeyExists(version));
  EXPECT_FALSE(store.KeyExists(iface));
  EXPECT_TRUE(store.KeyExists(std::string(kLibraryKey) + "\\1.b"));
  ASSERT_EQ(UnregisterTypeLibrary(store, newer), S_OK);
  EXPECT_EQ(store.KeysBelow(kClassesRoot), std::vector<std::string>{});
}

TEST_F(ComRegistration, RefusedWritesReportTheRightError) {
  std::string notADatabase = m_temp.File("broken.db");
  ::tulix::test::WriteFileBytes(notADatabase, std::string(4096, 'x'));
  RegistryStore store(notADatabase);
  ClassRegistration entry = ExpClass();
  TypeLibraryRegistration library = Library();
  const CATID one[] = {CATID_SafeForScripting};
  EXPECT_EQ(RegisterClass(store, entry, "/x.so"), SELFREG_E_CLASS);
  EXPECT_EQ(RegisterTypeLibrary(store, library, "/x.so"), SELFREG_E_TYPELIB);
  EXPECT_EQ(RegisterComponentCategory(store, CATID_SafeForScripting, "x"), REGDB_E_WRITEREGDB);
  EXPECT_EQ(RegisterImplementedCategories(store, kClsid, one), REGDB_E_WRITEREGDB);
  EXPECT_EQ(RegisterServer(store, "/x.so", std::span(&entry, 1), &library), SELFREG_E_CLASS);
  EXPECT_EQ(UnregisterServer(store, std::span(&entry, 1), &library), SELFREG_E_CLASS);

  RegistryStore good;
  EXPECT_EQ(RegisterClass(good, entry, ""), E_INVALIDARG);
  EXPECT_EQ(good.KeysBelow(kClassesRoot), std::vector<std::string>{});
}

}  // namespace
}  // namespace tulix::com
