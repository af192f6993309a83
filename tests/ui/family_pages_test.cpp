// The family password dialog and the family pages of the options sheet against a real core:
// the pages open only through the password in family mode, three wrong passwords raise the
// violation alert, and what the pages apply is stored.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QObject>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "base/setting_cipher.h"
#include "base/settings.h"
#include "family/family_dictionary.h"
#include "family/family_mode.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "ui/dialog_test_support.h"
#include "ui/family_pages.h"
#include "ui/options_sheet.h"
#include "ui/password_dialog.h"
#include "ui/ui_test_support.h"

namespace tulix {
namespace {

class RecordedAlerts : public AlertSender {
 public:
  void SendAlert(const std::string& subject, const std::string& body) override {
    std::lock_guard lock(m_lock);
    alerts.emplace_back(subject, body);
  }
  std::vector<std::pair<std::string, std::string>> alerts;

 private:
  std::mutex m_lock;
};

// Answers each password dialog with the next entry (nullopt: Cancel) and notes its title.
class PasswordAnswers {
 public:
  explicit PasswordAnswers(std::deque<std::optional<QString>> answers)
      : m_answers(std::move(answers)), m_answerer([this](PasswordDialog& dialog) {
          titles.push_back(dialog.windowTitle());
          echo.push_back(dialog.password()->echoMode());
          if (m_answers.empty() || !m_answers.front()) {
            dialog.reject();
          } else {
            dialog.password()->setText(*m_answers.front());
            dialog.accept();
          }
          if (!m_answers.empty()) {
            m_answers.pop_front();
          }
        }) {}
  int asked() const { return m_answerer.answered; }
  std::vector<QString> titles;
  std::vector<QLineEdit::EchoMode> echo;

