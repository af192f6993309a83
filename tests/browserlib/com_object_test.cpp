#include "browserlib/com/com_object.h"

#include <gtest/gtest.h>

namespace tulix::com {
namespace {

// An object with two interfaces that both extend IUnknown.
class SafeSite final : public ComObject<IObjectSafety, IObjectWithSite> {
 public:
  HRESULT GetInterfaceSafetyOptions(const IID&, DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT SetInterfaceSafetyOptions(const IID&, DWORD, DWORD) override { return E_NOTIMPL; }
  HRESULT SetSite(IUnknown*) override { return S_OK; }
  HRESULT GetSite(const IID&, void**) override { return E_FAIL; }
};

TEST(ComObject, QueryInterfaceKeepsOneIdentityAndCountsReferences) {
  long before = ModuleObjectCount();
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(CreateComObject<SafeSite>(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  EXPECT_EQ(ModuleObjectCount(), before + 1);
  EXPECT_EQ(CanUnloadModule(), S_FALSE);

  IObjectWithSite* withSite = nullptr;
  ASSERT_EQ(safety->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&withSite)), S_OK);
  EXPECT_NE(static_cast<void*>(withSite), static_cast<void*>(safety));
  // IUnknown asked through either interface is the same pointer: that is the object's identity.
  IUnknown* first = nullptr;
  IUnknown* second = nullptr;
  ASSERT_EQ(safety->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&first)), S_OK);
  ASSERT_EQ(withSite->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&second)), S_OK);
  EXPECT_EQ(first, second);

  void* none = &before;
  EXPECT_EQ(withSite->QueryInterface(IID_IDispatch, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(withSite->QueryInterface(IID_IDispatch, nullptr), E_POINTER);

  // One reference from creation and three from QueryInterface.
  EXPECT_EQ(first->Release(), 3u);
  EXPECT_EQ(second->Release(), 2u);
  EXPECT_EQ(withSite->Release(), 1u);
  EXPECT_EQ(ModuleObjectCount(), before + 1);
  EXPECT_EQ(safety->Release(), 0u);
  EXPECT_EQ(ModuleObjectCount(), before);

  // An interface the class lacks makes nothing that lingers.
  void* object = nullptr;
  EXPECT_EQ(CreateComObject<SafeSite>(IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(ModuleObjectCount(), before);
}

TEST(ComObject, FactoryMakesObjectsAndLocksTheModule) {
  ASSERT_EQ(ModuleObjectCount(), 0);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CreateClassFactory<SafeSite>(IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(CanUnloadModule(), S_FALSE);

  IObjectWithSite* object = nullptr;
  SafeSite* outer = nullptr;
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(&outer), IID_IObjectWithSite,
                                    reinterpret_cast<void**>(&object)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  ASSERT_EQ(
      factory->CreateInstance(nullptr, IID_IObjectWithSite, reinterpret_cast<void**>(&object)),
      S_OK);
  EXPECT_EQ(ModuleObjectCount(), 2);

  EXPECT_EQ(factory->LockServer(1), S_OK);
  factory->Release();
  object->Release();
  EXPECT_EQ(ModuleObjectCount(), 0);
  EXPECT_EQ(CanUnloadModule(), S_FALSE);
  UnlockModule();
  EXPECT_EQ(CanUnloadModule(), S_OK);
  // An unlock too many does not leave a debt that a later lock would pay off.
  UnlockModule();
  LockModule();
  EXPECT_EQ(CanUnloadModule(), S_FALSE);
  UnlockModule();
  EXPECT_EQ(ModuleLockCount(), 0);
}

}  // namespace
}  // namespace tulix::com
