// VARIANT, DISPPARAMS and EXCEPINFO: the values and argument lists of IDispatch::Invoke.
//
// A VARIANT here holds one of: nothing (VT_EMPTY), a null (VT_NULL), a 32-bit integer (VT_I4),
// a boolean (VT_BOOL, -1 true and 0 false), an error code (VT_ERROR, which is how a script
// marks an optional argument it left out), a BSTR (VT_BSTR, owned by the VARIANT), or a pointer
// to a 32-bit integer or a BSTR (VT_BYREF | VT_I4, VT_BYREF | VT_BSTR: the pointee is the
// caller's). The layout is the usual one (type tag, three reserved words, then a 16-byte value
// area on 64-bit), so C and ctypes callers can build one.
//
// Thread safety: the functions keep no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "browserlib/com/bstr.h"
#include "browserlib/com/hresult.h"

namespace tulix::com {

using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_ERROR = 10;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_BYREF = 0x4000;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    BSTR bstrVal;
    LONG* plVal;
    BSTR* pbstrVal;
    void* byref;
    // Sizes the value area as on every other system: two pointers.
    void* reserved[2];
  };
};
static_assert(sizeof(VARIANT) == 8 + 2 * sizeof(void*));

// The arguments of one Invoke call. `rgvarg` holds them last argument first (rgvarg[0] is
// the rightmost); the first `cNamedArgs` of them are named by `rgdispidNamedArgs`.
struct DISPPARAMS {
  VARIANT* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

// What Invoke fills in when it returns DISP_E_EXCEPTION. The BSTRs belong to the caller.
struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  HRESULT scode;
};

// Makes `v` empty without looking at what it held (for fresh memory).
void VariantInit(VARIANT* v);
// Frees what `v` owns (its BSTR) and makes it empty. DISP_E_BADVARTYPE, `v` untouched, for a
// type this layer does not know; E_INVALIDARG for null.
HRESULT VariantClear(VARIANT* v);
// Clears `dest`, then makes it a copy of `src`, with a BSTR of its own; a by-reference value is
// copied as the same reference. DISP_E_BADVARTYPE for an unknown type in either, E_OUTOFMEMORY
// when the copy cannot be made (dest is then empty).
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

// Value constructors for callers building arguments: the VARIANT owns the BSTR made from
// `utf8`.
VARIANT MakeVariantI4(int32_t value);
VARIANT MakeVariantBstr(std::string_view utf8);

// The value of `v` as an integer or a new BSTR, looking through a reference. An integer, a
// boolean (-1 or 0) and an empty value (0, "") convert either way; a BSTR converts to an
// integer when it is a decimal number (blanks around allowed), DISP_E_OVERFLOW when it does not
// fit. DISP_E_TYPEMISMATCH for anything else, DISP_E_PARAMNOTFOUND for a VT_ERROR value.
HRESULT VariantToI4(const VARIANT& v, int32_t* value);
HRESULT VariantToBstr(const VARIANT& v, BSTR* value);

}  // namespace tulix::com