 private:
  std::deque<std::optional<QString>> m_answers;
  test::ModalAnswerer<PasswordDialog> m_answerer;
};

void SetFamilyPassword(const char* password) {
  App().settings().ScanKey = static_cast<int32_t>(FamilyPasswordHash(password));
}

std::string Stored(const char* value) {
  return App().registry().GetString(std::string(kRegistryRoot) + "\\Behaviour", value, "<none>");
}

}  // namespace

class FamilyPagesTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    m_world = std::make_unique<test::UiWorld>();
    m_world->Start();
    SetAlertSender(&m_alerts);
    m_alerts.alerts.clear();
  }
  void cleanup() {
    SetAlertSender(nullptr);
    m_world.reset();
  }

  void threeWrongPasswordsEnterFamilyModeAndRaiseTheAlert() {
    test::ShownMessages shown;
    SetFamilyPassword("secret");
    QtPasswordPrompt prompt(nullptr);
    PasswordAnswers answers({QStringLiteral("a"), QStringLiteral("Secret"), QStringLiteral("")});
    QVERIFY(!RunPasswordDialog(prompt));
    QCOMPARE(answers.asked(), 3);
    QCOMPARE(answers.titles.front(), QStringLiteral("Enter Password For full access"));
    QCOMPARE(answers.echo.front(), QLineEdit::Password);
    QVERIFY(IsFamilyModeOn());
    QCOMPARE(shown.Count("Incorrect password"), 3);
    QCOMPARE(shown.Count("Too many password attempts entering family mode"), 1);
    QCOMPARE(m_alerts.alerts.size(), size_t{1});
    QCOMPARE(m_alerts.alerts[0].first, std::string("Family Access Violation"));
    QVERIFY(m_alerts.alerts[0].second.find("Too many password attempts entering family mode") !=
            std::string::npos);
  }

  void theRightPasswordOrCancelEndsTheDialog() {
    SetFamilyPassword("secret");
    SetFamilyMode(true);
    QtPasswordPrompt prompt(nullptr);
    {
      PasswordAnswers answers({QStringLiteral("wrong"), QStringLiteral("secret")});
      QVERIFY(RunPasswordDialog(prompt));
      QCOMPARE(answers.asked(), 2);
      QVERIFY(!IsFamilyModeOn());
    }
    {
      PasswordAnswers answers({std::nullopt});
      QVERIFY(!RunPasswordDialog(prompt));
      QVERIFY(IsFamilyModeOn());
    }
    // With no password set, an empty entry gives full access.
    App().settings().ScanKey = 0;
    PasswordAnswers answers({QStringLiteral("")});
    QVERIFY(RunPasswordDialog(prompt));
    QVERIFY(!IsFamilyModeOn());
    QVERIFY(m_alerts.alerts.empty());
  }

  void familyPagesOpenOnlyWithThePasswordInFamilyMode() {
    SetFamilyPassword("secret");
    SetFamilyMode(true);
    QtPasswordPrompt prompt(nullptr);
    OptionsSheet sheet(nullptr, {{}, &prompt});
    const int censor = sheet.PageIndex(sheet.censorPage());
    const int access = sheet.PageIndex(sheet.accessPage());
    {
      PasswordAnswers answers({std::nullopt});
      sheet.tabs()->setCurrentIndex(censor);  // the user clicks the tab
      QCOMPARE(answers.asked(), 1);
      QCOMPARE(sheet.tabs()->currentIndex(), 0);
      QCOMPARE(sheet.currentPage(), 0);
    }
    {
      PasswordAnswers answers({QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z")});
      QVERIFY(!sheet.ShowPage(access));
      QCOMPARE(m_alerts.alerts.size(), size_t{1});
    }
    {
      PasswordAnswers answers({QStringLiteral("secret")});
      QVERIFY(sheet.ShowPage(access));
      // The holder edits the settings without leaving family mode.
      QVERIFY(IsFamilyModeOn());
      QVERIFY(sheet.ShowPage(censor));
      QCOMPARE(answers.asked(), 1);  // asked once per showing of the sheet
    }
    // A sheet without a way to ask keeps the family pages closed in family mode.
    OptionsSheet without(nullptr, {});
    QVERIFY(!without.ShowPage(censor));
    SetFamilyMode(false);
    QVERIFY(without.ShowPage(censor));
  }

  void accessControlStoresPolicyAddressAndPassword() {
    App().settings().MaxScan = kPolicyPasswordOnStartup;
    App().settings().ScanLog = EncipherSetting("holder@example");
    OptionsSheet sheet(nullptr, {});
    QVERIFY(sheet.ShowPage(sheet.PageIndex(sheet.accessPage())));
    FamilyAccessPage* page = sheet.accessPage();
    QCOMPARE(page->policy()->currentText(),
             QStringLiteral("Password control on Quendral startup"));
    QCOMPARE(page->violationAddress()->text(), QStringLiteral("holder@example"));

    page->policy()->setCurrentIndex(2);
    page->violationAddress()->setText(QStringLiteral("other@example"));
    QVERIFY(sheet.Apply());
    QCOMPARE(App().settings().MaxScan, kPolicyFamilyOnStartup);
    QCOMPARE(Stored("ScanLog"), App().settings().ScanLog);
    QVERIFY(Stored("ScanLog") != "other@example");
    QCOMPARE(DecipherSetting(Stored("ScanLog")), std::string("other@example"));
    page->violationAddress()->clear();
    page->Apply();
    QCOMPARE(Stored("ScanLog"), std::string());

    const uint32_t before = static_cast<uint32_t>(App().settings().ScanKey);
    page->password()->setText(QStringLiteral("new one"));
    page->confirmPassword()->setText(QStringLiteral("new on"));
    page->changePasswordButton()->click();
    QCOMPARE(static_cast<uint32_t>(App().settings().ScanKey), before);
    page->confirmPassword()->setText(QStringLiteral("new one"));
    page->changePasswordButton()->click();
    QCOMPARE(static_cast<uint32_t>(App().settings().ScanKey), FamilyPasswordHash("new one"));
    QCOMPARE(App().registry().GetDword(std::string(kRegistryRoot) + "\\Behaviour", "ScanKey", 0),
             FamilyPasswordHash("new one"));
    QVERIFY(page->password()->text().isEmpty());
  }

  void accessControlEntersAndLeavesFamilyMode() {
    OptionsSheet sheet(nullptr, {});
    QVERIFY(sheet.ShowPage(sheet.PageIndex(sheet.accessPage())));
    FamilyAccessPage* page = sheet.accessPage();
    QVERIFY(page->enterButton()->isEnabled());
    QVERIFY(!page->exitButton()->isEnabled());
    page->policy()->setCurrentIndex(1);
    page->enterButton()->click();
    QVERIFY(IsFamilyModeOn());
    QCOMPARE(App().settings().MaxScan, kPolicyPasswordOnStartup);  // the page was applied
    QVERIFY(!page->enterButton()->isEnabled());
    QVERIFY(page->exitButton()->isEnabled());
    page->exitButton()->click();
    QVERIFY(!IsFamilyModeOn());
    QVERIFY(page->enterButton()->isEnabled());
  }

  void censorWordsAreEditedOnThePageAndSavedOnApply() {
    FamilyDictionary& dictionary = *App().familyDictionary;
    dictionary.AddWord("casino", kPartialEntry, kLevelBlock);
    OptionsSheet sheet(nullptr, {});
    QVERIFY(sheet.ShowPage(sheet.PageIndex(sheet.censorPage())));
    FamilyCensorPage* page = sheet.censorPage();
    QTreeWidgetItem* row = page->words()->topLevelItem(0);
    QCOMPARE(page->words()->topLevelItemCount(), 1);
    QCOMPARE(row->text(0), QStringLiteral("casino"));
    QCOMPARE(row->text(1), QStringLiteral("partial"));
    QCOMPARE(row->text(2), QStringLiteral("Block"));

    page->PutEntry({"him", kFullWordEntry, kLevelMedium});
    page->PutEntry({"gamble", kPartialEntry, kLevelLow});
    page->PutEntry({"casino", kFullWordEntry, kLevelHigh}, 0);  // casino edited
    page->PutEntry({"him", kFullWordEntry, kLevelHigh});        // same word and kind again
    page->words()->setCurrentItem(page->words()->findItems("gamble", Qt::MatchExactly)[0]);
    page->DeleteSelected();
    const std::vector<DictionaryEntry> wanted = {{"him", kFullWordEntry, kLevelHigh},
                                                 {"casino", kFullWordEntry, kLevelHigh}};
    QCOMPARE(page->entries(), wanted);
    // Nothing reaches the dictionary before the page is applied.
    QCOMPARE(dictionary.Entries(),
             (std::vector<DictionaryEntry>{{"casino", kPartialEntry, kLevelBlock}}));

    QVERIFY(sheet.Apply());
    auto sorted = [](std::vector<DictionaryEntry> entries) {
      std::sort(entries.begin(), entries.end(),
                [](const auto& a, const auto& b) { return a.word < b.word; });
      return entries;
    };
    QCOMPARE(sorted(dictionary.Entries()), sorted(wanted));
    FamilyDictionary reread;
    QVERIFY(reread.LoadDictionary(JoinPath(GetProgramFolder(), "dictionary.bin")));
    QCOMPARE(sorted(reread.Entries()), sorted(wanted));
  }

  void theWordDialogRefusesAnEmptyWord() {
    test::ShownMessages shown;
    CensorWordDialog dialog(nullptr, {std::string(), kFullWordEntry, kLevelLow});
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Family Censor Word Properties"));
    QCOMPARE(dialog.level()->checkedId(), kLevelLow);
    QVERIFY(dialog.completeWordOnly()->isChecked());
    dialog.show();
    dialog.accept();
    QVERIFY(dialog.isVisible());
    QCOMPARE(shown.Count("Enter word"), 1);

    dialog.word()->setText(QStringLiteral(" Casino "));
    dialog.completeWordOnly()->setChecked(false);
    dialog.level()->button(kLevelBlock)->click();
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.entry(), (DictionaryEntry{"casino", kPartialEntry, kLevelBlock}));
  }

 private:
  RecordedAlerts m_alerts;
  std::unique_ptr<test::UiWorld> m_world;
};

}  // namespace tulix

QTEST_MAIN(tulix::FamilyPagesTest)
#include "family_pages_test.moc"
