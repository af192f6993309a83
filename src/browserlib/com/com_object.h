// Reference counting for the objects a COM server hands out, the server's class factory, and
// the counts behind DllCanUnloadNow.
//
// Every module (shared library) that links this layer has its own counts: the symbols are
// hidden, so a server's objects never count in its caller's module. The object count goes up
// when a ComObject is made and down when it is destroyed; the lock count follows
// IClassFactory::LockServer. The module may be unloaded when both are zero.
//
// A server class derives from ComObject with the interfaces it implements; the first one's
// IUnknown is the object's identity. For example
//     class Search final : public ComObject<ISearch, IObjectWithSite> { ... };
// and its DllGetClassObject answers
//     if (*clsid == CLSID_Search) return CreateClassFactory<Search>(*iid, object);
//
// Thread safety: counts are atomic; AddRef and Release may be called from any thread.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "browserlib/com/interfaces.h"

namespace tulix::com {

// The objects of this module alive now, and the LockServer locks held.
long ModuleObjectCount();
long ModuleLockCount();
void LockModule();
void UnlockModule();
// S_OK when no object and no lock is outstanding, else S_FALSE: DllCanUnloadNow's answer.
HRESULT CanUnloadModule();

namespace detail {
void ObjectCreated();
void ObjectDestroyed();

// Finds `iid` in interface I or in the interfaces it extends, up to but not including IUnknown.
template <typename I>
bool ExtendsOrIs(const IID& iid) {
  if constexpr (std::is_same_v<I, IUnknown>) {
    return false;
  } else {
    return iid == I::kIid || ExtendsOrIs<typename I::Base>(iid);
  }
}
}  // namespace detail

// Marks a server's exported entry points; the rest of a server stays hidden.
#define TULIX_COM_EXPORT extern "C" __attribute__((visibility("default")))

// The exported functions of a server, with C linkage. References are pointers at this level.
using DllGetClassObjectFunction = HRESULT (*)(const CLSID* clsid, const IID* iid, void** object);
using DllCanUnloadNowFunction = HRESULT (*)();
using DllRegisterServerFunction = HRESULT (*)();
using DllUnregisterServerFunction = HRESULT (*)();

template <typename First, typename... Rest>
class ComObject : public First, public Rest... {
 public:
  ComObject() { detail::ObjectCreated(); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = Find(iid);
    if (*object == nullptr) {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  ULONG AddRef() override { return m_references.fetch_add(1, std::memory_order_relaxed) + 1; }

  ULONG Release() override {
    ULONG left = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
      delete this;
    }
    return left;
  }

 protected:
  // Objects start with one reference, the creator's.
  virtual ~ComObject() { detail::ObjectDestroyed(); }

 private:
  void* Find(const IID& iid) {
    if (iid == IID_IUnknown) {
      return static_cast<IUnknown*>(static_cast<First*>(this));
    }
    // The first interface in the list that is or extends `iid` answers.
    void* found = Probe<First>(iid);
    ((found = found != nullptr ? found : Probe<Rest>(iid)), ...);
    return found;
  }

  template <typename I>
  void* Probe(const IID& iid) {
    return detail::ExtendsOrIs<I>(iid) ? static_cast<void*>(static_cast<I*>(this)) : nullptr;
  }

  std::atomic<ULONG> m_references{1};
};

// Makes an object of class T (constructed from `args`) and hands out its interface `iid`.
// E_NOINTERFACE (and nothing made) when T does not have it; E_OUTOFMEMORY when it cannot be
// made.
template <typename T, typename... Args>
HRESULT CreateComObject(const IID& iid, void** object, Args&&... args) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  T* made = new (std::nothrow) T(std::forward<Args>(args)...);
  if (made == nullptr) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = made->QueryInterface(iid, object);
  made->Release();
  return hr;
}

// The class factory of class T (default-constructed). Factories count as objects, so a caller
// that keeps one keeps the library loaded.
template <typename T>
class ClassFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    return CreateComObject<T>(iid, object);
  }

  HRESULT LockServer(BOOL lock) override {
    if (lock != 0) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }
};

template <typename T>
HRESULT CreateClassFactory(const IID& iid, void** object) {
  return CreateComObject<ClassFactory<T>>(iid, object);
}

}  // namespace tulix::com
