#include "base/token_splitter.h"

namespace tulix {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// One call's working state. Everything lives on the caller's stack, so concurrent calls share
// nothing.
class Splitter {
 public:
  Splitter(std::string_view text, std::string_view delimiters, bool escapes)
      : m_text(text), m_delimiters(delimiters), m_escapes(escapes) {}

  std::string Run(size_t* end) {
    if (SkipToTokenStart()) {
      CollectToken();
    }
    SkipPastDelimiter();
    if (end != nullptr) {
      *end = m_pos;
    }
    m_token.resize(m_token.size() - m_trailing);
    return std::move(m_token);
  }

 private:
  bool IsDelimiter(char c) const {
    if (m_delimiters.size() == 1) {
      return c == m_delimiters[0];
    }
    return m_delimiters.find(c) != std::string_view::npos;
  }

  bool AtEnd() const { return m_pos >= m_text.size(); }

  // Adds a byte unless the token is full; the rest of an over-long token is dropped.
  bool Add(char c) {
    if (m_token.size() >= kMaxTokenLength) {
      return false;
    }
    m_token += c;
    return true;
  }

  void AddKept(char c) {
    Add(c);
    m_trailing = 0;
  }

  // Phase 1: skips blanks; returns false when the token is empty (a delimiter or the end came
  // first). A quote that opens the token is consumed here.
  bool SkipToTokenStart() {
    while (!AtEnd()) {
      char c = m_text[m_pos];
      if (IsBlank(c)) {
        ++m_pos;
      } else if (c == '"' || c == '\'') {
        m_quote = c;
        m_quoteOpensToken = true;
        ++m_pos;
        return true;
      } else if (IsDelimiter(c)) {
        return false;
      } else {
        return true;
      }
    }
    return false;
  }

  // Phase 2: collects the token up to the delimiter (not consumed) or the closing quote
  // (consumed).
  void CollectToken() {
    while (!AtEnd()) {
      char c = m_text[m_pos];
      if (m_quote != 0) {
        if (c == m_quote && m_quoteOpensToken) {
          ++m_pos;
          return;
        }
        if (c == '"' && !m_quoteOpensToken) {
          AddKept(c);
          m_quote = 0;
          ++m_pos;
          continue;
        }
        // A line end still ends a quoted token, so an unclosed quote cannot swallow the rest
        // of a file.
        if (IsDelimiter(c) && static_cast<unsigned char>(c) < 32) {
          return;
        }
        AddCharacter();
        continue;
      }
      if (c == '"') {
        AddKept(c);
        m_quote = '"';
        ++m_pos;
      } else if (IsDelimiter(c)) {
        return;
      } else if (IsBlank(c)) {
        if (Add(c)) {
          ++m_trailing;
        }
        ++m_pos;
      } else {
        AddCharacter();
      }
    }
  }

  // Adds the character at m_pos, or the escape sequence that starts there, and moves past it.
  void AddCharacter() {
    char c = m_text[m_pos++];
    if (c != '\\' || !m_escapes || AtEnd()) {
      AddKept(c);
      return;
    }
    char e = m_text[m_pos++];
    switch (e) {
      case 'b':
        AddKept('\b');
        return;
      case 'f':
        AddKept('\f');
        return;
      case 'n':
        AddKept('\n');
        return;
      case 'r':
        AddKept('\r');
        return;
      case 't':
        AddKept('\t');
        return;
      case 'v':
        AddKept('\v');
        return;
      case 'x':
      case 'X':
        AddHexEscape(e);
        return;
      default:
        break;
    }
    if (e >= '0' && e <= '7') {
      AddOctalEscape(e);
    } else {
      AddKept(e);
    }
  }

  void AddHexEscape(char x) {
    int value = 0;
    int digits = 0;
    while (digits < 2 && !AtEnd() && HexDigitValue(m_text[m_pos]) >= 0) {
      value = value * 16 + HexDigitValue(m_text[m_pos++]);
      ++digits;
    }
    // "\x" with no digits has no value to add; keep the letter rather than invent a NUL.
    AddKept(digits == 0 ? x : static_cast<char>(value));
  }

  void AddOctalEscape(char first) {
    int value = first - '0';
    for (int digits = 1; digits < 4 && !AtEnd(); ++digits) {
      char c = m_text[m_pos];
      if (c < '0' || c > '7') {
        break;
      }
      value = value * 8 + (c - '0');
      ++m_pos;
    }
    AddKept(static_cast<char>(value & 0xFF));
  }

  // Phase 3: skips to the next delimiter and past it.
  void SkipPastDelimiter() {
    while (!AtEnd() && !IsDelimiter(m_text[m_pos])) {
      ++m_pos;
    }
    if (!AtEnd()) {
      ++m_pos;
    }
  }

  std::string_view m_text;
  std::string_view m_delimiters;
  bool m_escapes;
  size_t m_pos = 0;
  std::string m_token;
  size_t m_trailing = 0;  // blanks at the end of m_token that are dropped at the end
  char m_quote = 0;       // the open quote character, 0 outside quotes
  bool m_quoteOpensToken = false;
};

}  // namespace

std::string GetToken(std::string_view text, std::string_view delimiters, bool escapes,
                     size_t* end) {
  return Splitter(text, delimiters, escapes).Run(end);
}

std::string PopToken(std::string& text, std::string_view delimiters, bool escapes) {
  size_t end = 0;
  std::string token = GetToken(text, delimiters, escapes, &end);
  text.erase(0, end);
  return token;
}

std::string GetNthToken(std::string_view text, std::string_view delimiters, int n, bool escapes,
                        size_t* end) {
  std::string token;
  size_t pos = 0;
  for (int i = 0; i <= n; ++i) {
    size_t used = 0;
    token = GetToken(text.substr(pos), delimiters, escapes, &used);
    pos += used;
  }
  if (end != nullptr) {
    *end = pos;
  }
  return token;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace tulix
