// Strings that cross COM interfaces: BSTR, UTF-16 code units with a length prefix.
//
// A BSTR points at the first code unit of a block laid out as
//     [uint32_t byte length][code units ...][char16_t 0]
// so it reads as a NUL-terminated UTF-16 string, yet may hold NULs of its own: its length is
// the prefix, not the position of the first NUL. A null BSTR is a valid empty string.
//
// Ownership: whoever receives a BSTR from an [out] parameter owns it and frees it with
// SysFreeString; [in] BSTRs stay the caller's. The blocks come from the C library's malloc,
// which every module of the process shares, so a string made in one library may be freed in
// another.
//
// Text inside Tulix is bytes, taken as UTF-8; BstrFromUtf8 and Utf8FromBstr convert at the
// interface. Thread safety: the functions keep no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tulix::com {

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

// A copy of the NUL-terminated `text`; null for a null `text` or when memory runs out.
BSTR SysAllocString(const OLECHAR* text);
// A string of `length` code units copied from `text`, NULs included; with a null `text` the
// units are zero. Null when memory runs out or the length cannot be represented.
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);
// Frees a BSTR; null is allowed and does nothing.
void SysFreeString(BSTR text);
// Length in code units and in bytes, from the prefix; 0 for null.
uint32_t SysStringLen(BSTR text);
uint32_t SysStringByteLen(BSTR text);

// The code units of a BSTR, NULs included; empty for null.
std::u16string_view BstrView(BSTR text);

// UTF-8 to a new BSTR (null only when memory runs out). A byte that does not begin a valid
// UTF-8 sequence (a stray continuation byte, a cut-off sequence, an overlong form, an encoded
// surrogate, a value above U+10FFFF) is taken as one Windows-1252 character, the code page the
// program's single-byte texts most often come from, so a Latin-1 page's text still reads right.
BSTR BstrFromUtf8(std::string_view text);
// UTF-16 to UTF-8; a surrogate without its partner becomes U+FFFD. Null gives "".
std::string Utf8FromBstr(BSTR text);
std::string Utf8FromUtf16(std::u16string_view text);

// Owns one BSTR and frees it when it goes.
class UniqueBstr {
 public:
  UniqueBstr() = default;
  explicit UniqueBstr(BSTR text) : m_text(text) {}
  explicit UniqueBstr(std::string_view utf8) : m_text(BstrFromUtf8(utf8)) {}
  ~UniqueBstr() { SysFreeString(m_text); }
  UniqueBstr(UniqueBstr&& other) noexcept : m_text(other.release()) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;

  BSTR get() const { return m_text; }
  // For an [out] BSTR* parameter: frees what is held and hands out the slot.
  BSTR* out() {
    reset();
    return &m_text;
  }
  BSTR release() { return std::exchange(m_text, nullptr); }
  void reset(BSTR text = nullptr) { SysFreeString(std::exchange(m_text, text)); }
  std::string Utf8() const { return Utf8FromBstr(m_text); }

 private:
  BSTR m_text = nullptr;
};

}  // namespace tulix::com
