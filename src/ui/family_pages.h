// The family pages of the options sheet, "Family Access Control" and "Family Censor", and the
// word dialog "Family Censor Word Properties". The sheet opens them only through the family
// password while family mode is on (options_sheet.h).
//
// Thread safety: user-interface thread only.
#pragma once

#include <QDialog>

#include <vector>

#include "family/family_dictionary.h"
#include "ui/options_page.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace tulix {

// The family policy, entering and leaving family mode, the family password and the address that
// violations are mailed to (kept enciphered in Behaviour\ScanLog).
class FamilyAccessPage : public OptionsPage {
  Q_OBJECT
 public:
  explicit FamilyAccessPage(QWidget* parent = nullptr);
  bool IsFamilyPage() const override { return true; }
  void Load() override;
  // Stores the address and the policy and saves the settings.
  void Apply() override;

  // Applies the page, then turns family mode on or off and shows the views as the mode says.
  void EnterFamilyMode();
  void ExitFamilyMode();
  // With both fields filled and equal: stores the password's hash and applies the page.
  // Otherwise nothing happens.
  void ChangePassword();

  QComboBox* policy() const { return m_policy; }
  QPushButton* enterButton() const { return m_enter; }
  QPushButton* exitButton() const { return m_exit; }
  QLineEdit* password() const { return m_password; }
  QLineEdit* confirmPassword() const { return m_confirm; }
  QPushButton* changePasswordButton() const { return m_change; }
  QLineEdit* violationAddress() const { return m_address; }

 private:
  void ShowMode();

  QComboBox* m_policy = nullptr;
  QPushButton* m_enter = nullptr;
  QPushButton* m_exit = nullptr;
  QLineEdit* m_password = nullptr;
  QLineEdit* m_confirm = nullptr;
  QPushButton* m_change = nullptr;
  QLineEdit* m_address = nullptr;
};

// The word dialog: the word, whether it matches a complete word only, and its warning level.
class CensorWordDialog : public QDialog {
  Q_OBJECT
 public:
  // Shows `entry`; the censor page gives a new word the level "Low".
  CensorWordDialog(QWidget* parent, const DictionaryEntry& entry);

  // The entry as accepted, the word lower-cased as the dictionary keeps it.
  DictionaryEntry entry() const;

  QLineEdit* word() const { return m_word; }
  QCheckBox* completeWordOnly() const { return m_complete; }
  // Ids kLevelLow .. kLevelBlock.
  QButtonGroup* level() const { return m_level; }

  // Refuses an empty word with "Enter word" (status bar and message box) and stays open.
  void accept() override;

 private:
  QLineEdit* m_word = nullptr;
  QCheckBox* m_complete = nullptr;
  QButtonGroup* m_level = nullptr;
};

// The censor dictionary as a list ("Word", "Matches", "Warning Level"), with "Add Word",
// "Delete Word" and "Word Properties". The page edits its own copy; applying writes the changes
// into App().familyDictionary and saves it to dictionary.bin.
class FamilyCensorPage : public OptionsPage {
  Q_OBJECT
 public:
  explicit FamilyCensorPage(QWidget* parent = nullptr);
  bool IsFamilyPage() const override { return true; }
  void Load() override;
  void Apply() override;

  // Adds `entry`, or replaces the entry of the same word and kind; removes the row `replacing`
  // first when it is a row (an edited word).
  void PutEntry(const DictionaryEntry& entry, int replacing = -1);
  // Removes the selected row.
  void DeleteSelected();
  const std::vector<DictionaryEntry>& entries() const { return m_entries; }

  QTreeWidget* words() const { return m_words; }

 private:
  void AddWord();
  void EditSelected();
  void ShowEntries();

  std::vector<DictionaryEntry> m_entries;
  QTreeWidget* m_words = nullptr;
};

}  // namespace tulix
