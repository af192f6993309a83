// Helpers for implementing IDispatch by hand: names to dispatch ids from a table, and reading
// an Invoke call's arguments by their position in the method's parameter list.
//
// Thread safety: the functions keep no state.
#pragma once

#include <span>

#include "browserlib/com/interfaces.h"
#include "browserlib/com/variant.h"

namespace tulix::com {

struct DispatchMember {
  const char* name;  // ASCII
  DISPID id;
};

// GetIDsOfNames over `members`: names[0] is looked up without regard to ASCII case, as script
// languages expect; parameter names (names[1...]) are not known and get DISPID_UNKNOWN.
// DISP_E_UNKNOWNNAME when any name is unknown, E_INVALIDARG for null arrays with a count.
HRESULT LookupDispatchIds(std::span<const DispatchMember> members, OLECHAR** names, UINT count,
                          DISPID* ids);

// Checks an Invoke call's shape: a method call (or a property get, which scripts use for calls
// without parentheses), no named arguments (DISP_E_NONAMEDARGS) and exactly `count` arguments
// (DISP_E_BADPARAMCOUNT). DISP_E_MEMBERNOTFOUND for a property put.
HRESULT CheckInvokeCall(WORD flags, const DISPPARAMS* params, UINT count);

// The argument at `position` (0 for the first in the method's list) as an integer or as a new
// BSTR that the UniqueBstr owns. A conversion failure returns its error (DISP_E_TYPEMISMATCH,
// DISP_E_OVERFLOW, DISP_E_PARAMNOTFOUND) and, when `argError` is not null, stores the failing
// argument's index in rgvarg there, as Invoke reports it. DISP_E_BADPARAMCOUNT when there is
// no such argument.
HRESULT GetArgument(const DISPPARAMS* params, UINT position, int32_t* value, UINT* argError);
HRESULT GetArgument(const DISPPARAMS* params, UINT position, UniqueBstr* value, UINT* argError);

// Hands a method's result back through Invoke's `result` (which may be null: the caller did
// not want it). `result` is overwritten, not cleared: Invoke's caller passes it empty. Takes
// ownership of `text` in every case.
void SetResult(VARIANT* result, int32_t value);
void SetResult(VARIANT* result, BSTR text);

}  // namespace tulix::com
