#include "browserlib/com/guid.h"

#include <cstdio>

namespace tulix::com {
namespace {

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') {
    return ch - '0';
  }
  if (ch >= 'a' && ch <= 'f') {
    return ch - 'a' + 10;
  }
  if (ch >= 'A' && ch <= 'F') {
    return ch - 'A' + 10;
  }
  return -1;
}

// Reads `digits` hex digits at `text[pos]` into `value`; false when one is not a hex digit.
bool ReadHex(std::string_view text, size_t pos, size_t digits, uint64_t& value) {
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    int digit = HexDigit(text[pos + i]);
    if (digit < 0) {
      return false;
    }
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  return true;
}

}  // namespace

std::string GuidToString(const GUID& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::optional<GUID> GuidFromString(std::string_view text) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  // 0        9    14   19   24           37
  if (text.size() != 38 || text.front() != '{' || text.back() != '}' || text[9] != '-' ||
      text[14] != '-' || text[19] != '-' || text[24] != '-') {
    return std::nullopt;
  }
  GUID g;
  uint64_t value = 0;
  if (!ReadHex(text, 1, 8, value)) {
    return std::nullopt;
  }
  g.Data1 = static_cast<uint32_t>(value);
  if (!ReadHex(text, 10, 4, value)) {
    return std::nullopt;
  }
  g.Data2 = static_cast<uint16_t>(value);
  if (!ReadHex(text, 15, 4, value)) {
    return std::nullopt;
  }
  g.Data3 = static_cast<uint16_t>(value);
  static constexpr size_t kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePositions[i], 2, value)) {
      return std::nullopt;
    }
    g.Data4[i] = static_cast<uint8_t>(value);
  }
  return g;
}

}  // namespace tulix::com
