#include "ui/family_pages.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "base/application.h"
#include "base/log.h"
#include "base/setting_cipher.h"
#include "base/settings.h"
#include "family/family_mode.h"
#include "platform/paths.h"
#include "ui/core_text.h"

namespace tulix {
namespace {

constexpr int kWordColumnWidth = 190;
constexpr int kMatchesColumnWidth = 70;
constexpr int kLevelColumnWidth = 50;

// The dictionary lower-cases A to Z only; the page keeps words the same way so that it finds
// the entry the dictionary will hold.
std::string LowerAscii(std::string word) {
  for (char& c : word) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return word;
}

QPushButton* Button(const char* text, const char* objectName) {
  auto* button = new QPushButton(QString::fromLatin1(text));
  button->setObjectName(QString::fromLatin1(objectName));
  return button;
}

}  // namespace

FamilyAccessPage::FamilyAccessPage(QWidget* parent) : OptionsPage(parent) {
  auto* form = new QFormLayout(this);
  m_policy = new QComboBox;
  m_policy->setObjectName(QStringLiteral("policy"));
  for (int position = 0; position < 3; ++position) {
    m_policy->addItem(QString::fromLatin1(FamilyPolicyListText(position)));
  }
  form->addRow(QStringLiteral("Family policy"), m_policy);

  m_enter = Button("Enter Family Mode", "enterFamilyMode");
  m_exit = Button("Exit Family Mode", "exitFamilyMode");
  auto* modeRow = new QHBoxLayout;
  modeRow->addWidget(m_enter);
  modeRow->addWidget(m_exit);
  form->addRow(modeRow);

  m_password = new QLineEdit;
  m_password->setObjectName(QStringLiteral("password"));
  m_password->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("Password"), m_password);
  m_confirm = new QLineEdit;
  m_confirm->setObjectName(QStringLiteral("confirmPassword"));
  m_confirm->setEchoMode(QLineEdit::Password);
  form->addRow(QStringLiteral("Confirm Password"), m_confirm);
  m_change = Button("Change Password", "changePassword");
  form->addRow(m_change);

  m_address = new QLineEdit;
  m_address->setObjectName(QStringLiteral("violationAddress"));
  form->addRow(QStringLiteral("Email for violation logging"), m_address);

  connect(m_enter, &QPushButton::clicked, this, [this] { EnterFamilyMode(); });
  connect(m_exit, &QPushButton::clicked, this, [this] { ExitFamilyMode(); });
  connect(m_change, &QPushButton::clicked, this, [this] { ChangePassword(); });
}

void FamilyAccessPage::Load() {
  const AppSettings& s = App().settings();
  m_policy->setCurrentIndex(PolicyListPosition(s.MaxScan));
  m_address->setText(FromCoreText(DecipherSetting(s.ScanLog)));
  ShowMode();
}

void FamilyAccessPage::ShowMode() {
  const bool on = IsFamilyModeOn();
  m_enter->setEnabled(!on);
  m_exit->setEnabled(on);
}

void FamilyAccessPage::Apply() {
  AppSettings& s = App().settings();
  const std::string address = ToCoreText(m_address->text().trimmed());
  s.ScanLog = address.empty() ? std::string() : EncipherSetting(address);
  s.MaxScan = PolicyOfListPosition(m_policy->currentIndex());
  SaveSettings();
}

void FamilyAccessPage::EnterFamilyMode() {
  Apply();
  // Entering goes the whole way the menu command goes: jobs that are not family-safe stop too,
  // not only the views.
  ::tulix::EnterFamilyMode();
  ShowMode();
}

void FamilyAccessPage::ExitFamilyMode() {
  Apply();
  SetFamilyMode(false);
  ApplyFamilyMode();
  Load();
}

void FamilyAccessPage::ChangePassword() {
  const QString password = m_password->text();
  if (password.isEmpty() || m_confirm->text().isEmpty() || password != m_confirm->text()) {
    return;
  }
  App().settings().ScanKey = static_cast<int32_t>(FamilyPasswordHash(ToCoreText(password)));
  m_password->clear();
  m_confirm->clear();
  Apply();
}

CensorWordDialog::CensorWordDialog(QWidget* parent, const DictionaryEntry& entry)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Family Censor Word Properties"));
  auto* form = new QFormLayout;
  m_word = new QLineEdit(FromCoreText(entry.word));
  m_word->setObjectName(QStringLiteral("word"));
  form->addRow(QStringLiteral("Word"), m_word);
  m_complete = new QCheckBox(QStringLiteral("Matches a complete word only"));
  m_complete->setObjectName(QStringLiteral("completeWordOnly"));
  m_complete->setChecked(entry.kind == kFullWordEntry);
  form->addRow(m_complete);
  m_level = new QButtonGroup(this);
  auto* levels = new QHBoxLayout;
  for (int level = kLevelLow; level <= kLevelBlock; ++level) {
    auto* button = new QRadioButton(QString::fromLatin1(WarningLevelText(level)));
    m_level->addButton(button, level);
    levels->addWidget(button);
  }
  QAbstractButton* chosen = m_level->button(entry.level);
  (chosen != nullptr ? chosen : m_level->button(kLevelLow))->setChecked(true);
  form->addRow(QStringLiteral("Warning Level"), levels);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &CensorWordDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CensorWordDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

