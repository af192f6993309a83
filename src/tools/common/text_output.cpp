#include "tools/common/text_output.h"

#include <cstdio>

namespace tulix::tools {

namespace {

// Length of the valid UTF-8 sequence that starts text[i], or 0 when the byte starts none.
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
  if (length == 0 || i + length > text.size()) {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
      return 0;
    }
  }
  return length;
}

}  // namespace

void AppendHexEscape(std::string& out, const char* prefix, unsigned char c) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%s%02x", prefix, c);
  out += buffer;
}

void AppendJsonText(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      AppendHexEscape(out, "\\u00", c);
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (size_t length = Utf8SequenceLength(text, i); length != 0) {
      out.append(text.substr(i, length));
      i += length - 1;
    } else {
      AppendHexEscape(out, "\\u00", c);
    }
  }
}

}  // namespace tulix::tools
