#include "tools/bridge/json_value.h"

#include <charconv>

#include "tools/common/text_output.h"

namespace tulix::bridge {

const JsonValue* JsonValue::Find(std::string_view name) const {
  const JsonObject* object = AsObject();
  if (object == nullptr) {
    return nullptr;
  }
  for (const auto& [key, value] : *object) {
    if (key == name) {
      return &value;
    }
  }
  return nullptr;
}

void AppendJsonString(std::string& out, std::string_view value) {
  out += '"';
  tools::AppendJsonText(out, value);
  out += '"';
}

namespace {

// A failed parse unwinds by returning false; the first error met is kept.
class Parser {
 public:
  explicit Parser(std::string_view text) : m_text(text) {}

  JsonParseResult Run() {
    JsonParseResult result;
    JsonValue value;
    SkipBlanks();
    if (ParseValue(value, 0)) {
      SkipBlanks();
      if (m_pos == m_text.size()) {
        result.value = std::move(value);
        return result;
      }
      Fail("unexpected text after the value");
    }
    result.error = m_error;
    return result;
  }

 private:
  bool Fail(const std::string& what) {
    if (m_error.empty()) {
      m_error = what + " at byte " + std::to_string(m_pos);
    }
    return false;
  }

  bool AtEnd() const { return m_pos >= m_text.size(); }
  char Peek() const { return m_text[m_pos]; }

  void SkipBlanks() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
      ++m_pos;
    }
  }

  bool Literal(std::string_view word) {
    if (m_text.substr(m_pos, word.size()) != word) {
      return Fail("unknown word");
    }
    m_pos += word.size();
    return true;
  }

  bool ParseValue(JsonValue& out, int depth) {
    if (AtEnd()) {
      return Fail("unexpected end of text");
    }
    switch (Peek()) {
      case '{':
        return ParseObject(out, depth + 1);
      case '[':
        return ParseArray(out, depth + 1);
      case '"': {
        std::string text;
        if (!ParseString(text)) {
          return false;
        }
        out = JsonValue(std::move(text));
        return true;
      }
      case 't':
        out = JsonValue(true);
        return Literal("true");
      case 'f':
        out = JsonValue(false);
        return Literal("false");
      case 'n':
        out = JsonValue(nullptr);
        return Literal("null");
      default:
        return ParseNumber(out);
    }
  }

  bool ParseObject(JsonValue& out, int depth) {
    if (depth > kMaxJsonDepth) {
      return Fail("nesting too deep");
    }
    ++m_pos;  // '{'
    JsonObject object;
    SkipBlanks();
    if (!AtEnd() && Peek() == '}') {
      ++m_pos;
      out = JsonValue(std::move(object));
      return true;
    }
    while (true) {
      SkipBlanks();
      if (AtEnd() || Peek() != '"') {
        return Fail("expected a member name");
      }
      std::string name;
      if (!ParseString(name)) {
        return false;
      }
      for (const auto& member : object) {
        if (member.first == name) {
          return Fail("repeated member \"" + name + "\"");
        }
      }
      SkipBlanks();
      if (AtEnd() || Peek() != ':') {
        return Fail("expected ':'");
      }
      ++m_pos;
      SkipBlanks();
      JsonValue value;
      if (!ParseValue(value, depth)) {
        return false;
      }
      object.emplace_back(std::move(name), std::move(value));
      SkipBlanks();
      if (AtEnd()) {
        return Fail("unexpected end of text");
      }
      if (Peek() == '}') {
        ++m_pos;
        out = JsonValue(std::move(object));
        return true;
      }
      if (Peek() != ',') {
        return Fail("expected ',' or '}'");
      }
      ++m_pos;
    }
  }

  bool ParseArray(JsonValue& out, int depth) {
    if (depth > kMaxJsonDepth) {
      return Fail("nesting too deep");
    }
    ++m_pos;  // '['
    JsonArray array;
    SkipBlanks();
    if (!AtEnd() && Peek() == ']') {
      ++m_pos;
      out = JsonValue(std::move(array));
      return true;
    }
    while (true) {
      SkipBlanks();
      JsonValue value;
      if (!ParseValue(value, depth)) {
        return false;
      }
      array.push_back(std::move(value));
      SkipBlanks();
      if (AtEnd()) {
        return Fail("unexpected end of text");
      }
      if (Peek() == ']') {
        ++m_pos;
        out = JsonValue(std::move(array));
        return true;
      }
      if (Peek() != ',') {
        return Fail("expected ',' or ']'");
      }
      ++m_pos;
    }
  }

