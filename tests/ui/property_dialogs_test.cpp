// The property dialogs and "Known Web Sites" against a real program folder: what OK takes over
// is saved where the program reads it back, and Cancel changes nothing.
#include <QCheckBox>
#include <QLineEdit>
#include <QObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTreeWidget>

#include <string>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "definitions/search_folder.h"
#include "definitions/site_list.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "ui/dialog_test_support.h"
#include "ui/known_sites_dialog.h"
#include "ui/property_dialogs.h"
#include "ui/ui_test_support.h"

namespace tulix {
namespace {

void WriteProgramFolder(const test::UiWorld& world) {
  const std::string categories = world.home() + "/categories";
  test::WriteTextFile(categories + "/web.cat", "[main]\nkeywords=find look\n");
  test::WriteTextFile(categories + "/web/alpha.ini",
                      "[main]\nname=Alpha Search\nkeywords=cheap:10 sale\n");
  test::WriteTextFile(categories + "/web/late.ini", "[main]\nOrder=1500\n");
  test::WriteTextFile(categories + "/news.cat", "[main]\nEngineCount=1\nPerEngine=30\n");
  test::WriteTextFile(categories + "/news/daily.ini", "[main]\n");
  test::WriteTextFile(categories + "/sites.sit",
                      "[sites]\n0=Normal example.com\n1=Shop shop.example\n2=Blacklist "
                      "bad.example\n");
  std::filesystem::create_directories(world.home() + "/searches/Kids");
}

template <typename Node>
Node* Find(const std::shared_ptr<Tree>& tree, const char* path) {
  return dynamic_cast<Node*>(tree->Find(path));
}

QTreeWidgetItem* Row(const KnownSitesDialog& dialog, const char* host) {
  const auto found = dialog.sites()->findItems(QString::fromLatin1(host), Qt::MatchExactly, 0);
  return found.isEmpty() ? nullptr : found.front();
}

}  // namespace

class PropertyDialogsTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    m_world = std::make_unique<test::UiWorld>();
    WriteProgramFolder(*m_world);
    m_world->Start();
  }
  void cleanup() { m_world.reset(); }

  void engineValuesAreSavedAsTheUsersOwn() {
    auto* engine = Find<EngineDefinition>(App().categoryTree, "web\\alpha");
    QVERIFY(engine != nullptr);
    {
      EnginePropertiesDialog dialog(nullptr, *engine);
      QVERIFY(dialog.familySafe()->isChecked());
      QCOMPARE(dialog.priority()->value(), 500);
      QVERIFY(dialog.keywords()->isReadOnly());
      QCOMPARE(dialog.keywords()->toPlainText(), QStringLiteral("cheap:10 sale"));
      dialog.familySafe()->setChecked(false);
      dialog.priority()->setValue(200);
      dialog.domains()->setText(QStringLiteral("uk;com"));
      dialog.reject();
    }
    QCOMPARE(engine->Data()->familySafe, 1);
    QCOMPARE(engine->Data()->order, 500);

    EnginePropertiesDialog dialog(nullptr, *engine);
    dialog.familySafe()->setChecked(false);
    dialog.priority()->setValue(200);
    dialog.domains()->setText(QStringLiteral(" uk;com "));
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(engine->Data()->familySafe, 0);
    QCOMPARE(engine->Data()->order, 200);
    QCOMPARE(engine->Data()->domains, std::string("uk;com"));
    const std::string key = FileSettingsKey(engine->GetFilePath());
    QCOMPARE(App().registry().GetDword(key, "FamilySafe", 9), 0u);
    QCOMPARE(App().registry().GetDword(key, "Order", 9), 200u);
    QCOMPARE(App().registry().GetString(key, "Domains", "?"), std::string("uk;com"));
    // Loading the file again keeps the user's values, not the file's.
    engine->Load();
    QCOMPARE(engine->Data()->familySafe, 0);
    QCOMPARE(engine->Data()->order, 200);
    QVERIFY(!engine->IsUsable(true));
  }

  void anEngineFarDownKeepsItsPlace() {
    auto* engine = Find<EngineDefinition>(App().categoryTree, "web\\late");
    QVERIFY(engine != nullptr);
    EnginePropertiesDialog dialog(nullptr, *engine);
    QCOMPARE(dialog.priority()->value(), 1500);
    dialog.accept();
    QCOMPARE(engine->Data()->order, 1500);
  }

  void categoryValuesAreSavedAndReadBack() {
    auto* category = Find<CategoryNode>(App().categoryTree, "web");
    QVERIFY(category != nullptr);
    CategoryPropertiesDialog dialog(nullptr, *category);
    QCOMPARE(dialog.engineCount()->value(), 5);  // the default setting: the file sets none
    QCOMPARE(dialog.perEngine()->value(), 50);
    // The web counts every engine (3); the slider keeps room for the value it shows.
    QCOMPARE(dialog.engineCount()->maximum(), 5);
    QVERIFY(dialog.familySafe()->isChecked());
    QVERIFY(dialog.domainLimited()->isChecked());
    QCOMPARE(dialog.keywords()->toPlainText(), QStringLiteral("find look"));
    dialog.engineCount()->setValue(2);
    dialog.perEngine()->setValue(80);
    dialog.familySafe()->setChecked(false);
    dialog.domainLimited()->setChecked(false);
    dialog.accept();

    const std::string key = FileSettingsKey(category->FilePath());
    QCOMPARE(App().registry().GetDword(key, "EngineCount", 0), 2u);
    QCOMPARE(App().registry().GetDword(key, "PerEngine", 0), 80u);
    QCOMPARE(App().registry().GetDword(key, "FamilySafe", 9), 0u);
    QCOMPARE(App().registry().GetDword(key, "DomainLimited", 9), 0u);
    {
      auto hold = ChangeCategoryTree();
      category->engineCount = category->perEngine = -1;
      category->familySafe = category->domainLimited = 1;
      category->Load();
    }
    QCOMPARE(category->EngineCount(), 2);
    QCOMPARE(category->PerEngine(), 80);
    QVERIFY(!category->IsUsable(true));
    // Cancel changes nothing.
    CategoryPropertiesDialog again(nullptr, *category);
    again.perEngine()->setValue(150);
    again.reject();
    QCOMPARE(category->PerEngine(), 80);
  }

  void searchFolderFamilySafetyIsSavedBesideTheFolder() {
    auto* folder = Find<SearchFolder>(App().searchTree, "Kids");
    QVERIFY(folder != nullptr);
    SearchFolderPropertiesDialog dialog(nullptr, *folder);
    QVERIFY(dialog.familySafe()->isChecked());
    dialog.familySafe()->setChecked(false);
    dialog.accept();
    QVERIFY(std::filesystem::exists(m_world->home() + "/searches/Kids.sdp"));
    folder->familySafe = 1;
    folder->Load();
    QCOMPARE(folder->familySafe, 0);
    QVERIFY(!folder->IsUsable(true));
    QVERIFY(folder->IsUsable(false));
  }

  void knownSitesAreEditedAndSavedOnOk() {
    KnownSitesDialog dialog(nullptr);
    QCOMPARE(dialog.sites()->topLevelItemCount(), 3);
    QCOMPARE(Row(dialog, "shop.example")->text(1), QStringLiteral("Shopping"));
    QCOMPARE(Row(dialog, "bad.example")->text(1), QStringLiteral("Blocked"));
    QPushButton* preferred = dialog.typeButton(kSitePShop);
    QCOMPARE(preferred->text(), QStringLiteral("Preferred Shopping"));
    QVERIFY(!preferred->isEnabled());

    dialog.sites()->setCurrentItem(Row(dialog, "example.com"));
    QVERIFY(preferred->isEnabled());
    preferred->click();
    QCOMPARE(Row(dialog, "example.com")->text(1), QStringLiteral("Preferred Shopping"));
    dialog.sites()->setCurrentItem(Row(dialog, "bad.example"));
    dialog.typeButton(kSiteNormal)->click();
    // Nothing reaches the list before OK...
    QCOMPARE(App().sites->TypeOfHost("example.com"), kSiteNormal);
    // ...and a host merged in by an update meanwhile is kept.
    App().sites->AddFromString("Shop new.example", true);
    dialog.accept();

    QCOMPARE(App().sites->TypeOfHost("example.com"), kSitePShop);
    QCOMPARE(App().sites->TypeOfHost("bad.example"), kSiteNormal);
    QCOMPARE(App().sites->TypeOfHost("shop.example"), kSiteShop);
    SiteList reread;
    reread.Load(GetSitesFile());
    QCOMPARE(reread.TypeOfHost("example.com"), kSitePShop);
    QCOMPARE(reread.TypeOfHost("bad.example"), kSiteNormal);
    QCOMPARE(reread.TypeOfHost("new.example"), kSiteShop);
  }

  void cancellingKnownSitesChangesNothing() {
    KnownSitesDialog dialog(nullptr);
    dialog.sites()->setCurrentItem(Row(dialog, "shop.example"));
    dialog.typeButton(kSiteBlacklist)->click();
    dialog.sites()->clearSelection();
    QVERIFY(!dialog.typeButton(kSiteBlacklist)->isEnabled());
    dialog.reject();
    QCOMPARE(App().sites->TypeOfHost("shop.example"), kSiteShop);
    SiteList reread;
    reread.Load(GetSitesFile());
    QCOMPARE(reread.TypeOfHost("shop.example"), kSiteShop);
  }

 private:
  std::unique_ptr<test::UiWorld> m_world;
};

}  // namespace tulix

QTEST_MAIN(tulix::PropertyDialogsTest)
#include "property_dialogs_test.moc"
