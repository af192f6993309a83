#include "browserlib/com/variant.h"

#include <charconv>
#include <limits>
#include <string>

namespace tulix::com {
namespace {

bool IsKnownType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I4:
    case VT_BOOL:
    case VT_ERROR:
    case VT_BSTR:
    case VT_BYREF | VT_I4:
    case VT_BYREF | VT_BSTR:
      return true;
    default:
      return false;
  }
}

// `v` with one level of reference taken away; the result borrows the pointee's BSTR.
VARIANT Dereferenced(const VARIANT& v) {
  VARIANT plain = v;
  if (v.vt == (VT_BYREF | VT_I4)) {
    plain.vt = VT_I4;
    plain.lVal = v.plVal != nullptr ? *v.plVal : 0;
  } else if (v.vt == (VT_BYREF | VT_BSTR)) {
    plain.vt = VT_BSTR;
    plain.bstrVal = v.pbstrVal != nullptr ? *v.pbstrVal : nullptr;
  }
  return plain;
}

}  // namespace

void VariantInit(VARIANT* v) {
  if (v != nullptr) {
    *v = VARIANT{};
    v->vt = VT_EMPTY;
  }
}

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) {
    return E_INVALIDARG;
  }
  if (!IsKnownType(v->vt)) {
    return DISP_E_BADVARTYPE;
  }
  if (v->vt == VT_BSTR) {
    SysFreeString(v->bstrVal);
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (dest == nullptr || src == nullptr) {
    return E_INVALIDARG;
  }
  if (dest == src) {
    return S_OK;
  }
  if (!IsKnownType(src->vt)) {
    return DISP_E_BADVARTYPE;
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    return hr;
  }
  VARIANT copy = *src;
  if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
    if (copy.bstrVal == nullptr) {
      return E_OUTOFMEMORY;
    }
  }
  *dest = copy;
  return S_OK;
}

VARIANT MakeVariantI4(int32_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT MakeVariantBstr(std::string_view utf8) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = BstrFromUtf8(utf8);
  return v;
}

HRESULT VariantToI4(const VARIANT& source, int32_t* value) {
  if (value == nullptr) {
    return E_POINTER;
  }
  VARIANT v = Dereferenced(source);
  switch (v.vt) {
    case VT_EMPTY:
      *value = 0;
      return S_OK;
    case VT_I4:
      *value = v.lVal;
      return S_OK;
    case VT_BOOL:
      *value = v.boolVal != 0 ? -1 : 0;
      return S_OK;
    case VT_ERROR:
      return DISP_E_PARAMNOTFOUND;
    case VT_BSTR: {
      std::string text = Utf8FromBstr(v.bstrVal);
      size_t first = text.find_first_not_of(" \t");
      size_t last = text.find_last_not_of(" \t");
      if (first == std::string::npos) {
        return DISP_E_TYPEMISMATCH;
      }
      const char* begin = text.data() + first;
      const char* end = text.data() + last + 1;
      int64_t number = 0;
      auto [stop, error] = std::from_chars(begin, end, number);
      if (error == std::errc::result_out_of_range) {
        return DISP_E_OVERFLOW;
      }
      if (error != std::errc() || stop != end) {
        return DISP_E_TYPEMISMATCH;
      }
      if (number < std::numeric_limits<int32_t>::min() ||
          number > std::numeric_limits<int32_t>::max()) {
        return DISP_E_OVERFLOW;
      }
      *value = static_cast<int32_t>(number);
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT VariantToBstr(const VARIANT& source, BSTR* value) {
  if (value == nullptr) {
    return E_POINTER;
  }
  *value = nullptr;
  VARIANT v = Dereferenced(source);
  BSTR text = nullptr;
  switch (v.vt) {
    case VT_EMPTY:
      text = SysAllocStringLen(nullptr, 0);
      break;
    case VT_I4:
      text = BstrFromUtf8(std::to_string(v.lVal));
      break;
    case VT_BOOL:
      text = BstrFromUtf8(v.boolVal != 0 ? "True" : "False");
      break;
    case VT_BSTR:
      text = SysAllocStringLen(v.bstrVal, SysStringLen(v.bstrVal));
      break;
    case VT_ERROR:
      return DISP_E_PARAMNOTFOUND;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  if (text == nullptr) {
    return E_OUTOFMEMORY;
  }
  *value = text;
  return S_OK;
}

}  // namespace tulix::com
