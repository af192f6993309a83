// Making an object of a registered COM class in this process, as CoCreateInstance would:
// ProgID to CLSID, CLSID to its library ("InprocServer32" under HKEY_CLASSES_ROOT in the
// settings store, see registration.h), load the library, ask its DllGetClassObject for the
// class factory and have that make the object.
//
// Loaded libraries stay loaded in one process-wide cache, one per path, since objects made
// from one live in its code. FreeUnusedLibraries unloads those whose DllCanUnloadNow answers
// S_OK; a library without that export stays for the life of the process. Loading a library
// runs its code: only libraries that the settings store names are loaded, and the store is the
// user's own.
//
// Thread safety: every function may be called from any thread. A server's DllCanUnloadNow is
// called with the cache locked and must not call back into these functions.
#pragma once

#include <string>
#include <string_view>

#include "browserlib/com/guid.h"
#include "browserlib/com/hresult.h"

namespace tulix {
class RegistryStore;
}

namespace tulix::com {

// The CLSID a ProgID names. A version-independent ProgID is followed through its CurVer to the
// current version (a chain of at most a few links; a loop ends it); the ProgID's own CLSID is
// the answer when the chain gives none. REGDB_E_CLASSNOTREG when nothing names a valid CLSID
// (an unknown or empty name, or one with a backslash, which would name another key).
HRESULT CLSIDFromProgID(const RegistryStore& store, std::string_view progId, CLSID* clsid);

// The class factory (or other interface `iid` of the class object) of a registered class.
// REGDB_E_CLASSNOTREG when the class or its library path is not registered;
// CO_E_DLLNOTFOUND when the library does not load; E_FAIL when it does not export
// DllGetClassObject; otherwise what DllGetClassObject answers (CLASS_E_CLASSNOTAVAILABLE for a
// class the library does not make).
HRESULT GetClassObject(const RegistryStore& store, const CLSID& clsid, const IID& iid,
                       void** object);

// A new object's interface `iid` in *object (null on failure), with the errors above and those
// of IClassFactory::CreateInstance (E_NOINTERFACE for an interface the class lacks). The forms
// without a store use the user's store (RegistryStore::DefaultPath()).
HRESULT CreateObjectByClsid(const RegistryStore& store, const CLSID& clsid, const IID& iid,
                            void** object);
HRESULT CreateObjectByProgID(const RegistryStore& store, const std::string& progId, const IID& iid,
                             void** object);
HRESULT CreateObjectByClsid(const CLSID& clsid, const IID& iid, void** object);
HRESULT CreateObjectByProgID(const std::string& progId, const IID& iid, void** object);

// Unloads every cached library that is not in a call made here and whose DllCanUnloadNow
// answers S_OK. Returns how many were unloaded. The Release that ends a library's last object
// still runs the library's code as it returns, so call this where no other thread may be
// releasing that library's objects at the same moment (the thread that owns them, when idle).
size_t FreeUnusedLibraries();

// Whether the library at `path` is in the cache.
bool IsServerLoaded(std::string_view path);

}  // namespace tulix::com
