#include "browserlib/com/object_creation.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "browserlib/com/registration.h"
#include "browserlib/test_server.h"
#include "platform/dynamic_library.h"
#include "platform/registry_store.h"
#include "test_support.h"

namespace tulix::com {
namespace {

using test::CLSID_Greeter;
using test::IGreeter;
using test::IID_IGreeter;

const char kServer[] = TULIX_TEST_COM_SERVER;

ClassRegistration GreeterClass() {
  ClassRegistration entry;
  entry.clsid = CLSID_Greeter;
  entry.description = "Greeter Class";
  entry.progId = "TulixTest.Greeter.1";
  entry.versionIndependentProgId = "TulixTest.Greeter";
  return entry;
}

// The server's own DllCanUnloadNow, asked through a reference of our own that is dropped again.
HRESULT ServerCanUnloadNow() {
  DynamicLibrary library;
  if (!library.Open(kServer)) {
    return E_FAIL;
  }
  return library.Function<DllCanUnloadNowFunction>("DllCanUnloadNow")();
}

// Whether the system still has the server mapped, whoever loaded it.
bool ServerMapped() {
  void* handle = dlopen(kServer, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) {
    dlclose(handle);
  }
  return handle != nullptr;
}

// A site object that lives in the test program, handed to the server's object.
class Site final : public ComObject<IObjectSafety> {
 public:
  HRESULT GetInterfaceSafetyOptions(const IID&, DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT SetInterfaceSafetyOptions(const IID&, DWORD, DWORD) override { return E_NOTIMPL; }
};

class ComCreation : public ::tulix::test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_store = std::make_unique<RegistryStore>();
    ASSERT_EQ(RegisterClass(*m_store, GreeterClass(), kServer), S_OK);
  }

  void TearDown() override {
    // Whatever a test did, it must leave no object of the server behind.
    EXPECT_EQ(ServerCanUnloadNow(), S_OK);
    FreeUnusedLibraries();
    EXPECT_FALSE(IsServerLoaded(kServer));
    TulixTest::TearDown();
  }

  IGreeter* Create() {
    IGreeter* greeter = nullptr;
    EXPECT_EQ(CreateObjectByProgID(*m_store, "TulixTest.Greeter", IID_IGreeter,
                                   reinterpret_cast<void**>(&greeter)),
              S_OK);
    return greeter;
  }

  std::unique_ptr<RegistryStore> m_store;
};

TEST_F(ComCreation, ObjectMadeByProgIdIsCalledThroughItsVtableAndUnloadedWhenUnused) {
  // The forms without a store read the user's store, the one this test registered in.
  IGreeter* greeter = nullptr;
  ASSERT_EQ(
      CreateObjectByProgID("TulixTest.Greeter", IID_IGreeter, reinterpret_cast<void**>(&greeter)),
      S_OK);
  ASSERT_NE(greeter, nullptr);
  EXPECT_TRUE(IsServerLoaded(kServer));
  EXPECT_TRUE(IsServerLoaded(std::filesystem::path(kServer).parent_path().string() + "/./" +
                             std::filesystem::path(kServer).filename().string()));
  EXPECT_TRUE(ServerMapped());

  // As a C caller would: slot 7 is Greet, slot 8 Subtract, the object pointer first.
  using GreetFunction = HRESULT (*)(void*, BSTR, BSTR*);
  using SubtractFunction = HRESULT (*)(void*, LONG, LONG, LONG*);
  void** vtable = *reinterpret_cast<void***>(greeter);
  UniqueBstr name("W\xC3\xB6rld \xF0\x9F\x98\x80");
  UniqueBstr greeting;
  ASSERT_EQ(reinterpret_cast<GreetFunction>(vtable[7])(greeter, name.get(), greeting.out()), S_OK);
  EXPECT_EQ(greeting.Utf8(), "Hello, W\xC3\xB6rld \xF0\x9F\x98\x80!");
  LONG difference = 0;
  ASSERT_EQ(reinterpret_cast<SubtractFunction>(vtable[8])(greeter, 10, 3, &difference), S_OK);
  EXPECT_EQ(difference, 7);

  // The dual interface answers for IDispatch and IUnknown with the same object.
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(greeter->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  EXPECT_EQ(static_cast<void*>(dispatch), static_cast<void*>(greeter));
  IObjectWithSite* withSite = nullptr;
  ASSERT_EQ(dispatch->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite)),
            S_OK);

  // A second object by the versioned ProgID, from the same cached library.
  IGreeter* second = nullptr;
  ASSERT_EQ(CreateObjectByProgID(*m_store, "TulixTest.Greeter.1", IID_IGreeter,
                                 reinterpret_cast<void**>(&second)),
            S_OK);
  EXPECT_NE(second, greeter);

  dispatch->Release();
  withSite->Release();
  second->Release();
  EXPECT_EQ(ServerCanUnloadNow(), S_FALSE);
  EXPECT_EQ(FreeUnusedLibraries(), 0u);
  EXPECT_TRUE(IsServerLoaded(kServer));

