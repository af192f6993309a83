// A result entry's mark-up comes from pages nobody here controls: what it may style is bold,
// italics, lines, the search-word colour and named or hexadecimal colours; everything else shows
// as text and nothing breaks the entry.
#include <QTest>

#include "ui/result_markup.h"

namespace tulix {

class ResultMarkupTest : public QObject {
  Q_OBJECT
 private slots:
  void titleAndSummaryBecomeTwoStyledLines() {
    const auto lines = ParseResultMarkup("<b>Blue <r>whale</r></b><p>The <r>whale</r> sings &amp; dives");
    QCOMPARE(lines.size(), size_t{2});
    QCOMPARE(PlainTextOf(lines), QStringLiteral("Blue whale\nThe whale sings & dives"));
    QCOMPARE(lines[0].size(), size_t{2});
    QVERIFY(lines[0][0].bold && lines[0][1].bold);
    QCOMPARE(lines[0][1].color, SearchWordColor());
    QVERIFY(!lines[1][0].bold);
    QVERIFY(!lines[1][0].color.isValid());
    QCOMPARE(lines[1][1].color, SearchWordColor());
    QVERIFY(!lines[1][2].color.isValid());  // the colour ends with its tag
  }

  void coloursByNameAndByHexadecimalValue() {
    const auto lines = ParseResultMarkup(
        "<font color=\"navy\">a</font><font color='#ff0000'>b</font><FONT COLOR=00ff00>c</FONT>"
        "<font color=\"no-such-colour\">d</font>");
    QCOMPARE(lines[0].size(), size_t{4});
    QCOMPARE(lines[0][0].color, QColor(QStringLiteral("navy")));
    QCOMPARE(lines[0][1].color, QColor(255, 0, 0));
    QCOMPARE(lines[0][2].color, QColor(0, 255, 0));
    QVERIFY(!lines[0][3].color.isValid());
  }

  void whateverElseShowsAsTextAndNeverBreaks() {
    // Links, scripts and images lose their tags; broken or unbalanced mark-up stays readable.
    QCOMPARE(PlainTextOf(ParseResultMarkup("<a href=\"http://x\">go</a> <img src=x>"
                                           "<script>alert(1)</script>")),
             QStringLiteral("go alert(1)"));
    QCOMPARE(PlainTextOf(ParseResultMarkup("</b>x < y <b>bold")), QStringLiteral("x < y bold"));
    QCOMPARE(PlainTextOf(ParseResultMarkup("a &#233;&#xE9; &bogus; &#xD800; &#99999999;")),
             QString::fromUtf8("a \xC3\xA9\xC3\xA9 &bogus; &#xD800; &#99999999;"));
    QCOMPARE(PlainTextOf(ParseResultMarkup("")), QString());
    QCOMPARE(PlainTextOf(ParseResultMarkup("<p><p>only<br>lines<p>")), QStringLiteral("only\nlines"));
    // Windows-1252 bytes, as an old page sends them.
    QCOMPARE(PlainTextOf(ParseResultMarkup("caf\xE9 \x93quoted\x94")),
             QString::fromUtf8("caf\xC3\xA9 \xE2\x80\x9Cquoted\xE2\x80\x9D"));
  }
};

}  // namespace tulix

QTEST_MAIN(tulix::ResultMarkupTest)
#include "result_markup_test.moc"
