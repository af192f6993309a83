// The options sheet's general pages against a real settings store: what each page shows, what
// it refuses, and that applying stores the settings where the next start reads them.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QObject>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include <optional>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "platform/registry_store.h"
#include "ui/dialog_test_support.h"
#include "ui/options_pages.h"
#include "ui/options_sheet.h"
#include "ui/ui_test_support.h"

namespace tulix {
namespace {

std::string Section(const char* name) {
  return std::string(kRegistryRoot) + "\\" + name;
}

uint32_t StoredInt(const char* section, const char* value) {
  return App().registry().GetDword(Section(section), value, 0xDEAD);
}

std::string StoredText(const char* section, const char* value) {
  return App().registry().GetString(Section(section), value, "<none>");
}

}  // namespace

class OptionsSheetTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    m_world = std::make_unique<test::UiWorld>();
    m_world->Start();
  }
  void cleanup() { m_world.reset(); }

  void pagesComeInTheirOrder() {
    OptionsSheet sheet(nullptr, {});
    QStringList titles;
    for (int i = 0; i < sheet.tabs()->count(); ++i) {
      titles << sheet.tabs()->tabText(i);
    }
    QCOMPARE(titles, (QStringList{"Tasks", "My Profile", "Email", "Family Censor",
                                  "Family Access Control", "Browser Integration"}));
    QCOMPARE(sheet.currentPage(), 0);
  }

  void tasksAndProfileAreStoredOnApply() {
    App().settings().MyDomains = "uk";
    OptionsSheet sheet(nullptr, {});
    TasksPage* tasks = sheet.tasksPage();
    QCOMPARE(tasks->maxTasks()->value(), 3);
    QVERIFY(tasks->browserNewWindow()->isChecked());
    QCOMPARE(tasks->defaultEngineCount()->value(), 5);
    QCOMPARE(tasks->defaultResultCount()->value(), 50);
    QCOMPARE(tasks->updatePolicy()->currentText(), QStringLiteral("Every Search"));
    tasks->maxTasks()->setValue(7);
    tasks->browserNewWindow()->setChecked(false);
    tasks->defaultEngineCount()->setValue(9);
    tasks->defaultResultCount()->setValue(120);
    tasks->updatePolicy()->setCurrentIndex(1);
    QVERIFY(sheet.ShowPage(sheet.PageIndex(sheet.profilePage())));
    QCOMPARE(sheet.profilePage()->domains()->text(), QStringLiteral("uk"));
    sheet.profilePage()->domains()->setText(QStringLiteral("uk,com "));
    QVERIFY(sheet.Apply());

    const AppSettings& s = App().settings();
    QCOMPARE(s.MaxTasks, 7);
    QCOMPARE(s.UpdatePolicy, 1);
    QCOMPARE(s.MyDomains, std::string("uk,com"));
    QCOMPARE(StoredInt("Tasks", "MaxTasks"), 7u);
    QCOMPARE(StoredInt("Behaviour", "BrowserNewWindow"), 0u);
    QCOMPARE(StoredInt("Tasks", "DefaultEngineCount"), 9u);
    QCOMPARE(StoredInt("Tasks", "DefaultResultCount"), 120u);
    QCOMPARE(StoredInt("Behaviour", "UpdatePolicy"), 1u);
    QCOMPARE(StoredText("Behaviour", "MyDomains"), std::string("uk,com"));
    // What is stored is what the next start loads.
    App().settings() = AppSettings();
    LoadSettings();
    QCOMPARE(App().settings().MaxTasks, 7);
    QCOMPARE(App().settings().MyDomains, std::string("uk,com"));
  }

  void aPageNeverShownIsNotApplied() {
    OptionsSheet sheet(nullptr, {});
    // Changed elsewhere while the sheet is open: the unshown page must not put back old values.
    App().settings().Host = "mail.example";
    App().settings().OpenInNewWindow = 0;
    QVERIFY(sheet.Apply());
    QCOMPARE(App().settings().Host, std::string("mail.example"));
    QCOMPARE(App().settings().OpenInNewWindow, 0);
  }

  void emailChecksRefuseInOrderAndKeepThePageOpen() {
    test::ShownMessages shown;
    OptionsSheet sheet(nullptr, {});
    sheet.show();
    const int emailIndex = sheet.PageIndex(sheet.emailPage());
    QVERIFY(sheet.ShowPage(emailIndex));
    EmailPage* page = sheet.emailPage();
    // A page left wholly empty may be left: alerts are optional.
    QVERIFY(sheet.ShowPage(0));
    QVERIFY(sheet.ShowPage(emailIndex));

    page->host()->setText(QStringLiteral("smtp.example"));
    QVERIFY(!sheet.ShowPage(0));
    QCOMPARE(sheet.currentPage(), emailIndex);
    QVERIFY(!sheet.Apply());
    QCOMPARE(sheet.focusWidget(), static_cast<QWidget*>(page->address()));

    page->address()->setText(QStringLiteral("me@example"));
    page->host()->clear();
    QVERIFY(!sheet.Apply());
    QCOMPARE(sheet.focusWidget(), static_cast<QWidget*>(page->host()));

    page->host()->setText(QStringLiteral("smtp.example"));
    page->authentication()->setCurrentIndex(2);
    QVERIFY(page->username()->isEnabled());
    sheet.tabs()->setCurrentIndex(0);  // the user clicks another tab
    QCOMPARE(sheet.tabs()->currentIndex(), emailIndex);
    QCOMPARE(sheet.focusWidget(), static_cast<QWidget*>(page->username()));
    QCOMPARE(shown.boxes, (std::vector<std::string>{"Please specify a valid email address",
                                                    "Please specify a valid email address",
                                                    "Please specify a valid SMTP host",
                                                    "Please specify a valid username"}));
    // Nothing was stored by the refused applies.
    QVERIFY(StoredText("Email", "Host") != "smtp.example");

    page->username()->setText(QStringLiteral("me"));
    page->password()->setText(QStringLiteral("pw"));
    page->name()->setText(QStringLiteral("Parent"));
    page->port()->setValue(587);
    page->security()->setCurrentIndex(1);
    sheet.tabs()->setCurrentIndex(0);
    QCOMPARE(sheet.currentPage(), 0);
    QVERIFY(sheet.Apply());
    QCOMPARE(StoredText("Email", "Address"), std::string("me@example"));
    QCOMPARE(StoredText("Email", "Host"), std::string("smtp.example"));
    QCOMPARE(StoredInt("Email", "Authenticate"), 2u);
    QCOMPARE(StoredText("Email", "Username"), std::string("me"));
    QCOMPARE(StoredText("Email", "Password"), std::string("pw"));
    QCOMPARE(StoredText("Email", "Name"), std::string("Parent"));
    QCOMPARE(StoredInt("Email", "Port"), 587u);
    QCOMPARE(StoredInt("Email", "Security"), 1u);
    App().settings() = AppSettings();
    LoadSettings();
    QCOMPARE(App().settings().Security, 1);
  }

  void anUnknownAuthenticationMethodShowsQuestionMarksAndIsKept() {
    AppSettings& s = App().settings();
    s.Authenticate = 7;
    s.Address = "me@example";
    s.Host = "smtp.example";
    s.Username = "me";
    OptionsSheet sheet(nullptr, {});
    QVERIFY(sheet.ShowPage(sheet.PageIndex(sheet.emailPage())));
    EmailPage* page = sheet.emailPage();
    QCOMPARE(page->authentication()->currentText(), QStringLiteral("???"));
    QVERIFY(page->username()->isEnabled());
    QVERIFY(sheet.Apply());
    QCOMPARE(StoredInt("Email", "Authenticate"), 7u);

    page->authentication()->setCurrentIndex(0);
    QCOMPARE(page->authentication()->currentText(), QStringLiteral("None"));
    QVERIFY(!page->username()->isEnabled());
    QVERIFY(!page->password()->isEnabled());
    // Without authentication no user name is needed.
    page->username()->clear();
    QVERIFY(sheet.Apply());
    QCOMPARE(StoredInt("Email", "Authenticate"), 0u);
  }

  void browserIntegrationStoresAndCallsTheRegistration() {
    std::vector<bool> calls;
    OptionsHooks hooks;
    hooks.registerBrowserComponents = [&calls](bool on) { calls.push_back(on); };
    OptionsSheet sheet(nullptr, hooks);
    QVERIFY(sheet.Apply());
    QVERIFY(calls.empty());  // the page was not shown

    QVERIFY(sheet.ShowPage(sheet.PageIndex(sheet.browserPage())));
    BrowserIntegrationPage* page = sheet.browserPage();
    QCOMPARE(page->toolbar()->text(), QStringLiteral("Tulix Search Toolbar"));
    QVERIFY(!page->toolbar()->isChecked());  // 2: not asked yet
    QVERIFY(page->openInNewWindow()->isChecked());
    page->toolbar()->setChecked(true);
    page->openInNewWindow()->setChecked(false);
    QVERIFY(sheet.Apply());
    QCOMPARE(calls, std::vector<bool>{true});
    QCOMPARE(StoredInt("Browser", "ExplorerIntegration"), 1u);
    QCOMPARE(StoredInt("Browser", "OpenInNewWindow"), 0u);

    page->toolbar()->setChecked(false);
    sheet.accept();
    QCOMPARE(sheet.result(), int(QDialog::Accepted));
    QCOMPARE(calls, (std::vector<bool>{true, false}));
    QCOMPARE(StoredInt("Browser", "ExplorerIntegration"), 0u);
  }

 private:
  std::unique_ptr<test::UiWorld> m_world;
};

}  // namespace tulix

QTEST_MAIN(tulix::OptionsSheetTest)
#include "options_sheet_test.moc"