  EXPECT_EQ(greeter->Release(), 0u);
  EXPECT_EQ(ServerCanUnloadNow(), S_OK);
  EXPECT_EQ(FreeUnusedLibraries(), 1u);
  EXPECT_FALSE(IsServerLoaded(kServer));
  EXPECT_FALSE(ServerMapped());
}

TEST_F(ComCreation, CurVerLeadsToTheCurrentVersion) {
  // Version 2 of the class is the Greeter; the version-independent name still names an old
  // CLSID of its own, which CurVer overrides.
  RegistryStore& store = *m_store;
  const std::string root = "HKEY_CLASSES_ROOT\\";
  const std::string greeter = GuidToString(CLSID_Greeter);
  const std::string stale = GuidToString(IID_IGreeter);
  ASSERT_TRUE(store.SetString(root + "Multi\\CLSID", "", stale));
  ASSERT_TRUE(store.SetString(root + "Multi\\CurVer", "", "Multi.2"));
  ASSERT_TRUE(store.SetString(root + "Multi.2\\CLSID", "", greeter));
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(store, "Multi", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Greeter);

  // A CurVer that names nothing falls back to the name's own CLSID, and a loop ends.
  ASSERT_TRUE(store.SetString(root + "Dangling\\CLSID", "", greeter));
  ASSERT_TRUE(store.SetString(root + "Dangling\\CurVer", "", "Dangling.9"));
  ASSERT_EQ(CLSIDFromProgID(store, "Dangling", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Greeter);
  ASSERT_TRUE(store.SetString(root + "LoopA\\CurVer", "", "LoopB"));
  ASSERT_TRUE(store.SetString(root + "LoopB\\CurVer", "", "LoopA"));
  ASSERT_TRUE(store.SetString(root + "LoopB\\CLSID", "", greeter));
  ASSERT_EQ(CLSIDFromProgID(store, "LoopA", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Greeter);

  ASSERT_TRUE(store.SetString(root + "Bad\\CLSID", "", "not a guid"));
  EXPECT_EQ(CLSIDFromProgID(store, "Bad", &clsid), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(clsid, GUID_NULL);
}

TEST_F(ComCreation, FailuresComeBackAsResultsWithNoObject) {
  RegistryStore& store = *m_store;
  auto create = [&](const std::string& progId, const IID& iid = IID_IUnknown) {
    void* object = &store;  // anything but null, to see it cleared
    HRESULT hr = CreateObjectByProgID(store, progId, iid, &object);
    EXPECT_EQ(object, nullptr) << progId;
    return hr;
  };
  EXPECT_EQ(create("No.Such.Class"), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(create(""), REGDB_E_CLASSNOTREG);
  // A name with a backslash would reach other keys, here the class's own key.
  EXPECT_EQ(create("CLSID\\" + GuidToString(CLSID_Greeter) + "\\InprocServer32\\.."),
            REGDB_E_CLASSNOTREG);

  auto registerAt = [&](const char* progId, const CLSID& clsid, const std::string& path) {
    ClassRegistration entry;
    entry.clsid = clsid;
    entry.progId = progId;
    ASSERT_EQ(RegisterClass(store, entry, path), S_OK);
  };
  constexpr CLSID kMissing{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  constexpr CLSID kNoExport{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 12}};
  constexpr CLSID kUnknownClass{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 13}};
  constexpr CLSID kNoPath{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 14}};
  registerAt("Missing.Library", kMissing, m_temp.File("gone.so"));
  registerAt("No.Export", kNoExport, TULIX_TEST_COMPONENT_GOOD);
  registerAt("Unknown.Class", kUnknownClass, kServer);
  ASSERT_TRUE(store.SetString("HKEY_CLASSES_ROOT\\No.Path\\CLSID", "", GuidToString(kNoPath)));
  ASSERT_TRUE(store.SetString("HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(kNoPath), "", "x"));

  EXPECT_EQ(create("No.Path"), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(create("Missing.Library"), CO_E_DLLNOTFOUND);
  EXPECT_EQ(create("No.Export"), E_FAIL);
  EXPECT_FALSE(IsServerLoaded(TULIX_TEST_COMPONENT_GOOD));
  EXPECT_EQ(create("Unknown.Class"), CLASS_E_CLASSNOTAVAILABLE);
  // The class lacks the interface: the object is made and let go at once.
  EXPECT_EQ(create("TulixTest.Greeter", IID_IObjectSafety), E_NOINTERFACE);
  EXPECT_EQ(ServerCanUnloadNow(), S_OK);
}

TEST_F(ComCreation, DispatchCallsTakeArgumentsLastFirst) {
  IGreeter* greeter = Create();
  ASSERT_NE(greeter, nullptr);

  OLECHAR name[] = u"sUbTrAcT";
  OLECHAR parameter[] = u"a";
  OLECHAR* names[] = {name, parameter};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(greeter->GetIDsOfNames(GUID_NULL, names, 1, 0, ids), S_OK);
  EXPECT_EQ(ids[0], test::kDispidSubtract);
  EXPECT_EQ(greeter->GetIDsOfNames(GUID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], test::kDispidSubtract);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  OLECHAR unknown[] = u"Subtracted";
  OLECHAR* unknownNames[] = {unknown};
  EXPECT_EQ(greeter->GetIDsOfNames(GUID_NULL, unknownNames, 1, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);

  // Subtract(10, 3): rgvarg holds 3 first. The 10 comes as text, as a script may pass it.
  VARIANT args[2] = {MakeVariantI4(3), MakeVariantBstr("10")};
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  UINT argError = 99;
  ASSERT_EQ(greeter->Invoke(test::kDispidSubtract, GUID_NULL, 0, DISPATCH_METHOD, &params, &result,
                            nullptr, &argError),
            S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 7);

  // The bad argument is reported by its place in rgvarg.
  VariantClear(&args[1]);
  args[1] = MakeVariantBstr("ten");
  EXPECT_EQ(greeter->Invoke(test::kDispidSubtract, GUID_NULL, 0, DISPATCH_METHOD, &params, &result,
                            nullptr, &argError),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argError, 1u);
  params.cArgs = 1;
  EXPECT_EQ(greeter->Invoke(test::kDispidSubtract, GUID_NULL, 0, DISPATCH_METHOD, &params, &result,
                            nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);
  DISPID named = 0;
  DISPPARAMS withNames{args, &named, 1, 1};
  EXPECT_EQ(greeter->Invoke(test::kDispidGreet, GUID_NULL, 0, DISPATCH_METHOD, &withNames, &result,
                            nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  EXPECT_EQ(greeter->Invoke(99, GUID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);

  // A string result belongs to the caller's VARIANT.
  DISPPARAMS one{&args[1], nullptr, 1, 0};
  ASSERT_EQ(
      greeter->Invoke(test::kDispidGreet, GUID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                      &one, &result, nullptr, nullptr),
      S_OK);
  EXPECT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(Utf8FromBstr(result.bstrVal), "Hello, ten!");
  EXPECT_EQ(VariantClear(&result), S_OK);
  // And a caller that wants no result leaks nothing.
  EXPECT_EQ(greeter->Invoke(test::kDispidGreet, GUID_NULL, 0, DISPATCH_METHOD, &one, nullptr,
                            nullptr, nullptr),
            S_OK);

  VariantClear(&args[0]);
  VariantClear(&args[1]);
  greeter->Release();
}

TEST_F(ComCreation, ThreadsCreatingAtOnceShareOneLoadedLibrary) {
  constexpr int kThreads = 4;
  constexpr int kObjectsEach = 20;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kObjectsEach; ++i) {
        IGreeter* greeter = nullptr;
        if (FAILED(CreateObjectByProgID(*m_store, "TulixTest.Greeter", IID_IGreeter,
                                        reinterpret_cast<void**>(&greeter)))) {
          continue;
        }
        LONG difference = 0;
        if (SUCCEEDED(greeter->Subtract(t, i, &difference)) && difference == t - i) {
          ++good;
        }
        greeter->Release();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(good.load(), kThreads * kObjectsEach);
  EXPECT_EQ(FreeUnusedLibraries(), 1u);
}

TEST_F(ComCreation, SiteIsHeldUntilTheObjectGoesAndLockServerPinsTheLibrary) {
  IGreeter* greeter = Create();
  ASSERT_NE(greeter, nullptr);
  IObjectWithSite* withSite = nullptr;
  ASSERT_EQ(greeter->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite)),
            S_OK);
  void* none = &none;
  EXPECT_EQ(withSite->GetSite(IID_IUnknown, &none), E_FAIL);
  EXPECT_EQ(none, nullptr);

  IObjectSafety* site = nullptr;
  ASSERT_EQ(CreateComObject<Site>(IID_IObjectSafety, reinterpret_cast<void**>(&site)), S_OK);
  ASSERT_EQ(withSite->SetSite(site), S_OK);
  IObjectSafety* back = nullptr;
  ASSERT_EQ(withSite->GetSite(IID_IObjectSafety, reinterpret_cast<void**>(&back)), S_OK);
  EXPECT_EQ(back, site);
  back->Release();
  withSite->Release();
  // The object lets go of its site when it goes: ours is then the last reference.
  greeter->Release();
  EXPECT_EQ(site->Release(), 0u);

  // A lock through the class factory keeps the library loaded with no object alive.
  IClassFactory* factory = nullptr;
  ASSERT_EQ(GetClassObject(*m_store, CLSID_Greeter, IID_IClassFactory,
                           reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(FreeUnusedLibraries(), 0u);
  ASSERT_EQ(factory->LockServer(1), S_OK);
  factory->Release();
  EXPECT_EQ(FreeUnusedLibraries(), 0u);
  EXPECT_TRUE(IsServerLoaded(kServer));
  ASSERT_EQ(GetClassObject(*m_store, CLSID_Greeter, IID_IClassFactory,
                           reinterpret_cast<void**>(&factory)),
            S_OK);
  ASSERT_EQ(factory->LockServer(0), S_OK);
  factory->Release();
}

}  // namespace
}  // namespace tulix::com
