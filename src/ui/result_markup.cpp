#include "ui/result_markup.h"

#include <vector>

#include "base/ascii_case.h"
#include "ui/core_text.h"

namespace tulix {

namespace {

struct Style {
  bool bold = false;
  bool italic = false;
  QColor color;
};

// The style stack: each start tag pushes the style it makes, its end tag pops back to the
// style before the nearest open tag of the same name. Unbalanced end tags are ignored.
class StyleStack {
 public:
  const Style& top() const { return m_styles.empty() ? m_base : m_styles.back().second; }
  void Push(std::string tag, Style style) { m_styles.emplace_back(std::move(tag), style); }
  void Pop(std::string_view tag) {
    for (size_t i = m_styles.size(); i > 0; --i) {
      if (m_styles[i - 1].first == tag) {
        m_styles.resize(i - 1);
        return;
      }
    }
  }

 private:
  Style m_base;
  std::vector<std::pair<std::string, Style>> m_styles;
};

// The value of attribute `name` in the inside of a start tag ("font color=red size=2"), quoted
// or not; empty when absent.
std::string AttributeValue(std::string_view inside, std::string_view name) {
  const std::string lower = AsciiLowerCopy(inside);
  size_t at = 0;
  while ((at = lower.find(name, at)) != std::string::npos) {
    const bool startsWord = at > 0 && (lower[at - 1] == ' ' || lower[at - 1] == '\t');
    size_t next = at + name.size();
    while (next < lower.size() && lower[next] == ' ') {
      ++next;
    }
    if (!startsWord || next >= lower.size() || lower[next] != '=') {
      at += name.size();
      continue;
    }
    ++next;
    while (next < inside.size() && inside[next] == ' ') {
      ++next;
    }
    if (next < inside.size() && (inside[next] == '"' || inside[next] == '\'')) {
      const char quote = inside[next];
      const size_t end = inside.find(quote, next + 1);
      return std::string(inside.substr(next + 1, end == std::string_view::npos
                                                       ? std::string_view::npos
                                                       : end - next - 1));
    }
    const size_t end = inside.find_first_of(" \t", next);
    return std::string(inside.substr(next, end == std::string_view::npos ? std::string_view::npos
                                                                           : end - next));
  }
  return {};
}

QColor ColorOf(const std::string& value) {
  // A bare hexadecimal value ("ff0000") is taken as one with its "#".
  QString name = QString::fromLatin1(value.data(), static_cast<qsizetype>(value.size())).trimmed();
  QColor color(name);
  if (!color.isValid() && (name.size() == 3 || name.size() == 6)) {
    color = QColor(QStringLiteral("#") + name);
  }
  return color;
}

// Decodes the character references of a text piece; an unknown or broken one stays as it is.
QString DecodeText(std::string_view bytes) {
  const QString text = FromCoreText(bytes);
  if (!text.contains(QLatin1Char('&'))) {
    return text;
  }
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] != QLatin1Char('&')) {
      out.append(text[i]);
      continue;
    }
    const qsizetype semicolon = text.indexOf(QLatin1Char(';'), i + 1);
    if (semicolon < 0 || semicolon - i > 10) {
      out.append(text[i]);
      continue;
    }
    const QString name = text.mid(i + 1, semicolon - i - 1);
    char32_t code = 0;
    if (name == QLatin1String("amp")) code = '&';
    else if (name == QLatin1String("lt")) code = '<';
    else if (name == QLatin1String("gt")) code = '>';
    else if (name == QLatin1String("quot")) code = '"';
    else if (name == QLatin1String("apos")) code = '\'';
    else if (name == QLatin1String("nbsp")) code = 0xA0;
    else if (name.startsWith(QLatin1Char('#'))) {
      bool ok = false;
      const uint value = name.size() > 1 && (name[1] == QLatin1Char('x') || name[1] == QLatin1Char('X'))
                             ? name.mid(2).toUInt(&ok, 16)
                             : name.mid(1).toUInt(&ok, 10);
      if (ok && value > 0 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
        code = value;
      }
    }
    if (code == 0) {
      out.append(text[i]);
      continue;
    }
    out.append(QString::fromUcs4(&code, 1));
    i = semicolon;
  }
  return out;
}

void AddText(std::vector<MarkupLine>& lines, const Style& style, std::string_view bytes) {
  if (bytes.empty()) {
    return;
  }
  QString text = DecodeText(bytes);
  text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  MarkupLine& line = lines.back();
  if (!line.empty() && line.back().bold == style.bold && line.back().italic == style.italic &&
      line.back().color == style.color) {
    line.back().text += text;
    return;
  }
  line.push_back(MarkupRun{text, style.bold, style.italic, style.color});
}

}  // namespace

QColor SearchWordColor() {
  return QColor(0xB0, 0x00, 0x00);
}

std::vector<MarkupLine> ParseResultMarkup(std::string_view markup) {
  std::vector<MarkupLine> lines(1);
  StyleStack styles;
  size_t at = 0;
  while (at < markup.size()) {
    const size_t open = markup.find('<', at);
    if (open == std::string_view::npos) {
      AddText(lines, styles.top(), markup.substr(at));
      break;
    }
    AddText(lines, styles.top(), markup.substr(at, open - at));
    // As in HTML, "<" starts a tag only before a letter or "/": "x < y" is text.
    const char next = open + 1 < markup.size() ? markup[open + 1] : ' ';
    const char lower = static_cast<char>(next | 0x20);
    if (!(lower >= 'a' && lower <= 'z') && next != '/') {
      AddText(lines, styles.top(), "<");
      at = open + 1;
      continue;
    }
    const size_t close = markup.find('>', open + 1);
    if (close == std::string_view::npos) {
      AddText(lines, styles.top(), markup.substr(open));  // a lone "<" is text
      break;
    }
    std::string_view inside = markup.substr(open + 1, close - open - 1);
    at = close + 1;
    const bool isEnd = !inside.empty() && inside.front() == '/';
    if (isEnd) {
      inside.remove_prefix(1);
    }
    const size_t nameEnd = inside.find_first_of(" \t\r\n/");
    const std::string name = AsciiLowerCopy(inside.substr(0, nameEnd));
    if (name == "p" || name == "br") {
      if (!isEnd || name == "p") {
        if (!lines.back().empty()) {
          lines.emplace_back();
        }
      }
      continue;
    }
    if (isEnd) {
      styles.Pop(name);
      continue;
    }
    Style style = styles.top();
    if (name == "b" || name == "strong") {
      style.bold = true;
    } else if (name == "i" || name == "em") {
      style.italic = true;
    } else if (name == "r") {
      style.color = SearchWordColor();
    } else if (name == "font") {
      const QColor color = ColorOf(AttributeValue(inside, "color"));
      if (color.isValid()) {
        style.color = color;
      }
    } else {
      continue;  // any other tag: dropped, its text shows plainly
    }
    styles.Push(name == "strong" ? "b" : name == "em" ? "i" : name, style);
  }
  if (lines.size() > 1 && lines.back().empty()) {
    lines.pop_back();
  }
  return lines;
}

QString PlainTextOf(const std::vector<MarkupLine>& lines) {
  QString out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) {
      out += QLatin1Char('\n');
    }
    for (const MarkupRun& run : lines[i]) {
      out += run.text;
    }
  }
  return out;
}

}  // namespace tulix
