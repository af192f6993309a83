// The COM interfaces Tulix implements and calls, as C++ abstract classes.
//
// Each class declares its methods in the order of the interface's table of functions (its
// vtable), after those of the interface it extends, and adds no data, so an object pointer is
// a pointer to a pointer to that table and C code can call through it. The calling convention
// is the platform's default one: on x86-64 Linux the System V convention, with the object
// pointer ("this") as the first argument, then the arguments in order. A `const GUID&`
// parameter is passed as a pointer to the GUID. So method number n (counting QueryInterface
// as 0) is, in C:
//     HRESULT (*)(void* self, ...) = (*(void***)object)[n]
// and Python's ctypes calls it as a CFUNCTYPE with the object pointer first.
//
// Each interface carries its identity as `kIid` and names the interface it extends as `Base`,
// which is how ComObject (com_object.h) answers QueryInterface for the whole chain.
//
// Ownership follows COM's rules: a method that hands out an interface pointer has already
// added a reference for the caller, who releases it.
#pragma once

#include "browserlib/com/bstr.h"
#include "browserlib/com/guid.h"
#include "browserlib/com/hresult.h"

namespace tulix::com {

struct VARIANT;
struct DISPPARAMS;
struct EXCEPINFO;
// Type information is not provided; GetTypeInfo answers E_NOTIMPL and GetTypeInfoCount 0.
struct ITypeInfo;

class IUnknown {
 public:
  static constexpr IID kIid = IID_IUnknown;

  // Sets *object to an interface of the object (with a reference added) and returns S_OK, or
  // sets it to null and returns E_NOINTERFACE. E_POINTER when `object` is null.
  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  // The count after the change; for diagnostics only.
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  // Objects are destroyed by Release, never through an interface pointer.
  ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  static constexpr IID kIid = IID_IClassFactory;
  using Base = IUnknown;

  // A new object of the factory's class; `outer` must be null (no aggregation:
  // CLASS_E_NOAGGREGATION).
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
  // Non-zero keeps the library loaded until a matching call with zero.
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Flags of IDispatch::Invoke.
inline constexpr WORD DISPATCH_METHOD = 1;
inline constexpr WORD DISPATCH_PROPERTYGET = 2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 8;

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

class IDispatch : public IUnknown {
 public:
  static constexpr IID kIid = IID_IDispatch;
  using Base = IUnknown;

  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) = 0;
  // Names to dispatch ids: `names[0]` is a member, the rest its parameters. Unknown names get
  // DISPID_UNKNOWN and the call returns DISP_E_UNKNOWNNAME.
  virtual HRESULT GetIDsOfNames(const IID& reserved, OLECHAR** names, UINT count, LCID locale,
                                DISPID* ids) = 0;
  // Calls member `id` with the arguments in `params` (last argument first). `result`,
  // `exception` and `argError` may be null.
  virtual HRESULT Invoke(DISPID id, const IID& reserved, LCID locale, WORD flags,
                         DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                         UINT* argError) = 0;

 protected:
  ~IDispatch() = default;
};

// How a browser hands an object its container.
class IObjectWithSite : public IUnknown {
 public:
  static constexpr IID kIid = IID_IObjectWithSite;
  using Base = IUnknown;

  // Keeps a reference to `site` (null lets go of the old one).
  virtual HRESULT SetSite(IUnknown* site) = 0;
  // The site's interface `iid`; E_FAIL with *site null when there is no site.
  virtual HRESULT GetSite(const IID& iid, void** site) = 0;

 protected:
  ~IObjectWithSite() = default;
};

// Options of IObjectSafety.
inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;

// How a browser asks an object whether it is safe to script and to initialise from a page.
class IObjectSafety : public IUnknown {
 public:
  static constexpr IID kIid = IID_IObjectSafety;
  using Base = IUnknown;

  virtual HRESULT GetInterfaceSafetyOptions(const IID& iid, DWORD* supported, DWORD* enabled) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(const IID& iid, DWORD mask, DWORD enabled) = 0;

 protected:
  ~IObjectSafety() = default;
};

}  // namespace tulix::com
