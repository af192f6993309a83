// The property dialogs of the trees' nodes: "Search Engine Properties", "Search Category
// Properties" and "Search Folder Properties". Each edits the user's own values of one node and,
// on OK, hands them to the node and saves them through the node's own save call, so that they
// survive an update of the definition files.
//
// Thread safety: user-interface thread only. The category dialog takes the category tree's lock
// itself (shared while it reads, exclusive while it writes back), so its caller must not hold it.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QSlider;

namespace tulix {

class CategoryNode;
class EngineDefinition;
class SearchFolder;

// "Family Safe", the "Engine Priority" slider (high priority at the left, that is a low Order),
// the domains the engine is limited to and its keywords (shown only: they belong to the file).
class EnginePropertiesDialog : public QDialog {
  Q_OBJECT
 public:
  EnginePropertiesDialog(QWidget* parent, EngineDefinition& engine);

  QCheckBox* familySafe() const { return m_familySafe; }
  // Its value is the engine's Order.
  QSlider* priority() const { return m_priority; }
  QLineEdit* domains() const { return m_domains; }
  QPlainTextEdit* keywords() const { return m_keywords; }

  // Takes the values over into the engine and saves them; closes when that worked.
  void accept() override;

 private:
  EngineDefinition& m_engine;
  QCheckBox* m_familySafe = nullptr;
  QSlider* m_priority = nullptr;
  QLineEdit* m_domains = nullptr;
  QPlainTextEdit* m_keywords = nullptr;
};

// "Search Engines" and "Results per Engine" sliders, "Show in Family Mode", the domain limit and
// the keywords (shown only).
class CategoryPropertiesDialog : public QDialog {
  Q_OBJECT
 public:
  CategoryPropertiesDialog(QWidget* parent, CategoryNode& category);

  QSlider* engineCount() const { return m_engineCount; }
  QSlider* perEngine() const { return m_perEngine; }
  QCheckBox* familySafe() const { return m_familySafe; }
  QCheckBox* domainLimited() const { return m_domainLimited; }
  QPlainTextEdit* keywords() const { return m_keywords; }

  void accept() override;

 private:
  CategoryNode& m_category;
  QSlider* m_engineCount = nullptr;
  QSlider* m_perEngine = nullptr;
  QCheckBox* m_familySafe = nullptr;
  QCheckBox* m_domainLimited = nullptr;
  QPlainTextEdit* m_keywords = nullptr;
};

// "Family Safe".
class SearchFolderPropertiesDialog : public QDialog {
  Q_OBJECT
 public:
  SearchFolderPropertiesDialog(QWidget* parent, SearchFolder& folder);

  QCheckBox* familySafe() const { return m_familySafe; }

  void accept() override;

 private:
  SearchFolder& m_folder;
  QCheckBox* m_familySafe = nullptr;
};

// Each shows its dialog over `parent` and returns true when the values were taken over and
// saved on OK.
bool EditEngineProperties(QWidget* parent, EngineDefinition& engine);
bool EditCategoryProperties(QWidget* parent, CategoryNode& category);
bool EditSearchFolderProperties(QWidget* parent, SearchFolder& folder);

}  // namespace tulix
