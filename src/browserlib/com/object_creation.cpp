#include "browserlib/com/object_creation.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "browserlib/com/com_object.h"
#include "browserlib/com/interfaces.h"
#include "browserlib/com/registration.h"
#include "platform/dynamic_library.h"
#include "platform/registry_store.h"
#include "platform/trace.h"

namespace tulix::com {
namespace {

// How many CurVer links are followed before the chain is taken as a loop.
constexpr int kMaxCurVerLinks = 8;

struct LoadedServer {
  DynamicLibrary library;
  DllGetClassObjectFunction getClassObject = nullptr;
  DllCanUnloadNowFunction canUnloadNow = nullptr;  // null: never unloaded
};

// The one cache of the process. A shared_ptr handed out by Acquire marks a call in progress:
// the cache only unloads an entry it alone holds. Copies are made only under m_mutex, so a use
// count of 1 seen under it cannot rise behind its back.
class ServerCache {
 public:
  HRESULT Acquire(const std::string& path, std::shared_ptr<LoadedServer>* server) {
    std::string key = Normalised(path);
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_servers.find(key);
    if (found != m_servers.end()) {
      *server = found->second;
      return S_OK;
    }
    auto loaded = std::make_shared<LoadedServer>();
    if (!loaded->library.Open(key)) {
      Trace("COM server %s does not load: %s\n", key.c_str(), loaded->library.error().c_str());
      return CO_E_DLLNOTFOUND;
    }
    loaded->getClassObject =
        loaded->library.Function<DllGetClassObjectFunction>("DllGetClassObject");
    if (loaded->getClassObject == nullptr) {
      Trace("COM server %s exports no DllGetClassObject\n", key.c_str());
      return E_FAIL;
    }
    loaded->canUnloadNow = loaded->library.Function<DllCanUnloadNowFunction>("DllCanUnloadNow");
    m_servers.emplace(key, loaded);
    *server = std::move(loaded);
    return S_OK;
  }

  size_t FreeUnused() {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t freed = 0;
    for (auto it = m_servers.begin(); it != m_servers.end();) {
      const std::shared_ptr<LoadedServer>& server = it->second;
      if (server.use_count() == 1 && server->canUnloadNow != nullptr &&
          server->canUnloadNow() == S_OK) {
        it = m_servers.erase(it);
        ++freed;
      } else {
        ++it;
      }
    }
    return freed;
  }

  bool Contains(std::string_view path) {
    std::string key = Normalised(std::string(path));
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_servers.count(key) != 0;
  }

 private:
  // One entry per file, however the path was spelled.
  static std::string Normalised(const std::string& path) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
  }

  std::mutex m_mutex;
  std::map<std::string, std::shared_ptr<LoadedServer>> m_servers;  // guarded by m_mutex
};

ServerCache& Cache() {
  // Never destroyed: objects made from a cached library may outlive static destruction, and
  // unloading the library under them at exit would pull the code out from beneath them.
  static ServerCache* cache = new ServerCache;
  return *cache;
}

std::optional<CLSID> ClsidOf(const RegistryStore& store, const std::string& progId) {
  return GuidFromString(store.GetString(ClassesRootKey(progId + "\\CLSID"), "", ""));
}

bool IsUsableProgId(std::string_view progId) {
  return !progId.empty() && progId.find('\\') == std::string_view::npos;
}

// The cached library that serves `clsid`, loaded when it is not yet.
HRESULT AcquireServer(const RegistryStore& store, const CLSID& clsid,
                      std::shared_ptr<LoadedServer>* server) {
  std::string key = ClassesRootKey("CLSID\\" + GuidToString(clsid) + "\\InprocServer32");
  std::string path = store.GetString(key, "", "");
  if (path.empty()) {
    return REGDB_E_CLASSNOTREG;
  }
  return Cache().Acquire(path, server);
}

}  // namespace

HRESULT CLSIDFromProgID(const RegistryStore& store, std::string_view progId, CLSID* clsid) {
  if (clsid == nullptr) {
    return E_POINTER;
  }
  *clsid = GUID_NULL;
  if (!IsUsableProgId(progId)) {
    return REGDB_E_CLASSNOTREG;
  }
  std::vector<std::string> chain{std::string(progId)};
  for (int link = 0; link < kMaxCurVerLinks; ++link) {
    std::string next = store.GetString(ClassesRootKey(chain.back() + "\\CurVer"), "", "");
    if (!IsUsableProgId(next) || std::find(chain.begin(), chain.end(), next) != chain.end()) {
      break;
    }
    chain.push_back(next);
  }
  // The newest version named wins; a dangling CurVer falls back to the names before it.
  for (auto name = chain.rbegin(); name != chain.rend(); ++name) {
    if (std::optional<CLSID> found = ClsidOf(store, *name)) {
      *clsid = *found;
      return S_OK;
    }
  }
  return REGDB_E_CLASSNOTREG;
}

HRESULT GetClassObject(const RegistryStore& store, const CLSID& clsid, const IID& iid,
                       void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  std::shared_ptr<LoadedServer> server;
  HRESULT hr = AcquireServer(store, clsid, &server);
  if (FAILED(hr)) {
    return hr;
  }
  hr = server->getClassObject(&clsid, &iid, object);
  if (FAILED(hr)) {
    *object = nullptr;
  }
  return hr;
}

HRESULT CreateObjectByClsid(const RegistryStore& store, const CLSID& clsid, const IID& iid,
                            void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  // The server stays held until the factory's Release has returned: when creation fails, that
  // Release ends the library's last object, and its code must still be there to return from.
  std::shared_ptr<LoadedServer> server;
  HRESULT hr = AcquireServer(store, clsid, &server);
  if (FAILED(hr)) {
    return hr;
  }
  IClassFactory* factory = nullptr;
  hr = server->getClassObject(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) {
    return hr;
  }
  hr = factory->CreateInstance(nullptr, iid, object);
  factory->Release();
  if (FAILED(hr)) {
    *object = nullptr;
  }
  return hr;
}

HRESULT CreateObjectByProgID(const RegistryStore& store, const std::string& progId, const IID& iid,
                             void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(store, progId, &clsid);
  if (FAILED(hr)) {
    return hr;
  }
  return CreateObjectByClsid(store, clsid, iid, object);
}

HRESULT CreateObjectByClsid(const CLSID& clsid, const IID& iid, void** object) {
  RegistryStore store;
  return CreateObjectByClsid(store, clsid, iid, object);
}

HRESULT CreateObjectByProgID(const std::string& progId, const IID& iid, void** object) {
  RegistryStore store;
  return CreateObjectByProgID(store, progId, iid, object);
}

size_t FreeUnusedLibraries() {
  return Cache().FreeUnused();
}

bool IsServerLoaded(std::string_view path) {
  return Cache().Contains(path);
}

}  // namespace tulix::com