DictionaryEntry CensorWordDialog::entry() const {
  return {LowerAscii(ToCoreText(m_word->text().trimmed())),
          m_complete->isChecked() ? kFullWordEntry : kPartialEntry, m_level->checkedId()};
}

void CensorWordDialog::accept() {
  if (m_word->text().trimmed().isEmpty()) {
    LogMessage(kLogStatusBar | kLogMessageBox, kLogError, "Enter word");
    m_word->setFocus();
    return;
  }
  QDialog::accept();
}

FamilyCensorPage::FamilyCensorPage(QWidget* parent) : OptionsPage(parent) {
  m_words = new QTreeWidget;
  m_words->setObjectName(QStringLiteral("words"));
  m_words->setRootIsDecorated(false);
  m_words->setSelectionMode(QAbstractItemView::SingleSelection);
  m_words->setHeaderLabels(
      {QStringLiteral("Word"), QStringLiteral("Matches"), QStringLiteral("Warning Level")});
  m_words->header()->resizeSection(0, kWordColumnWidth);
  m_words->header()->resizeSection(1, kMatchesColumnWidth);
  m_words->header()->resizeSection(2, kLevelColumnWidth);

  auto* add = Button("Add Word", "addWord");
  auto* remove = Button("Delete Word", "deleteWord");
  auto* properties = Button("Word Properties", "wordProperties");
  connect(add, &QPushButton::clicked, this, [this] { AddWord(); });
  connect(remove, &QPushButton::clicked, this, [this] { DeleteSelected(); });
  connect(properties, &QPushButton::clicked, this, [this] { EditSelected(); });
  connect(m_words, &QTreeWidget::itemDoubleClicked, this, [this] { EditSelected(); });
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(add);
  buttons->addWidget(remove);
  buttons->addWidget(properties);
  buttons->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(m_words, 1);
  layout->addLayout(buttons);
}

void FamilyCensorPage::Load() {
  m_entries.clear();
  if (App().familyDictionary != nullptr) {
    m_entries = App().familyDictionary->Entries();
  }
  ShowEntries();
}

void FamilyCensorPage::ShowEntries() {
  m_words->clear();
  for (const DictionaryEntry& entry : m_entries) {
    new QTreeWidgetItem(m_words, {FromCoreText(entry.word),
                                  QString::fromLatin1(EntryKindText(entry.kind)),
                                  QString::fromLatin1(WarningLevelText(entry.level))});
  }
}

void FamilyCensorPage::PutEntry(const DictionaryEntry& entry, int replacing) {
  if (replacing >= 0 && replacing < static_cast<int>(m_entries.size())) {
    m_entries.erase(m_entries.begin() + replacing);
  }
  auto same = std::find_if(m_entries.begin(), m_entries.end(), [&](const DictionaryEntry& e) {
    return e.word == entry.word && e.kind == entry.kind;
  });
  if (same != m_entries.end()) {
    same->level = entry.level;
  } else {
    m_entries.push_back(entry);
  }
  ShowEntries();
}

void FamilyCensorPage::DeleteSelected() {
  const int row = m_words->indexOfTopLevelItem(m_words->currentItem());
  if (row < 0) {
    return;
  }
  m_entries.erase(m_entries.begin() + row);
  ShowEntries();
}

void FamilyCensorPage::AddWord() {
  CensorWordDialog dialog(this, {std::string(), kFullWordEntry, kLevelLow});
  if (dialog.exec() == QDialog::Accepted) {
    PutEntry(dialog.entry());
  }
}

void FamilyCensorPage::EditSelected() {
  const int row = m_words->indexOfTopLevelItem(m_words->currentItem());
  if (row < 0) {
    return;
  }
  CensorWordDialog dialog(this, m_entries[static_cast<size_t>(row)]);
  if (dialog.exec() == QDialog::Accepted) {
    PutEntry(dialog.entry(), row);
  }
}

void FamilyCensorPage::Apply() {
  FamilyDictionary* dictionary = App().familyDictionary.get();
  if (dictionary == nullptr) {
    return;
  }
  // Changes only, never empty-then-refill: results are checked against the dictionary while
  // the page applies, and a moment with an empty dictionary would let blocked texts through.
  for (const DictionaryEntry& old : dictionary->Entries()) {
    const bool kept = std::any_of(m_entries.begin(), m_entries.end(), [&](const auto& e) {
      return e.word == old.word && e.kind == old.kind;
    });
    if (!kept) {
      dictionary->RemoveWord(old.word, old.kind);
    }
  }
  for (const DictionaryEntry& entry : m_entries) {
    dictionary->AddWord(entry.word, entry.kind, entry.level);
  }
  dictionary->SaveDictionary(JoinPath(GetProgramFolder(), "dictionary.bin"));
}

}  // namespace tulix