  bool Digits() {
    const size_t start = m_pos;
    while (!AtEnd() && Peek() >= '0' && Peek() <= '9') {
      ++m_pos;
    }
    return m_pos > start || Fail("expected a digit");
  }

  bool ParseNumber(JsonValue& out) {
    const size_t start = m_pos;
    if (!AtEnd() && Peek() == '-') {
      ++m_pos;
    }
    if (AtEnd() || Peek() < '0' || Peek() > '9') {
      return Fail("unexpected character");
    }
    if (Peek() == '0') {
      ++m_pos;
      if (!AtEnd() && Peek() >= '0' && Peek() <= '9') {
        return Fail("leading zero");
      }
    } else {
      Digits();
    }
    bool whole = true;
    if (!AtEnd() && Peek() == '.') {
      ++m_pos;
      whole = false;
      if (!Digits()) {
        return false;
      }
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++m_pos;
      whole = false;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) {
        ++m_pos;
      }
      if (!Digits()) {
        return false;
      }
    }
    JsonNumber number{std::string(m_text.substr(start, m_pos - start)), std::nullopt};
    if (whole) {
      int64_t value = 0;
      const char* first = number.text.data();
      const char* last = first + number.text.size();
      auto [end, error] = std::from_chars(first, last, value);
      if (error == std::errc() && end == last) {
        number.integer = value;
      }
    }
    out = JsonValue(std::move(number));
    return true;
  }

  static void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool Hex4(uint32_t& code) {
    if (m_text.size() - m_pos < 4) {
      return Fail("short \\u escape");
    }
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = m_text[m_pos++];
      code <<= 4;
      if (c >= '0' && c <= '9') {
        code |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        code |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        code |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return Fail("bad \\u escape");
      }
    }
    return true;
  }

  bool Escape(std::string& out) {
    if (AtEnd()) {
      return Fail("unexpected end of text");
    }
    const char c = m_text[m_pos++];
    switch (c) {
      case '"':
        out += '"';
        return true;
      case '\\':
        out += '\\';
        return true;
      case '/':
        out += '/';
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return Fail("unknown escape");
    }
    uint32_t code = 0;
    if (!Hex4(code)) {
      return false;
    }
    if (code >= 0xDC00 && code <= 0xDFFF) {
      return Fail("lone low surrogate");
    }
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low = 0;
      if (m_text.substr(m_pos, 2) != "\\u" || (m_pos += 2, !Hex4(low)) || low < 0xDC00 ||
          low > 0xDFFF) {
        return Fail("high surrogate without its low half");
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(out, code);
    return true;
  }

  // Length of the valid UTF-8 sequence at m_pos (not ASCII), 0 when it is not one.
  size_t Utf8Sequence() const {
    const auto byte = [this](size_t i) { return static_cast<unsigned char>(m_text[m_pos + i]); };
    const unsigned char c = byte(0);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      low = c == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
      high = c == 0xED ? 0x9F : 0xBF;  // no encoded surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      low = c == 0xF0 ? 0x90 : 0x80;
      high = c == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
      return 0;
    }
    if (m_text.size() - m_pos < length || byte(1) < low || byte(1) > high) {
      return 0;
    }
    for (size_t i = 2; i < length; ++i) {
      if ((byte(i) & 0xC0) != 0x80) {
        return 0;
      }
    }
    return length;
  }

  bool ParseString(std::string& out) {
    ++m_pos;  // '"'
    while (true) {
      if (AtEnd()) {
        return Fail("unterminated string");
      }
      const unsigned char c = static_cast<unsigned char>(Peek());
      if (c == '"') {
        ++m_pos;
        return true;
      }
      if (c == '\\') {
        ++m_pos;
        if (!Escape(out)) {
          return false;
        }
      } else if (c < 0x20) {
        return Fail("control character in string");
      } else if (c < 0x80) {
        out += static_cast<char>(c);
        ++m_pos;
      } else {
        const size_t length = Utf8Sequence();
        if (length == 0) {
          return Fail("invalid UTF-8");
        }
        out.append(m_text.substr(m_pos, length));
        m_pos += length;
      }
    }
  }

  std::string_view m_text;
  size_t m_pos = 0;
  std::string m_error;
};

}  // namespace

JsonParseResult ParseJson(std::string_view text) {
  return Parser(text).Run();
}

}  // namespace tulix::bridge
