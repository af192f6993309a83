#include "browserlib/com/bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace tulix::com {
namespace {

constexpr size_t kPrefixBytes = sizeof(uint32_t);

uint32_t* PrefixOf(BSTR text) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(text) - kPrefixBytes);
}

// Windows-1252 bytes 0x80 to 0x9F. The five the code page leaves undefined map to the C1
// control of the same number, as the system's own conversion does, so no byte is lost.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromCp1252(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : static_cast<char16_t>(byte);
}

// Decodes one well-formed UTF-8 sequence at text[pos]; returns its length and sets `cp`, or 0
// when the bytes there are not one.
size_t DecodeUtf8(std::string_view text, size_t pos, char32_t& cp) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  unsigned char lead = byte(0);
  size_t length = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (pos + length > text.size()) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) {
      return 0;
    }
    cp = cp << 6 | (byte(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return length;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) {
    return nullptr;
  }
  size_t length = std::char_traits<char16_t>::length(text);
  if (length > std::numeric_limits<uint32_t>::max()) {
    return nullptr;
  }
  return SysAllocStringLen(text, static_cast<uint32_t>(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
  // The byte length must fit the 32-bit prefix.
  if (length > (std::numeric_limits<uint32_t>::max() - kPrefixBytes) / sizeof(OLECHAR) - 1) {
    return nullptr;
  }
  size_t bytes = size_t{length} * sizeof(OLECHAR);
  void* block = std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR));
  if (block == nullptr) {
    return nullptr;
  }
  uint32_t prefix = static_cast<uint32_t>(bytes);
  std::memcpy(block, &prefix, kPrefixBytes);
  auto* units = reinterpret_cast<BSTR>(static_cast<char*>(block) + kPrefixBytes);
  if (text != nullptr) {
    std::memcpy(units, text, bytes);
  } else {
    std::memset(units, 0, bytes);
  }
  units[length] = 0;
  return units;
}

void SysFreeString(BSTR text) {
  if (text != nullptr) {
    std::free(PrefixOf(text));
  }
}

uint32_t SysStringByteLen(BSTR text) {
  if (text == nullptr) {
    return 0;
  }
  uint32_t bytes;
  std::memcpy(&bytes, PrefixOf(text), kPrefixBytes);
  return bytes;
}

uint32_t SysStringLen(BSTR text) {
  return SysStringByteLen(text) / sizeof(OLECHAR);
}

std::u16string_view BstrView(BSTR text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text, SysStringLen(text));
}

BSTR BstrFromUtf8(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = 0;
    size_t length = DecodeUtf8(text, pos, cp);
    if (length == 0) {
      units += FromCp1252(static_cast<unsigned char>(text[pos]));
      ++pos;
      continue;
    }
    pos += length;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units += static_cast<char16_t>(0xD800 + (cp >> 10));
      units += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      units += static_cast<char16_t>(cp);
    }
  }
  if (units.size() > std::numeric_limits<uint32_t>::max()) {
    return nullptr;
  }
  return SysAllocStringLen(units.data(), static_cast<uint32_t>(units.size()));
}

std::string Utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::string Utf8FromBstr(BSTR text) {
  return Utf8FromUtf16(BstrView(text));
}

}  // namespace tulix::com
