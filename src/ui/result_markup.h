// The small mark-up a result entry is drawn with: the entry's text as the core gives it
// ("<b>title</b><p>summary", search words inside <r>...</r>) read into lines of styled runs.
//
// Understood: <b> bold, <i> italic, <p> and <br> a new line, <r> the search-word colour, and
// <font color="..."> with an HTML colour name or a hexadecimal value (#rgb, #rrggbb); each has
// its end tag. Every other tag is dropped and only its text shows, so nothing an engine put in
// a result can load, link or run anything. Character references (&amp; &#233; &#xE9;) are
// decoded. Text bytes go through FromCoreText.
#pragma once

#include <QColor>
#include <QString>

#include <string_view>
#include <vector>

namespace tulix {

struct MarkupRun {
  QString text;
  bool bold = false;
  bool italic = false;
  QColor color;  // invalid: the view's text colour
};

using MarkupLine = std::vector<MarkupRun>;

// The colour of search words (<r>).
QColor SearchWordColor();

std::vector<MarkupLine> ParseResultMarkup(std::string_view markup);

// The lines' text without styles, each line followed by "\n" but the last (for tests, tips and
// accessibility).
QString PlainTextOf(const std::vector<MarkupLine>& lines);

}  // namespace tulix
