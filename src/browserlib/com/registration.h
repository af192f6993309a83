// Writing and removing a COM server's entries in the settings store, under
// "HKEY_CLASSES_ROOT", laid out as the system's registry would hold them, so that
// CreateObjectByProgID (object_creation.h) and any other COM-minded caller find the classes.
//
// A server describes itself with the records below and calls these functions from its
// DllRegisterServer and DllUnregisterServer. Written for one class (braces and upper-case hex
// for every GUID; "" is a key's default value):
//     CLSID\{clsid}                          "" = description
//     CLSID\{clsid}\InprocServer32           "" = library path, ThreadingModel = "Both"
//     CLSID\{clsid}\ProgID                   "" = ProgID
//     CLSID\{clsid}\VersionIndependentProgID "" = version-independent ProgID
//     CLSID\{clsid}\TypeLib                  "" = {libid}            (with a type library)
//     CLSID\{clsid}\Programmable                                      (when programmable)
//     <ProgID>                               "" = description
//     <ProgID>\CLSID                         "" = {clsid}
//     <VersionIndependentProgID>             "" = description
//     <VersionIndependentProgID>\CLSID       "" = {clsid}
//     <VersionIndependentProgID>\CurVer      "" = ProgID
// for a component category and a class that implements it:
//     Component Categories\{catid}           "409" = description
//     CLSID\{clsid}\Implemented Categories\{catid}
// and for a type library with its interfaces (version and locale in hex):
//     TypeLib\{libid}\1.0                    "" = name
//     TypeLib\{libid}\1.0\0\linux            "" = library path
//     TypeLib\{libid}\1.0\FLAGS              "" = "0"
//     TypeLib\{libid}\1.0\HELPDIR            "" = the library's folder
//     Interface\{iid}                        "" = interface name
//     Interface\{iid}\ProxyStubClsid32       "" = {00020424-0000-0000-C000-000000000046}
//     Interface\{iid}\TypeLib                "" = {libid}, Version = "1.0"
// The store makes a key only by writing a value into it, so a key that holds nothing on the
// system (Programmable, an implemented category) carries an empty default value here.
//
// Removal takes away what registration wrote, and no more: a ProgID key is removed only while
// it still names this class, a type library key only for the version registered, and a
// component category is left in place, since other classes may implement it.
//
// Every write of one function lands in one transaction. Thread safety: as the store's.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "browserlib/com/guid.h"
#include "browserlib/com/hresult.h"

namespace tulix {
class RegistryStore;
}

namespace tulix::com {

inline constexpr char kClassesRoot[] = "HKEY_CLASSES_ROOT";

struct ClassRegistration {
  CLSID clsid;
  std::string description;               // "Search Class"
  std::string progId;                    // "Library.Search.1"; empty: none
  std::string versionIndependentProgId;  // "Library.Search"; empty: none
  std::string threadingModel = "Both";
  bool programmable = false;
  std::optional<GUID> typeLibrary;
};

struct InterfaceRegistration {
  IID iid;
  std::string name;
  CLSID proxyStub = CLSID_TypeLibraryMarshaler;
};

struct TypeLibraryRegistration {
  GUID libid;
  std::string name;  // "library 1.0 Type Library"
  WORD majorVersion = 1;
  WORD minorVersion = 0;
  LCID locale = 0;
  uint32_t flags = 0;
  std::vector<InterfaceRegistration> interfaces;
};

// The full key path "HKEY_CLASSES_ROOT\<path>".
std::string ClassesRootKey(std::string_view path);

// Each returns S_OK, or the error named when the store refuses the writes (and then nothing of
// that call was written): REGDB_E_WRITEREGDB for categories, SELFREG_E_CLASS for classes,
// SELFREG_E_TYPELIB for type libraries. E_INVALIDARG for an empty library path.
HRESULT RegisterComponentCategory(RegistryStore& store, const CATID& catid,
                                  std::string_view description, LCID locale = 0x409);
HRESULT RegisterImplementedCategories(RegistryStore& store, const CLSID& clsid,
                                      std::span<const CATID> catids);
HRESULT UnregisterImplementedCategories(RegistryStore& store, const CLSID& clsid,
                                        std::span<const CATID> catids);

HRESULT RegisterClass(RegistryStore& store, const ClassRegistration& entry,
                      std::string_view libraryPath);
HRESULT UnregisterClass(RegistryStore& store, const ClassRegistration& entry);

HRESULT RegisterTypeLibrary(RegistryStore& store, const TypeLibraryRegistration& library,
                            std::string_view libraryPath);
HRESULT UnregisterTypeLibrary(RegistryStore& store, const TypeLibraryRegistration& library);

// Every class, then the type library when there is one; stops at the first failure and returns
// it. Unregistering goes on past failures and returns the first.
HRESULT RegisterServer(RegistryStore& store, std::string_view libraryPath,
                       std::span<const ClassRegistration> classes,
                       const TypeLibraryRegistration* library);
HRESULT UnregisterServer(RegistryStore& store, std::span<const ClassRegistration> classes,
                         const TypeLibraryRegistration* library);

}  // namespace tulix::com
