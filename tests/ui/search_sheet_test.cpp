// The new-search sheet against a real category tree: what it offers (family mode included),
// what it refuses, and the settings it hands back.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QSlider>
#include <QTest>

#include <string>
#include <vector>

#include "family/family_mode.h"
#include "ui/dialog_test_support.h"
#include "ui/search_sheet.h"
#include "ui/ui_test_support.h"

namespace tulix {
namespace {

// web (3 engines), shopping (hidden in family mode; of its 2 engines one is not family-safe),
// news (1 engine, its own defaults).
void WriteCategories(const test::UiWorld& world) {
  const std::string categories = world.home() + "/categories";
  test::WriteTextFile(categories + "/web.cat", "[main]\nname=The Web\n");
  for (const char* engine : {"alpha", "beta", "gamma"}) {
    test::WriteTextFile(categories + "/web/" + engine + ".ini", "[main]\nname=" +
                                                                    std::string(engine) + "\n");
  }
  test::WriteTextFile(categories + "/shopping.cat", "[main]\nFamilySafe=0\n");
  test::WriteTextFile(categories + "/shopping/shop1.ini", "[main]\n");
  test::WriteTextFile(categories + "/shopping/shop2.ini", "[main]\nFamilySafe=0\n");
  test::WriteTextFile(categories + "/news.cat", "[main]\nEngineCount=1\nPerEngine=30\n");
  test::WriteTextFile(categories + "/news/daily.ini", "[main]\n");
}

QStringList Offered(const SearchSheet& sheet) {
  QStringList names;
  for (int i = 0; i < sheet.category()->count(); ++i) {
    names << sheet.category()->itemText(i);
  }
  names.sort();
  return names;
}

SearchSettings NewSearch(const std::string& category) {
  SearchSettings settings;
  settings.name = "";
  settings.category = category;
  return settings;
}

}  // namespace

class SearchSheetTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    m_world = std::make_unique<test::UiWorld>();
    WriteCategories(*m_world);
    m_world->Start();
  }
  void cleanup() { m_world.reset(); }

  void emptySearchTextIsRefusedAndTheSheetStaysOpen() {
    test::ShownMessages shown;
    SearchSheet sheet(nullptr, NewSearch("web"), QStringLiteral("New Search"));
    QCOMPARE(sheet.windowTitle(), QStringLiteral("New Search"));
    sheet.show();
    QVERIFY(sheet.searchText()->text().isEmpty());
    sheet.accept();
    sheet.searchText()->setText(QStringLiteral("   "));
    sheet.accept();
    QVERIFY(sheet.isVisible());
    QCOMPARE(sheet.result(), int(QDialog::Rejected));
    QCOMPARE(shown.boxes, (std::vector<std::string>(2, "No Search text entered")));
    QCOMPARE(sheet.edited().name, std::string());

    sheet.searchText()->setText(QStringLiteral("blue whale"));
    sheet.accept();
    QVERIFY(!sheet.isVisible());
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    QCOMPARE(sheet.edited().name, std::string("blue whale"));
  }

  void theSheetHandsBackWhatWasChosen() {
    SearchSettings old = NewSearch("web");
    old.name = "old words";
    old.found = 17;
    SearchSheet sheet(nullptr, old, QStringLiteral("Modify Search"));
    QCOMPARE(sheet.searchText()->text(), QStringLiteral("old words"));
    QCOMPARE(sheet.category()->currentText(), QStringLiteral("The Web"));
    // The web asks engines of every category.
    QCOMPARE(sheet.engineCount()->maximum(), 6);

    sheet.searchText()->setText(QString::fromUtf8("caf\u00e9 prices"));
    sheet.searchType()->button(kSearchExactPhrase)->click();
    sheet.category()->setCurrentIndex(sheet.category()->findText(QStringLiteral("news")));
    QCOMPARE(sheet.engineCount()->maximum(), 1);
    sheet.perEngine()->setValue(120);
    sheet.shopping()->setValue(95);
    sheet.accept();

    const SearchSettings& got = sheet.edited();
    QCOMPARE(got.name, std::string("caf\xc3\xa9 prices"));
    QCOMPARE(got.type, kSearchExactPhrase);
    QCOMPARE(got.category, std::string("news"));  // the node's name, not the one shown
    QCOMPARE(got.engineCount, 1);
    QCOMPARE(got.perEngine, 120);
    QCOMPARE(got.shopping, 95);
    QCOMPARE(got.found, 17);  // what the sheet does not edit stays
  }

  void unsetCountsShowTheCategorysOwn() {
    SearchSettings settings = NewSearch("news");
    settings.name = "x";
    SearchSheet sheet(nullptr, settings, QString());
    QCOMPARE(sheet.engineCount()->value(), 1);
    QCOMPARE(sheet.perEngine()->value(), 30);
    // Byte text that is not UTF-8 is shown in the old code page.
    settings.name = "na\xefve";
    settings.shopping = 500;  // an edited file: the slider keeps to its range
    SearchSheet other(nullptr, settings, QString());
    QCOMPARE(other.searchText()->text(), QString::fromUtf8("na\u00efve"));
    QCOMPARE(other.shopping()->value(), 100);
  }

  void theShoppingSliderSaysItsPolicy() {
    SearchSheet sheet(nullptr, NewSearch("web"), QString());
    QCOMPARE(sheet.shoppingPolicy()->text(), QStringLiteral("Show all sites"));
    sheet.shopping()->setValue(5);
    QCOMPARE(sheet.shoppingPolicy()->text(),
             QStringLiteral("Aggressively eliminate sites that appear to be shopping sites"));
    sheet.shopping()->setValue(25);
    QCOMPARE(sheet.shoppingPolicy()->text(),
             QStringLiteral("Eliminate non preferred shopping sites"));
    sheet.shopping()->setValue(90);
    QCOMPARE(sheet.shoppingPolicy()->text(), QStringLiteral("Only show known shopping sites"));
  }

  void familyModeHidesCategoriesThatAreNotFamilySafe() {
    {
      SearchSheet sheet(nullptr, NewSearch("shopping"), QString());
      QCOMPARE(Offered(sheet),
               (QStringList{QStringLiteral("The Web"), QStringLiteral("news"),
                            QStringLiteral("shopping")}));
      QCOMPARE(sheet.category()->currentText(), QStringLiteral("shopping"));
    }
    SetFamilyMode(true);
    SearchSheet sheet(nullptr, NewSearch("shopping"), QString());
    QCOMPARE(Offered(sheet), (QStringList{QStringLiteral("The Web"), QStringLiteral("news")}));
    sheet.searchText()->setText(QStringLiteral("toys"));
    sheet.accept();
    // A search of a hidden category cannot be started through the sheet.
    QVERIFY(sheet.edited().category != "shopping");
    // An engine that is not family-safe no longer counts for the web.
    sheet.category()->setCurrentIndex(sheet.category()->findText(QStringLiteral("The Web")));
    QCOMPARE(sheet.engineCount()->maximum(), 5);
  }

 private:
  std::unique_ptr<test::UiWorld> m_world;
};

}  // namespace tulix

QTEST_MAIN(tulix::SearchSheetTest)
#include "search_sheet_test.moc"
