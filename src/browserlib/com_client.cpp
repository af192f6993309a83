// The COM layer's client side for programs that are not written in C++: a C program or a
// script through a foreign-function interface makes tulixlib's objects by ProgID and handles
// the strings they give back with these functions. examples/tulixlib.h declares them.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "browserlib/com/bstr.h"
#include "browserlib/com/com_object.h"
#include "browserlib/com/object_creation.h"

using tulix::com::BSTR;
using tulix::com::HRESULT;
using tulix::com::IID;

TULIX_COM_EXPORT HRESULT CreateObjectByProgID(const char* progId, const IID* iid,
                                              void** object) {
  if (progId == nullptr || iid == nullptr || object == nullptr) {
    if (object != nullptr) {
      *object = nullptr;
    }
    return tulix::com::E_POINTER;
  }
  try {
    return tulix::com::CreateObjectByProgID(std::string(progId), *iid, object);
  } catch (const std::bad_alloc&) {
    *object = nullptr;
    return tulix::com::E_OUTOFMEMORY;
  } catch (...) {
    *object = nullptr;
    return tulix::com::E_FAIL;
  }
}

TULIX_COM_EXPORT size_t FreeUnusedLibraries() {
  return tulix::com::FreeUnusedLibraries();
}

TULIX_COM_EXPORT BSTR SysAllocStringFromUtf8(const char* text) {
  try {
    return tulix::com::BstrFromUtf8(text == nullptr ? "" : text);
  } catch (...) {
    return nullptr;
  }
}

TULIX_COM_EXPORT void SysFreeString(BSTR text) {
  tulix::com::SysFreeString(text);
}

TULIX_COM_EXPORT uint32_t SysStringLen(BSTR text) {
  return tulix::com::SysStringLen(text);
}

// A malloc'ed UTF-8 copy for the caller to free(); null when memory runs out.
TULIX_COM_EXPORT char* Utf8FromBstr(BSTR text) {
  try {
    const std::string utf8 = tulix::com::Utf8FromBstr(text);
    char* copy = static_cast<char*>(std::malloc(utf8.size() + 1));
    if (copy != nullptr) {
      std::memcpy(copy, utf8.c_str(), utf8.size() + 1);
    }
    return copy;
  } catch (...) {
    return nullptr;
  }
}
