// The interface and class of the small COM server built for the tests (test_server.cpp), shared
// by the server and the tests that load it.
#pragma once

#include "browserlib/com/com_object.h"
#include "browserlib/com/dispatch.h"

namespace tulix::com::test {

// {3F6A1C52-8E0B-4D7A-9C21-6B5E4F3A2D10}
inline constexpr IID IID_IGreeter{
    0x3F6A1C52, 0x8E0B, 0x4D7A, {0x9C, 0x21, 0x6B, 0x5E, 0x4F, 0x3A, 0x2D, 0x10}};
// {3F6A1C53-8E0B-4D7A-9C21-6B5E4F3A2D10}
inline constexpr CLSID CLSID_Greeter{
    0x3F6A1C53, 0x8E0B, 0x4D7A, {0x9C, 0x21, 0x6B, 0x5E, 0x4F, 0x3A, 0x2D, 0x10}};

inline constexpr DISPID kDispidGreet = 1;
inline constexpr DISPID kDispidSubtract = 2;

// A dual interface: two methods after those of IDispatch (vtable slots 7 and 8).
class IGreeter : public IDispatch {
 public:
  static constexpr IID kIid = IID_IGreeter;
  using Base = IDispatch;

  // "Hello, <name>!"
  virtual HRESULT Greet(BSTR name, BSTR* greeting) = 0;
  // a - b, so a call that swaps its arguments shows.
  virtual HRESULT Subtract(LONG a, LONG b, LONG* difference) = 0;

 protected:
  ~IGreeter() = default;
};

}  // namespace tulix::com::test
