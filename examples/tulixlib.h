/* tulixlib for C programs: the two classes of the browser library, their tables of functions,
 * and the client functions of libtulixclient.so that make them by ProgID and handle their
 * strings.
 *
 * The library must be registered in the settings store first: the desktop program does so when
 * asked to register its browser components (or call tulixlib.so's DllRegisterServer). The
 * store is $TULIX_REGISTRY, or the user's default one. The library finds the program folder,
 * with its engines and saved searches, in the setting Behaviour\path the desktop program
 * writes at each start.
 *
 * Strings are BSTRs: UTF-16 code units after a 4-byte length, freed with SysFreeString. Every
 * [out] string a method gives back belongs to the caller. Every method returns 0 (S_OK) unless
 * memory ran out; a search that does not exist shows in the values, never in the result. */
#ifndef TULIXLIB_H
#define TULIXLIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint16_t OLECHAR;
typedef OLECHAR* BSTR;

typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;

#define S_OK ((HRESULT)0)
#define SUCCEEDED(hr) ((HRESULT)(hr) >= 0)

static const IID IID_ITulix = {
    0x36A0F8D2, 0x9B17, 0x4E45, {0xB2, 0x8C, 0x63, 0x1D, 0x7F, 0xE4, 0x05, 0xCA}};
static const IID IID_ITulixExp = {
    0xF5914C3E, 0x2D7B, 0x4A60, {0x97, 0xE1, 0x0B, 0x48, 0xC6, 0x3A, 0x5D, 0x72}};

/* Values of GetSearchStatus. */
enum {
  TULIX_SEARCH_NOT_FOUND = 0,
  TULIX_SEARCH_WAITING_FOR_UPDATE = 1,
  TULIX_SEARCH_HAS_RESULTS = 2,
  TULIX_SEARCH_FINISHED = 3,
  TULIX_SEARCH_RUNNING = 4, /* running, no result yet */
  TULIX_SEARCH_TIMED_OUT = 5
};

/* Values of `order`, the sort key of the result list. */
enum {
  TULIX_ORDER_RANK = 1,
  TULIX_ORDER_ENGINES = 2,
  TULIX_ORDER_PERCENT = 3,
  TULIX_ORDER_COMBINED = 4,
  TULIX_ORDER_KEYWORDS = 5
};

typedef struct ITulixExp ITulixExp;

/* ITulixExp's table: IUnknown's three functions, IDispatch's four, then its own eighteen. */
typedef struct ITulixExpVtbl {
  HRESULT (*QueryInterface)(ITulixExp* self, const IID* iid, void** object);
  ULONG (*AddRef)(ITulixExp* self);
  ULONG (*Release)(ITulixExp* self);
  void* GetTypeInfoCount;
  void* GetTypeInfo;
  void* GetIDsOfNames;
  void* Invoke;
  HRESULT (*StartSearch)(ITulixExp* self, BSTR words, BSTR category, LONG shopping,
                         LONG results_per_engine, LONG engine_count, BSTR* address);
  HRESULT (*get_result_url)(ITulixExp* self, BSTR search, LONG order, LONG index, BSTR* url);
  HRESULT (*GetSearchStatus)(ITulixExp* self, BSTR search, LONG* status);
  HRESULT (*GetSearchText)(ITulixExp* self, BSTR search, BSTR* text);
  HRESULT (*GetSearchCategory)(ITulixExp* self, BSTR search, BSTR* category);
  HRESULT (*GetSearchTotal)(ITulixExp* self, BSTR search, LONG* total);
  HRESULT (*get_result_text)(ITulixExp* self, BSTR search, LONG order, LONG index, BSTR* text);
  HRESULT (*GetSearchEngineCount)(ITulixExp* self, BSTR search, LONG* count);
  HRESULT (*GetSearchShopping)(ITulixExp* self, BSTR search, LONG* shopping);
  HRESULT (*get_result_engines)(ITulixExp* self, BSTR search, LONG order, LONG index,
                                BSTR* engines);
  HRESULT (*GetSearchJobCount)(ITulixExp* self, BSTR search, LONG* count);
  HRESULT (*GetCategories)(ITulixExp* self, BSTR* categories);
  HRESULT (*GetSearchResultsPerEngine)(ITulixExp* self, BSTR search, LONG* results_per_engine);
  HRESULT (*get_result_percent)(ITulixExp* self, BSTR search, LONG order, LONG index,
                                LONG* percent);
  HRESULT (*StopSearch)(ITulixExp* self, BSTR search);
  HRESULT (*GetOpenInNewWindow)(ITulixExp* self, LONG* new_window);
  HRESULT (*GetRunningEngines)(ITulixExp* self, BSTR search, BSTR* engines);
  HRESULT (*GetStatus)(ITulixExp* self, BSTR* status);
} ITulixExpVtbl;

struct ITulixExp {
  const ITulixExpVtbl* lpVtbl;
};

typedef struct ITulix ITulix;

typedef struct ITulixVtbl {
  HRESULT (*QueryInterface)(ITulix* self, const IID* iid, void** object);
  ULONG (*AddRef)(ITulix* self);
  ULONG (*Release)(ITulix* self);
  /* *status: 1 when a search was submitted, 2 when the words were empty. */
  HRESULT (*StartSearch)(ITulix* self, BSTR words, BSTR category, LONG shopping,
                         LONG results_per_engine, LONG engine_count, BSTR* address,
                         LONG* status);
} ITulixVtbl;

struct ITulix {
  const ITulixVtbl* lpVtbl;
};

/* libtulixclient.so */

/* Makes an object of the class `prog_id` names ("Tulixlib.TulixExp", "Tulixlib.Tulix") and
 * asks it for `iid`; loads the class's library on first use. */
HRESULT CreateObjectByProgID(const char* prog_id, const IID* iid, void** object);
/* Unloads the libraries none of whose objects is left; returns how many. */
size_t FreeUnusedLibraries(void);
/* A new BSTR of the UTF-8 `text`; null only when memory runs out. */
BSTR SysAllocStringFromUtf8(const char* text);
void SysFreeString(BSTR text);
uint32_t SysStringLen(BSTR text);
/* A UTF-8 copy of `text`, to be freed with free(). */
char* Utf8FromBstr(BSTR text);

#ifdef __cplusplus
}
#endif

#endif
