#include "browserlib/com/registration.h"

#include <cstdio>
#include <filesystem>

#include "platform/registry_store.h"

namespace tulix::com {
namespace {

class Writes {
 public:
  void Set(std::string key, std::string name, std::string_view value) {
    m_writes.push_back({std::move(key), std::move(name), RegistryValue::Sz(value)});
  }
  void Default(std::string key, std::string_view value) { Set(std::move(key), "", value); }
  bool Commit(RegistryStore& store) const { return store.SetValues(m_writes); }

 private:
  std::vector<RegistryWrite> m_writes;
};

std::string ClassKey(const CLSID& clsid) {
  return ClassesRootKey("CLSID\\" + GuidToString(clsid));
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
  return text;
}

std::string TypeLibraryVersionKey(const TypeLibraryRegistration& library) {
  return ClassesRootKey("TypeLib\\" + GuidToString(library.libid) + "\\" +
                        Hex(library.majorVersion) + "." + Hex(library.minorVersion));
}

std::string InterfaceKey(const IID& iid) {
  return ClassesRootKey("Interface\\" + GuidToString(iid));
}

// Removes `key` when it has nothing left below it and no value but an empty default.
bool DeleteKeyIfEmpty(RegistryStore& store, const std::string& key) {
  if (!store.KeysBelow(key).empty()) {
    return true;
  }
  for (const std::string& name : store.ValueNames(key)) {
    if (!name.empty() || !store.GetString(key, name, "").empty()) {
      return true;
    }
  }
  return store.DeleteKey(key);
}

// Removes the ProgID key when it still names `clsid`: another server may have taken the name.
bool DeleteProgIdOf(RegistryStore& store, const std::string& progId, const CLSID& clsid) {
  if (progId.empty()) {
    return true;
  }
  std::string key = ClassesRootKey(progId);
  std::optional<GUID> named = GuidFromString(store.GetString(key + "\\CLSID", "", ""));
  if (named != clsid) {
    return true;
  }
  return store.DeleteKey(key);
}

}  // namespace

std::string ClassesRootKey(std::string_view path) {
  std::string key = kClassesRoot;
  key += '\\';
  key += path;
  return key;
}

HRESULT RegisterComponentCategory(RegistryStore& store, const CATID& catid,
                                  std::string_view description, LCID locale) {
  Writes writes;
  writes.Set(ClassesRootKey("Component Categories\\" + GuidToString(catid)), Hex(locale),
             description);
  return writes.Commit(store) ? S_OK : REGDB_E_WRITEREGDB;
}

HRESULT RegisterImplementedCategories(RegistryStore& store, const CLSID& clsid,
                                      std::span<const CATID> catids) {
  Writes writes;
  for (const CATID& catid : catids) {
    writes.Default(ClassKey(clsid) + "\\Implemented Categories\\" + GuidToString(catid), "");
  }
  return writes.Commit(store) ? S_OK : REGDB_E_WRITEREGDB;
}

HRESULT UnregisterImplementedCategories(RegistryStore& store, const CLSID& clsid,
                                        std::span<const CATID> catids) {
  std::string implemented = ClassKey(clsid) + "\\Implemented Categories";
  bool ok = true;
  for (const CATID& catid : catids) {
    ok = store.DeleteKey(implemented + "\\" + GuidToString(catid)) && ok;
  }
  if (store.KeyExists(implemented)) {
    ok = DeleteKeyIfEmpty(store, implemented) && ok;
  }
  return ok ? S_OK : REGDB_E_WRITEREGDB;
}

HRESULT RegisterClass(RegistryStore& store, const ClassRegistration& entry,
                      std::string_view libraryPath) {
  if (libraryPath.empty()) {
    return E_INVALIDARG;
  }
  std::string clsidText = GuidToString(entry.clsid);
  std::string key = ClassKey(entry.clsid);
  Writes writes;
  writes.Default(key, entry.description);
  writes.Default(key + "\\InprocServer32", libraryPath);
  writes.Set(key + "\\InprocServer32", "ThreadingModel", entry.threadingModel);
  if (!entry.progId.empty()) {
    writes.Default(key + "\\ProgID", entry.progId);
    writes.Default(ClassesRootKey(entry.progId), entry.description);
    writes.Default(ClassesRootKey(entry.progId) + "\\CLSID", clsidText);
  }
  if (!entry.versionIndependentProgId.empty()) {
    std::string independent = ClassesRootKey(entry.versionIndependentProgId);
    writes.Default(key + "\\VersionIndependentProgID", entry.versionIndependentProgId);
    writes.Default(independent, entry.description);
    writes.Default(independent + "\\CLSID", clsidText);
    if (!entry.progId.empty()) {
      writes.Default(independent + "\\CurVer", entry.progId);
    }
  }
  if (entry.typeLibrary) {
    writes.Default(key + "\\TypeLib", GuidToString(*entry.typeLibrary));
  }
  if (entry.programmable) {
    writes.Default(key + "\\Programmable", "");
  }
  return writes.Commit(store) ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterClass(RegistryStore& store, const ClassRegistration& entry) {
  bool ok = DeleteProgIdOf(store, entry.progId, entry.clsid);
  ok = DeleteProgIdOf(store, entry.versionIndependentProgId, entry.clsid) && ok;
  ok = store.DeleteKey(ClassKey(entry.clsid)) && ok;
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT RegisterTypeLibrary(RegistryStore& store, const TypeLibraryRegistration& library,
                            std::string_view libraryPath) {
  if (libraryPath.empty()) {
    return E_INVALIDARG;
  }
  std::string libidText = GuidToString(library.libid);
  std::string version = Hex(library.majorVersion) + "." + Hex(library.minorVersion);
  std::string key = TypeLibraryVersionKey(library);
  std::string folder = std::filesystem::path(libraryPath).parent_path().string();
  Writes writes;
  writes.Default(key, library.name);
  writes.Default(key + "\\" + Hex(library.locale) + "\\linux", libraryPath);
  writes.Default(key + "\\FLAGS", Hex(library.flags));
  writes.Default(key + "\\HELPDIR", folder);
  for (const InterfaceRegistration& item : library.interfaces) {
    std::string interfaceKey = InterfaceKey(item.iid);
    writes.Default(interfaceKey, item.name);
    writes.Default(interfaceKey + "\\ProxyStubClsid32", GuidToString(item.proxyStub));
    writes.Default(interfaceKey + "\\TypeLib", libidText);
    writes.Set(interfaceKey + "\\TypeLib", "Version", version);
  }
  return writes.Commit(store) ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT UnregisterTypeLibrary(RegistryStore& store, const TypeLibraryRegistration& library) {
  std::string libidText = GuidToString(library.libid);
  bool ok = true;
  for (const InterfaceRegistration& item : library.interfaces) {
    std::string interfaceKey = InterfaceKey(item.iid);
    // An interface that another library has since described is that library's now.
    if (GuidFromString(store.GetString(interfaceKey + "\\TypeLib", "", "")) == library.libid) {
      ok = store.DeleteKey(interfaceKey) && ok;
    }
  }
  ok = store.DeleteKey(TypeLibraryVersionKey(library)) && ok;
  std::string libraryKey = ClassesRootKey("TypeLib\\" + libidText);
  if (store.KeyExists(libraryKey)) {
    ok = DeleteKeyIfEmpty(store, libraryKey) && ok;
  }
  return ok ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT RegisterServer(RegistryStore& store, std::string_view libraryPath,
                       std::span<const ClassRegistration> classes,
                       const TypeLibraryRegistration* library) {
  for (const ClassRegistration& entry : classes) {
    HRESULT hr = RegisterClass(store, entry, libraryPath);
    if (FAILED(hr)) {
      return hr;
    }
  }
  return library != nullptr ? RegisterTypeLibrary(store, *library, libraryPath) : S_OK;
}

HRESULT UnregisterServer(RegistryStore& store, std::span<const ClassRegistration> classes,
                         const TypeLibraryRegistration* library) {
  HRESULT first = S_OK;
  for (const ClassRegistration& entry : classes) {
    HRESULT hr = UnregisterClass(store, entry);
    if (FAILED(hr) && SUCCEEDED(first)) {
      first = hr;
    }
  }
  if (library != nullptr) {
    HRESULT hr = UnregisterTypeLibrary(store, *library);
    if (FAILED(hr) && SUCCEEDED(first)) {
      first = hr;
    }
  }
  return first;
}

}  // namespace tulix::com
