// A small in-process COM server for the tests: one class, Greeter, with the dual interface
// IGreeter and IObjectWithSite, made through the layer's own class factory.
#include "browserlib/test_server.h"
#include "browserlib/com/com_object.h"
#include "browserlib/com/dispatch.h"

namespace tulix::com::test {
namespace {

constexpr DispatchMember kMembers[] = {{"Greet", kDispidGreet}, {"Subtract", kDispidSubtract}};

class Greeter final : public ComObject<IGreeter, IObjectWithSite> {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) {
      return E_POINTER;
    }
    *count = 0;
    return S_OK;
  }

  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) {
      *info = nullptr;
    }
    return E_NOTIMPL;
  }

  HRESULT GetIDsOfNames(const IID&, OLECHAR** names, UINT count, LCID, DISPID* ids) override {
    return LookupDispatchIds(kMembers, names, count, ids);
  }

  HRESULT Invoke(DISPID id, const IID&, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO*, UINT* argError) override {
    switch (id) {
      case kDispidGreet: {
        HRESULT hr = CheckInvokeCall(flags, params, 1);
        UniqueBstr name;
        if (SUCCEEDED(hr)) {
          hr = GetArgument(params, 0, &name, argError);
        }
        BSTR greeting = nullptr;
        if (SUCCEEDED(hr)) {
          hr = Greet(name.get(), &greeting);
        }
        if (SUCCEEDED(hr)) {
          SetResult(result, greeting);
        }
        return hr;
      }
      case kDispidSubtract: {
        HRESULT hr = CheckInvokeCall(flags, params, 2);
        int32_t a = 0;
        int32_t b = 0;
        if (SUCCEEDED(hr)) {
          hr = GetArgument(params, 0, &a, argError);
        }
        if (SUCCEEDED(hr)) {
          hr = GetArgument(params, 1, &b, argError);
        }
        LONG difference = 0;
        if (SUCCEEDED(hr)) {
          hr = Subtract(a, b, &difference);
        }
        if (SUCCEEDED(hr)) {
          SetResult(result, difference);
        }
        return hr;
      }
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

  HRESULT Greet(BSTR name, BSTR* greeting) override {
    if (greeting == nullptr) {
      return E_POINTER;
    }
    *greeting = BstrFromUtf8("Hello, " + Utf8FromBstr(name) + "!");
    return *greeting != nullptr ? S_OK : E_OUTOFMEMORY;
  }

  HRESULT Subtract(LONG a, LONG b, LONG* difference) override {
    if (difference == nullptr) {
      return E_POINTER;
    }
    *difference = static_cast<LONG>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
    return S_OK;
  }

  HRESULT SetSite(IUnknown* site) override {
    if (site != nullptr) {
      site->AddRef();
    }
    if (m_site != nullptr) {
      m_site->Release();
    }
    m_site = site;
    return S_OK;
  }

  HRESULT GetSite(const IID& iid, void** site) override {
    if (site == nullptr) {
      return E_POINTER;
    }
    *site = nullptr;
    return m_site != nullptr ? m_site->QueryInterface(iid, site) : E_FAIL;
  }

 private:
  ~Greeter() override {
    if (m_site != nullptr) {
      m_site->Release();
    }
  }

  IUnknown* m_site = nullptr;
};

}  // namespace
}  // namespace tulix::com::test

using namespace tulix::com;

TULIX_COM_EXPORT HRESULT DllGetClassObject(const CLSID* clsid, const IID* iid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (clsid == nullptr || iid == nullptr) {
    return E_INVALIDARG;
  }
  if (*clsid == test::CLSID_Greeter) {
    return CreateClassFactory<test::Greeter>(*iid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

TULIX_COM_EXPORT HRESULT DllCanUnloadNow() {
  return CanUnloadModule();
}
