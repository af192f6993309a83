// The new-search sheet: its "General" page edits a search's settings (the search words and how
// they are matched, the category, how many engines to ask and how many results from each, and
// the shopping policy). The main window opens it for a new search and for "Modify Search".
//
// The category chooser offers the categories visible now: in family mode only those that may be
// used in it. The engine slider runs from 1 to the number of engines the chosen category may ask.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "results/saved_search.h"

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tulix {

class SearchSheet : public QDialog {
  Q_OBJECT
 public:
  // Fills the page from `settings`; nothing is changed until Apply.
  SearchSheet(QWidget* parent, const SearchSettings& settings, const QString& title);

  // The settings as accepted: the ones given, with the page copied in by accept().
  const SearchSettings& edited() const { return m_edited; }

  QLineEdit* searchText() const { return m_text; }
  // Ids kSearchAllWords, kSearchAnyWords, kSearchExactPhrase.
  QButtonGroup* searchType() const { return m_type; }
  QComboBox* category() const { return m_category; }
  QSlider* engineCount() const { return m_engines; }
  QSlider* perEngine() const { return m_perEngine; }
  QSlider* shopping() const { return m_shopping; }
  QLabel* shoppingPolicy() const { return m_policy; }

  // Copies the page into edited() and closes; refuses an empty search text with "No Search
  // text entered" and stays open with the focus on the text.
  void accept() override;

 private:
  struct Choice {
    std::string name;
    QString shown;
    int engines = 1;  // engines the category may ask now
    int engineCount = 1;
    int perEngine = 50;
  };
  void FillCategories(const std::string& current);
  const Choice* ChosenCategory() const;
  void CategoryChosen();
  void ShowPolicy();

  std::vector<Choice> m_choices;

  SearchSettings m_edited;
  QLineEdit* m_text = nullptr;
  QButtonGroup* m_type = nullptr;
  QComboBox* m_category = nullptr;
  QSlider* m_engines = nullptr;
  QLabel* m_enginesValue = nullptr;
  QSlider* m_perEngine = nullptr;
  QLabel* m_perEngineValue = nullptr;
  QSlider* m_shopping = nullptr;
  QLabel* m_policy = nullptr;
};

// Shows the sheet over `parent`; on OK copies it into `settings` and returns true.
bool EditSearchSettings(QWidget* parent, SearchSettings& settings, const QString& title);

}  // namespace tulix
