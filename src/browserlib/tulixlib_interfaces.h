// The two interfaces of tulixlib, as abstract C++ classes in the order of their tables of
// functions, with the identities of the library's classes, interfaces and type library.
//
// As with the COM layer's interfaces (com/interfaces.h), a pointer to one of these is a pointer
// to a pointer to its table, and method n (QueryInterface is 0) is called from C as
//     HRESULT (*)(void* self, ...) = (*(void***)object)[n]
// ITulix::StartSearch is method 3; ITulixExp's methods are 7 to 24, after the seven of
// IDispatch. Every [out] BSTR belongs to the caller, who frees it with SysFreeString.
#pragma once

#include "browserlib/com/interfaces.h"

namespace tulix::tulixlib {

using com::BSTR;
using com::HRESULT;
using com::LONG;

inline constexpr com::GUID LIBID_TULIXLIBLib{
    0x4C1D6E0B, 0x5A6F, 0x4C83, {0x9B, 0x57, 0x1E, 0x2F, 0x0A, 0x64, 0xD3, 0x91}};
inline constexpr com::CLSID CLSID_Tulix{
    0x8E3F2A71, 0x0C4D, 0x4B9E, {0xA6, 0x1B, 0x7D, 0x52, 0xC0, 0x3E, 0x94, 0x18}};
inline constexpr com::CLSID CLSID_TulixExp{
    0xD27B95C4, 0x61E8, 0x4F0A, {0x8C, 0x3D, 0x25, 0xB7, 0x4E, 0x09, 0xA1, 0x6F}};
inline constexpr com::IID IID_ITulix{
    0x36A0F8D2, 0x9B17, 0x4E45, {0xB2, 0x8C, 0x63, 0x1D, 0x7F, 0xE4, 0x05, 0xCA}};
inline constexpr com::IID IID_ITulixExp{
    0xF5914C3E, 0x2D7B, 0x4A60, {0x97, 0xE1, 0x0B, 0x48, 0xC6, 0x3A, 0x5D, 0x72}};

inline constexpr char kTulixProgId[] = "Tulixlib.Tulix.1";
inline constexpr char kTulixVersionIndependentProgId[] = "Tulixlib.Tulix";
inline constexpr char kTulixExpProgId[] = "Tulixlib.TulixExp.1";
inline constexpr char kTulixExpVersionIndependentProgId[] = "Tulixlib.TulixExp";

// The small custom interface of class Tulix.
class ITulix : public com::IUnknown {
 public:
  static constexpr com::IID kIid = IID_ITulix;
  using Base = com::IUnknown;

  // Starts (or reuses) the search and hands back its results-page address in *pbstrName;
  // *status is 1 when a search was submitted, 2 when the words were empty.
  virtual HRESULT StartSearch(BSTR bstrSearch, BSTR bstrCategory, LONG shopping,
                              LONG results_per_engine, LONG engine_count, BSTR* pbstrName,
                              LONG* status) = 0;

 protected:
  ~ITulix() = default;
};

// The scriptable interface of class TulixExp. The dispatch ids are those of kTulixExpMembers
// below; StartSearch's is 0x60020000, the rest count up from 5 in table order.
class ITulixExp : public com::IDispatch {
 public:
  static constexpr com::IID kIid = IID_ITulixExp;
  using Base = com::IDispatch;

  virtual HRESULT StartSearch(BSTR bstrSearch, BSTR bstrCategory, LONG shopping,
                              LONG results_per_engine, LONG engine_count, BSTR* pbstSearch) = 0;
  virtual HRESULT get_result_url(BSTR bstrSearch, LONG order, LONG index, BSTR* pbstrUrl) = 0;
  virtual HRESULT GetSearchStatus(BSTR bstName, LONG* status) = 0;
  virtual HRESULT GetSearchText(BSTR bstrSearch, BSTR* pbstrText) = 0;
  virtual HRESULT GetSearchCategory(BSTR bstrSearch, BSTR* pbstrCategory) = 0;
  virtual HRESULT GetSearchTotal(BSTR bstName, LONG* total) = 0;
  virtual HRESULT get_result_text(BSTR bstName, LONG order, LONG index, BSTR* pbstrResult) = 0;
  virtual HRESULT GetSearchEngineCount(BSTR bstName, LONG* count) = 0;
  virtual HRESULT GetSearchShopping(BSTR bstName, LONG* shopping) = 0;
  virtual HRESULT get_result_engines(BSTR search_name, LONG order, LONG index,
                                     BSTR* pbstrEngines) = 0;
  virtual HRESULT GetSearchJobCount(BSTR search, LONG* count) = 0;
  virtual HRESULT GetCategories(BSTR* pbstrCategories) = 0;
  virtual HRESULT GetSearchResultsPerEngine(BSTR pstName, LONG* results_per_engine) = 0;
  virtual HRESULT get_result_percent(BSTR bstName, LONG order, LONG index, LONG* percent) = 0;
  virtual HRESULT StopSearch(BSTR bstName) = 0;
  virtual HRESULT GetOpenInNewWindow(LONG* newwindow) = 0;
  virtual HRESULT GetRunningEngines(BSTR bstName, BSTR* pbstrEngines) = 0;
  virtual HRESULT GetStatus(BSTR* pbstrStatus) = 0;

 protected:
  ~ITulixExp() = default;
};

// Dispatch ids of ITulixExp.
enum TulixExpDispid : com::DISPID {
  kDispStartSearch = 0x60020000,
  kDispGetResultUrl = 5,
  kDispGetSearchStatus,
  kDispGetSearchText,
  kDispGetSearchCategory,
  kDispGetSearchTotal,
  kDispGetResultText,
  kDispGetSearchEngineCount,
  kDispGetSearchShopping,
  kDispGetResultEngines,
  kDispGetSearchJobCount,
  kDispGetCategories,
  kDispGetSearchResultsPerEngine,
  kDispGetResultPercent,
  kDispStopSearch,
  kDispGetOpenInNewWindow,
  kDispGetRunningEngines,
  kDispGetStatus,
};
static_assert(kDispGetStatus == 21);

}  // namespace tulix::tulixlib
