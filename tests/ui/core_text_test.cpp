// Bytes from the core are shown as UTF-8 when they are valid UTF-8 and as Windows-1252 when they
// are not; text handed back reads back as the same text.
#include <QObject>
#include <QTest>

#include <string>

#include "ui/core_text.h"

namespace tulix {

class CoreTextTest : public QObject {
  Q_OBJECT
 private slots:
  void validUtf8IsShownAsUtf8() {
    QCOMPARE(FromCoreText(""), QString());
    QCOMPARE(FromCoreText("plain words"), QStringLiteral("plain words"));
    QCOMPARE(FromCoreText("caf\xc3\xa9 \xe2\x82\xac"), QString::fromUtf8("café €"));
    QCOMPARE(FromCoreText("\xf0\x9f\x94\x8d"), QString::fromUtf8("🔍"));
  }

  void otherBytesAreShownAsWindows1252() {
    QCOMPARE(FromCoreText("caf\xe9"), QString::fromUtf8("café"));
    // The range where the code page differs from Latin-1.
    QCOMPARE(FromCoreText("\x80 \x93quoted\x94 \x85"), QString::fromUtf8("€ “quoted” …"));
    QCOMPARE(FromCoreText("\x8a\x9f"), QString::fromUtf8("ŠŸ"));
    // Codes the code page leaves undefined keep their value.
    QCOMPARE(FromCoreText("\x81\x8d")[0].unicode(), char16_t{0x81});
    // A cut sequence and an overlong one are not UTF-8: the whole text is read the other way.
    QCOMPARE(FromCoreText("ok \xe2\x82"), QString::fromUtf8("ok â‚"));
    QCOMPARE(FromCoreText("\xc0\xaf"), QString::fromUtf8("À¯"));
    // One bad byte decides for the whole text, valid sequences elsewhere included.
    QCOMPARE(FromCoreText("\xc3\xa9\xe9"), QString::fromUtf8("Ã©é"));
  }

  void textHandedBackReadsBackTheSame() {
    for (const char* bytes : {"plain", "caf\xc3\xa9", "\xe2\x82\xac 5"}) {
      QCOMPARE(ToCoreText(FromCoreText(bytes)), std::string(bytes));
    }
    const QString shownFromCodePage = FromCoreText("na\xefve \x93x\x94");
    QCOMPARE(FromCoreText(ToCoreText(shownFromCodePage)), shownFromCodePage);
  }
};

}  // namespace tulix

QTEST_MAIN(tulix::CoreTextTest)
#include "core_text_test.moc"
