#include "browserlib/tulixlib.h"

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "browserlib/com/dispatch.h"
#include "browserlib/com/registration.h"
#include "browserlib/com/variant.h"
#include "browserlib/library_state.h"
#include "definitions/category.h"
#include "definitions/tree.h"
#include "platform/program_lifetime.h"
#include "platform/registry_store.h"
#include "results/result_sort.h"
#include "results/saved_search.h"
#include "results/search_result.h"

namespace tulix::tulixlib {
namespace {

using com::DISPID;
using com::DISPPARAMS;
using com::E_FAIL;
using com::E_OUTOFMEMORY;
using com::E_POINTER;
using com::IID;
using com::S_OK;
using com::UINT;
using com::UniqueBstr;
using com::VARIANT;

constexpr char kNotFoundText[] = "*** error ***";

// Made when the library is loaded, so destroyed at unload after every function-local static,
// the library state and its loop thread included. By then none of our threads runs, and the
// shared locks and caches the core keeps for the program's life can go with the library.
struct ReleaseAtUnload {
  ~ReleaseAtUnload() { ReleaseProgramLifetimeObjects(); }
} g_releaseAtUnload;

// Runs `body` on the library's thread; exceptions never cross the interface.
HRESULT RunCall(const std::function<void()>& body) {
  try {
    LibraryState::Instance().Run(body);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT SetText(BSTR* out, const std::string& text) {
  *out = com::BstrFromUtf8(text);
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator) {
  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    joined += (i == 0 ? "" : separator) + parts[i];
  }
  return joined;
}

// A search read back from disk gets its stored results on first use, as the desktop program's
// results view loads them, so a results page opened later still shows them.
SavedSearch* FindByName(BSTR name) {
  SavedSearch* search = FindSearch(com::Utf8FromBstr(name));
  if (search != nullptr) {
    PrepareForLibrary(*search);
  }
  return search;
}

// Calls `use` with the result at `index` of the search's current list sorted by `order`;
// nothing when the search or the position does not exist. Loop thread.
template <typename Use>
void WithResult(BSTR name, LONG order, LONG index, Use&& use) {
  SavedSearch* search = FindByName(name);
  if (search == nullptr || index < 0) {
    return;
  }
  std::lock_guard lock(App().resultsLock);
  const std::vector<SearchResult*> results = SortedResults(search->current(), order);
  if (static_cast<size_t>(index) < results.size()) {
    use(*results[static_cast<size_t>(index)]);
  }
}

// What both StartSearch methods do: the results-page address, with the search's part when the
// words are not empty; *submitted tells whether a saved search stands behind it.
// `onlyWithoutResults` submits a reused search only while it has found nothing.
HRESULT StartSearchCommon(BSTR words, BSTR category, LONG shopping, LONG perEngine, LONG engines,
                          bool onlyWithoutResults, BSTR* address, bool* submitted) {
  if (address == nullptr) {
    return E_POINTER;
  }
  *address = nullptr;
  std::string page;
  *submitted = false;
  const HRESULT hr = RunCall([&] {
    LibraryState& state = LibraryState::Instance();
    page = state.ResultsPageAddress();
    SearchSettings settings;
    settings.name = com::Utf8FromBstr(words);
    settings.type = 0;
    settings.category = com::Utf8FromBstr(category);
    settings.perEngine = perEngine == -1 ? App().settings().DefaultResultCount : perEngine;
    settings.engineCount = engines == -1 ? App().settings().DefaultEngineCount : engines;
    settings.shopping = shopping == -1 ? 3 : shopping;
    if (settings.name.empty()) {
      return;
    }
    SavedSearch* search = state.SubmitFromBrowser(settings, [&](SavedSearch& found) {
      return !onlyWithoutResults || found.Found() == 0;
    });
    // A search whose file cannot be made is reported like empty words: the page alone.
    if (search != nullptr) {
      page += "?order=4&search=" + search->name;
      *submitted = true;
    }
  });
  return com::FAILED(hr) ? hr : SetText(address, page);
}

std::mutex& SiteMutex() {
  static std::mutex mutex;
  return mutex;
}

class Tulix final : public com::ComObject<ITulix> {
 public:
  HRESULT StartSearch(BSTR bstrSearch, BSTR bstrCategory, LONG shopping, LONG results_per_engine,
                      LONG engine_count, BSTR* pbstrName, LONG* status) override {
    if (status == nullptr) {
      return E_POINTER;
    }
    bool submitted = false;
    const HRESULT hr = StartSearchCommon(bstrSearch, bstrCategory, shopping, results_per_engine,
                                         engine_count, true, pbstrName, &submitted);
    *status = submitted ? 1 : 2;
    return hr;
  }
};

const std::array<com::DispatchMember, 18> kTulixExpMembers{{
    {"StartSearch", kDispStartSearch},
    {"get_result_url", kDispGetResultUrl},
    {"GetSearchStatus", kDispGetSearchStatus},
    {"GetSearchText", kDispGetSearchText},
    {"GetSearchCategory", kDispGetSearchCategory},
    {"GetSearchTotal", kDispGetSearchTotal},
    {"get_result_text", kDispGetResultText},
    {"GetSearchEngineCount", kDispGetSearchEngineCount},
    {"GetSearchShopping", kDispGetSearchShopping},
    {"get_result_engines", kDispGetResultEngines},
    {"GetSearchJobCount", kDispGetSearchJobCount},
    {"GetCategories", kDispGetCategories},
    {"GetSearchResultsPerEngine", kDispGetSearchResultsPerEngine},
    {"get_result_percent", kDispGetResultPercent},
    {"StopSearch", kDispStopSearch},
    {"GetOpenInNewWindow", kDispGetOpenInNewWindow},
    {"GetRunningEngines", kDispGetRunningEngines},
    {"GetStatus", kDispGetStatus},
}};

bool IsPersistenceInterface(const IID& iid) {
  return iid == com::IID_IPersistStream || iid == com::IID_IPersistStreamInit ||
         iid == com::IID_IPersistStorage || iid == com::IID_IPersistPropertyBag ||
         iid == com::IID_IPersistMemory;
}

class TulixExp final
    : public com::ComObject<ITulixExp, com::IObjectWithSite, com::IObjectSafety> {
 public:
  ~TulixExp() override {
    if (m_site != nullptr) {
      m_site->Release();
    }
  }

  // ---- ITulixExp ----
  HRESULT StartSearch(BSTR bstrSearch, BSTR bstrCategory, LONG shopping, LONG results_per_engine,
                      LONG engine_count, BSTR* pbstSearch) override {
    bool submitted = false;
    return StartSearchCommon(bstrSearch, bstrCategory, shopping, results_per_engine, engine_count,
                             false, pbstSearch, &submitted);
  }

  HRESULT get_result_url(BSTR bstrSearch, LONG order, LONG index, BSTR* pbstrUrl) override {
    return ResultText(bstrSearch, order, index, pbstrUrl,
                      [](const SearchResult& result) { return result.href; });
  }

  HRESULT GetSearchStatus(BSTR bstName, LONG* status) override {
    return Number(status, [&] { return LibraryState::Instance().Status(FindByName(bstName)); });
  }

  HRESULT GetSearchText(BSTR bstrSearch, BSTR* pbstrText) override {
    return Text(pbstrText, [&] {
      SavedSearch* search = FindByName(bstrSearch);
      return search == nullptr ? std::string(kNotFoundText) : search->settings.name;
    });
  }

  HRESULT GetSearchCategory(BSTR bstrSearch, BSTR* pbstrCategory) override {
    return Text(pbstrCategory, [&] {
      SavedSearch* search = FindByName(bstrSearch);
      return search == nullptr ? std::string(kNotFoundText) : search->settings.category;
    });
  }

  HRESULT GetSearchTotal(BSTR bstName, LONG* total) override {
    return Number(total, [&] {
      SavedSearch* search = FindByName(bstName);
      if (search == nullptr) {
        return 0;
      }
      std::lock_guard lock(App().resultsLock);
      return static_cast<int>(search->current().size());
    });
  }

  HRESULT get_result_text(BSTR bstName, LONG order, LONG index, BSTR* pbstrResult) override {
    // The search words are marked for the page's style sheet (class "hilite").
    return Text(pbstrResult, [&] {
      std::string text;
      SavedSearch* search = FindByName(bstName);
      WithResult(bstName, order, index, [&](const SearchResult& result) {
        text = "<b>" + search->HighlightSearchWords(result.ResultTitle()) + "</b><p>" +
               search->HighlightSearchWords(result.ResultSummaryText()) + "</p>";
      });
      return text;
    });
  }

  HRESULT GetSearchEngineCount(BSTR bstName, LONG* count) override {
    return Number(count, [&] {
      SavedSearch* search = FindByName(bstName);
      return search == nullptr ? -1 : search->settings.engineCount;
    });
  }

  HRESULT GetSearchShopping(BSTR bstName, LONG* shopping) override {
    return Number(shopping, [&] {
      SavedSearch* search = FindByName(bstName);
      return search == nullptr ? -1 : search->settings.shopping;
    });
  }

  HRESULT get_result_engines(BSTR search_name, LONG order, LONG index,
                             BSTR* pbstrEngines) override {
    return ResultText(search_name, order, index, pbstrEngines,
                      [](const SearchResult& result) {
                        // The list ends with a separator; the page wants the names between.
                        std::string names = result.EngineNames(" ");
                        while (!names.empty() && names.back() == ' ') {
                          names.pop_back();
                        }
                        return names;
                      });
  }

  HRESULT GetSearchJobCount(BSTR search, LONG* count) override {
    return Number(count, [&] {
      SavedSearch* found = FindByName(search);
      if (found == nullptr) {
        return -1;
      }
      LibraryState& state = LibraryState::Instance();
      const int jobs = state.SearchJobCount(*found);
      if (jobs > 0) {
        return jobs;
      }
      // Waiting for an engine update, the search will ask as many engines as it wants.
      return state.WaitsForUpdate(*found) ? found->settings.engineCount : 0;
    });
  }

  HRESULT GetCategories(BSTR* pbstrCategories) override {
    return Text(pbstrCategories, [] {
      std::vector<std::string> names;
      auto hold = ReadCategoryTree();
      if (App().categoryTree != nullptr) {
        for (TreeNode* node : Tree::Collect(App().categoryTree->root(), true, true)) {
          if (dynamic_cast<CategoryNode*>(node) != nullptr) {
            names.push_back(node->name);
          }
        }
      }
      return Join(names, "|");
    });
  }

  HRESULT GetSearchResultsPerEngine(BSTR pstName, LONG* results_per_engine) override {
    return Number(results_per_engine, [&] {
      SavedSearch* search = FindByName(pstName);
      return search == nullptr ? -1 : search->settings.perEngine;
    });
  }

  HRESULT get_result_percent(BSTR bstName, LONG order, LONG index, LONG* percent) override {
    return Number(percent, [&] {
      int value = 0;
      WithResult(bstName, order, index,
                 [&](const SearchResult& result) { value = result.score.percent; });
      return value;
    });
  }

  HRESULT StopSearch(BSTR bstName) override {
    return RunCall([&] {
      if (SavedSearch* search = FindByName(bstName)) {
        search->Cancel();
      }
    });
  }

  // Read from the settings store itself: it does not start the library.
  HRESULT GetOpenInNewWindow(LONG* newwindow) override {
    if (newwindow == nullptr) {
      return E_POINTER;
    }
    try {
      RegistryStore store;
      *newwindow = static_cast<LONG>(
          store.GetDword(std::string(kRegistryRoot) + "\\Browser", "OpenInNewWindow", 1));
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  HRESULT GetRunningEngines(BSTR bstName, BSTR* pbstrEngines) override {
    if (pbstrEngines == nullptr) {
      return E_POINTER;
    }
    std::optional<std::string> engines;
    const HRESULT hr = RunCall([&] {
      if (SavedSearch* search = FindByName(bstName)) {
        engines = Join(LibraryState::Instance().RunningEngines(*search), "|");
      }
    });
    if (com::FAILED(hr) || !engines) {
      return hr;
    }
    return SetText(pbstrEngines, *engines);
  }

  HRESULT GetStatus(BSTR* pbstrStatus) override {
    if (pbstrStatus == nullptr) {
      return E_POINTER;
    }
    if (!LibraryState::Instance().Started()) {
      return SetText(pbstrStatus, "uninitialised");
    }
    return Text(pbstrStatus, [] {
      std::string status = "<h2>Searched</h2>";
      if (App().searchTree != nullptr) {
        for (TreeNode* node : Tree::Collect(App().searchTree->root(), true, false)) {
          if (auto* search = dynamic_cast<SavedSearch*>(node)) {
            status += search->settings.name + "<br>";
          }
        }
      }
      return status;
    });
  }

  // ---- IDispatch ----
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) {
      return E_POINTER;
    }
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, com::LCID, com::ITypeInfo** info) override {
    if (info != nullptr) {
      *info = nullptr;
    }
    return com::E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(const IID&, com::OLECHAR** names, UINT count, com::LCID,
                        DISPID* ids) override {
    return com::LookupDispatchIds(kTulixExpMembers, names, count, ids);
  }
  HRESULT Invoke(DISPID id, const IID&, com::LCID, com::WORD flags, DISPPARAMS* params,
                 VARIANT* result, com::EXCEPINFO*, UINT* argError) override;

  // ---- IObjectWithSite ----
  HRESULT SetSite(com::IUnknown* site) override {
    if (site != nullptr) {
      site->AddRef();
    }
    com::IUnknown* old = nullptr;
    {
      std::lock_guard lock(SiteMutex());
      old = std::exchange(m_site, site);
    }
    if (old != nullptr) {
      old->Release();
    }
    return S_OK;
  }
  HRESULT GetSite(const IID& iid, void** site) override {
    if (site == nullptr) {
      return E_POINTER;
    }
    *site = nullptr;
    std::lock_guard lock(SiteMutex());
    return m_site == nullptr ? E_FAIL : m_site->QueryInterface(iid, site);
  }

  // ---- IObjectSafety ----
  HRESULT GetInterfaceSafetyOptions(const IID& iid, com::DWORD* supported,
                                    com::DWORD* enabled) override {
    if (supported == nullptr || enabled == nullptr) {
      return E_POINTER;
    }
    *supported = *enabled = SafetyOf(iid);
    return *supported == 0 ? E_FAIL : S_OK;
  }
  HRESULT SetInterfaceSafetyOptions(const IID& iid, com::DWORD mask,
                                    com::DWORD enabled) override {
    const com::DWORD safe = SafetyOf(iid);
    // Only what the interface is safe for may be asked; asking for less is allowed.
    if (safe == 0 || (mask & ~safe) != 0 || (enabled & mask & ~safe) != 0) {
      return E_FAIL;
    }
    return S_OK;
  }

 private:
  static com::DWORD SafetyOf(const IID& iid) {
    if (iid == com::IID_IDispatch || iid == IID_ITulixExp) {
      return com::INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    }
    return IsPersistenceInterface(iid) ? com::INTERFACESAFE_FOR_UNTRUSTED_DATA : 0;
  }

  template <typename Compute>
  static HRESULT Number(LONG* out, Compute&& compute) {
    if (out == nullptr) {
      return E_POINTER;
    }
    LONG value = 0;
    const HRESULT hr = RunCall([&] { value = static_cast<LONG>(compute()); });
    *out = value;
    return hr;
  }

  template <typename Compute>
  static HRESULT Text(BSTR* out, Compute&& compute) {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = nullptr;
    std::string text;
    const HRESULT hr = RunCall([&] { text = compute(); });
    return com::FAILED(hr) ? hr : SetText(out, text);
  }

  template <typename Describe>
  static HRESULT ResultText(BSTR name, LONG order, LONG index, BSTR* out, Describe&& describe) {
    return Text(out, [&] {
      std::string text;
      WithResult(name, order, index, [&](const SearchResult& result) { text = describe(result); });
      return text;
    });
  }

  com::IUnknown* m_site = nullptr;  // guarded by SiteMutex()
};

HRESULT TulixExp::Invoke(DISPID id, const IID&, com::LCID, com::WORD flags, DISPPARAMS* params,
                         VARIANT* result, com::EXCEPINFO*, UINT* argError) {
  // The parameter kinds of each member, in order: 'b' a string, 'l' a number; the member's
  // [out, retval] is the Invoke result.
  const char* shape = nullptr;
  switch (id) {
    case kDispStartSearch: shape = "bblll"; break;
    case kDispGetResultUrl:
    case kDispGetResultText:
    case kDispGetResultEngines:
    case kDispGetResultPercent: shape = "bll"; break;
    case kDispGetCategories:
    case kDispGetOpenInNewWindow:
    case kDispGetStatus: shape = ""; break;
    case kDispGetSearchStatus:
    case kDispGetSearchText:
    case kDispGetSearchCategory:
    case kDispGetSearchTotal:
    case kDispGetSearchEngineCount:
    case kDispGetSearchShopping:
    case kDispGetSearchJobCount:
    case kDispGetSearchResultsPerEngine:
    case kDispStopSearch:
    case kDispGetRunningEngines: shape = "b"; break;
    default: return com::DISP_E_MEMBERNOTFOUND;
  }
  const UINT count = static_cast<UINT>(std::strlen(shape));
  HRESULT hr = com::CheckInvokeCall(flags, params, count);
  if (com::FAILED(hr)) {
    return hr;
  }
  UniqueBstr texts[2];
  int32_t numbers[3] = {};
  int textCount = 0;
  int numberCount = 0;
  for (UINT i = 0; i < count; ++i) {
    hr = shape[i] == 'b' ? com::GetArgument(params, i, &texts[textCount++], argError)
                         : com::GetArgument(params, i, &numbers[numberCount++], argError);
    if (com::FAILED(hr)) {
      return hr;
    }
  }
  BSTR text = nullptr;
  LONG number = 0;
  bool isText = true;
  switch (id) {
    case kDispStartSearch:
      hr = StartSearch(texts[0].get(), texts[1].get(), numbers[0], numbers[1], numbers[2], &text);
      break;
    case kDispGetResultUrl: hr = get_result_url(texts[0].get(), numbers[0], numbers[1], &text); break;
    case kDispGetResultText: hr = get_result_text(texts[0].get(), numbers[0], numbers[1], &text); break;
    case kDispGetResultEngines:
      hr = get_result_engines(texts[0].get(), numbers[0], numbers[1], &text);
      break;
    case kDispGetSearchText: hr = GetSearchText(texts[0].get(), &text); break;
    case kDispGetSearchCategory: hr = GetSearchCategory(texts[0].get(), &text); break;
    case kDispGetCategories: hr = GetCategories(&text); break;
    case kDispGetStatus: hr = GetStatus(&text); break;
    case kDispGetRunningEngines: hr = GetRunningEngines(texts[0].get(), &text); break;
    case kDispStopSearch:
      isText = false;
      hr = StopSearch(texts[0].get());
      if (com::SUCCEEDED(hr) && result != nullptr) {
        com::VariantInit(result);
      }
      return hr;
    default:
      isText = false;
      switch (id) {
        case kDispGetResultPercent:
          hr = get_result_percent(texts[0].get(), numbers[0], numbers[1], &number);
          break;
        case kDispGetSearchStatus: hr = GetSearchStatus(texts[0].get(), &number); break;
        case kDispGetSearchTotal: hr = GetSearchTotal(texts[0].get(), &number); break;
        case kDispGetSearchEngineCount: hr = GetSearchEngineCount(texts[0].get(), &number); break;
        case kDispGetSearchShopping: hr = GetSearchShopping(texts[0].get(), &number); break;
        case kDispGetSearchJobCount: hr = GetSearchJobCount(texts[0].get(), &number); break;
        case kDispGetSearchResultsPerEngine:
          hr = GetSearchResultsPerEngine(texts[0].get(), &number);
          break;
        case kDispGetOpenInNewWindow: hr = GetOpenInNewWindow(&number); break;
        default: return com::DISP_E_MEMBERNOTFOUND;
      }
  }
  if (com::FAILED(hr)) {
    com::SysFreeString(text);
    return hr;
  }
  if (isText) {
    // A search that is not found leaves GetRunningEngines' text unwritten: an empty result.
    com::SetResult(result, text != nullptr ? text : com::BstrFromUtf8(""));
  } else {
    com::SetResult(result, number);
  }
  return S_OK;
}

const std::array<com::CATID, 2> kSafeCategories{com::CATID_SafeForScripting,
                                                  com::CATID_SafeForInitializing};

std::vector<com::ClassRegistration> Classes() {
  com::ClassRegistration tulix;
  tulix.clsid = CLSID_Tulix;
  tulix.description = "Tulix Class";
  tulix.progId = kTulixProgId;
  tulix.versionIndependentProgId = kTulixVersionIndependentProgId;
  tulix.typeLibrary = LIBID_TULIXLIBLib;
  com::ClassRegistration exp = tulix;
  exp.clsid = CLSID_TulixExp;
  exp.description = "TulixExp Class";
  exp.progId = kTulixExpProgId;
  exp.versionIndependentProgId = kTulixExpVersionIndependentProgId;
  exp.programmable = true;
  return {tulix, exp};
}

com::TypeLibraryRegistration TypeLibrary() {
  com::TypeLibraryRegistration library;
  library.libid = LIBID_TULIXLIBLib;
  library.name = "tulixlib 1.0 Type Library";
  library.locale = 0x409;
  library.interfaces = {{IID_ITulix, "ITulix"}, {IID_ITulixExp, "ITulixExp"}};
  return library;
}

// The path this library was loaded from, which the registration names.
std::string LibraryPath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  return info.dli_fname;
}

// A failed category step does not stop registration; the desktop program's log shows it.
void ReportCategoryFailure(const char* step, HRESULT hr) {
  std::fprintf(stderr, "tulixlib: %s failed (0x%08X)\n", step, static_cast<unsigned>(hr));
}

}  // namespace
}  // namespace tulix::tulixlib

using namespace tulix;
using namespace tulix::tulixlib;

TULIX_COM_EXPORT com::HRESULT DllGetClassObject(const com::CLSID* clsid, const com::IID* iid,
                                                void** object) {
  if (clsid == nullptr || iid == nullptr || object == nullptr) {
    return com::E_POINTER;
  }
  *object = nullptr;
  if (*clsid == CLSID_Tulix) {
    return com::CreateClassFactory<Tulix>(*iid, object);
  }
  if (*clsid == CLSID_TulixExp) {
    return com::CreateClassFactory<TulixExp>(*iid, object);
  }
  return com::CLASS_E_CLASSNOTAVAILABLE;
}

TULIX_COM_EXPORT com::HRESULT DllCanUnloadNow() {
  const com::HRESULT hr = com::CanUnloadModule();
  if (hr == S_OK) {
    // Unused: the loop thread must end now, or the library could never be unloaded.
    LibraryState::Instance().Stop();
  }
  return hr;
}

TULIX_COM_EXPORT com::HRESULT DllRegisterServer() {
  try {
    RegistryStore store;
    HRESULT hr = com::RegisterComponentCategory(store, com::CATID_SafeForScripting,
                                                "Controls that are safely scriptable");
    if (com::FAILED(hr)) {
      ReportCategoryFailure("registering the safe-for-scripting category", hr);
    }
    hr = com::RegisterComponentCategory(store, com::CATID_SafeForInitializing,
                                        "Controls safely initializable from persistent data");
    if (com::FAILED(hr)) {
      ReportCategoryFailure("registering the safe-for-initialising category", hr);
    }
    hr = com::RegisterImplementedCategories(store, CLSID_TulixExp, kSafeCategories);
    if (com::FAILED(hr)) {
      ReportCategoryFailure("marking TulixExp safe", hr);
    }
    const std::vector<com::ClassRegistration> classes = Classes();
    const com::TypeLibraryRegistration library = TypeLibrary();
    return com::RegisterServer(store, LibraryPath(), classes, &library);
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

TULIX_COM_EXPORT com::HRESULT DllUnregisterServer() {
  try {
    RegistryStore store;
    const HRESULT hr = com::UnregisterImplementedCategories(store, CLSID_TulixExp, kSafeCategories);
    if (com::FAILED(hr)) {
      ReportCategoryFailure("removing TulixExp's safe categories", hr);
    }
    const std::vector<com::ClassRegistration> classes = Classes();
    const com::TypeLibraryRegistration library = TypeLibrary();
    return com::UnregisterServer(store, classes, &library);
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

TULIX_COM_EXPORT const char* TulixComponentVersionValue(const char* name) {
  return name != nullptr && std::strcmp(name, "OLESelfRegister") == 0 ? "" : nullptr;
}

TULIX_COM_EXPORT int TulixlibConfigureForTests(const Clock* clock, int fastPacing) {
  LibraryOptions options;
  options.clock = clock;
  options.fastPacing = fastPacing != 0;
  return LibraryState::Instance().Configure(options) ? 0 : -1;
}
