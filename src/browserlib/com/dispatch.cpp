#include "browserlib/com/dispatch.h"

namespace tulix::com {
namespace {

char16_t AsciiLower(char16_t ch) {
  return ch >= u'A' && ch <= u'Z' ? static_cast<char16_t>(ch - u'A' + u'a') : ch;
}

bool SameNameIgnoringCase(const OLECHAR* name, const char* ascii) {
  size_t i = 0;
  for (; name[i] != 0 && ascii[i] != 0; ++i) {
    if (AsciiLower(name[i]) != AsciiLower(static_cast<unsigned char>(ascii[i]))) {
      return false;
    }
  }
  return name[i] == 0 && ascii[i] == 0;
}

// The VARIANT holding the argument at `position`, or null when there is none.
const VARIANT* ArgumentAt(const DISPPARAMS* params, UINT position, UINT* index) {
  if (params == nullptr || position >= params->cArgs || params->rgvarg == nullptr) {
    return nullptr;
  }
  *index = params->cArgs - 1 - position;
  return &params->rgvarg[*index];
}

template <typename T>
HRESULT Converted(const DISPPARAMS* params, UINT position, UINT* argError, T convert) {
  UINT index = 0;
  const VARIANT* arg = ArgumentAt(params, position, &index);
  if (arg == nullptr) {
    return DISP_E_BADPARAMCOUNT;
  }
  HRESULT hr = convert(*arg);
  if (FAILED(hr) && argError != nullptr) {
    *argError = index;
  }
  return hr;
}

}  // namespace

HRESULT LookupDispatchIds(std::span<const DispatchMember> members, OLECHAR** names, UINT count,
                          DISPID* ids) {
  if (count == 0) {
    return S_OK;
  }
  if (names == nullptr || ids == nullptr) {
    return E_INVALIDARG;
  }
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    ids[i] = DISPID_UNKNOWN;
  }
  if (names[0] != nullptr) {
    for (const DispatchMember& member : members) {
      if (SameNameIgnoringCase(names[0], member.name)) {
        ids[0] = member.id;
        break;
      }
    }
  }
  for (UINT i = 0; i < count; ++i) {
    if (ids[i] == DISPID_UNKNOWN) {
      hr = DISP_E_UNKNOWNNAME;
    }
  }
  return hr;
}

HRESULT CheckInvokeCall(WORD flags, const DISPPARAMS* params, UINT count) {
  if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) {
    return DISP_E_MEMBERNOTFOUND;
  }
  UINT given = params != nullptr ? params->cArgs : 0;
  if (params != nullptr && params->cNamedArgs > 0) {
    return DISP_E_NONAMEDARGS;
  }
  if (given != count || (given > 0 && params->rgvarg == nullptr)) {
    return DISP_E_BADPARAMCOUNT;
  }
  return S_OK;
}

HRESULT GetArgument(const DISPPARAMS* params, UINT position, int32_t* value, UINT* argError) {
  return Converted(params, position, argError,
                   [&](const VARIANT& v) { return VariantToI4(v, value); });
}

HRESULT GetArgument(const DISPPARAMS* params, UINT position, UniqueBstr* value, UINT* argError) {
  return Converted(params, position, argError,
                   [&](const VARIANT& v) { return VariantToBstr(v, value->out()); });
}

void SetResult(VARIANT* result, int32_t value) {
  if (result != nullptr) {
    *result = MakeVariantI4(value);
  }
}

void SetResult(VARIANT* result, BSTR text) {
  if (result == nullptr) {
    SysFreeString(text);
    return;
  }
  VariantInit(result);
  result->vt = VT_BSTR;
  result->bstrVal = text;
}

}  // namespace tulix::com
