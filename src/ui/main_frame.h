// The main window: the quick search bar, the four panes (tasks, results, searches, categories)
// as docks whose layout is kept under "MainFrame", the menus and their commands.
//
// The window is what the core's hooks reach: it shows the job manager's task rows, shows and
// refreshes a search when it is submitted or completes, refills its trees when family mode
// changes, and shows the log's status text and message boxes. Every such call from a worker
// thread is handed to the main thread; widgets are touched there only.
//
// Life: build the window, then start the core, then Attach (which registers the hooks and fills
// the panes); Detach (or closing the window) saves the layout and lets go of every hook before
// the core shuts down.
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>

#include "base/log.h"
#include "family/family_mode.h"
#include "jobs/job_manager.h"
#include "results/saved_search.h"

class QComboBox;
class QDockWidget;
class QLineEdit;
class QPushButton;

namespace tulix {

class CategoryNode;
class EngineDefinition;
class ResultsPane;
class SearchFolder;
class TasksPane;
class TreeNode;
class TreePane;

// The program's icon (the desktop entry's, built into the program).
QIcon ProgramIcon();

// The dialogs the window opens. The program fills them with the real dialogs; a test may put
// in its own. An empty one does nothing.
struct FrameDialogs {
  std::function<bool(QWidget*, SearchSettings&, const QString& title)> editSearch;
  std::function<bool(QWidget*, EngineDefinition&)> engineProperties;
  std::function<bool(QWidget*, CategoryNode&)> categoryProperties;
  std::function<bool(QWidget*, SearchFolder&)> folderProperties;
  std::function<void(QWidget*)> knownSites;
  std::function<void(QWidget*)> options;
  std::function<void(QWidget*)> tipOfTheDay;
  // A message box with an OK button; a question with Yes and No (true for Yes).
  std::function<void(QWidget*, const QString&)> message;
  std::function<bool(QWidget*, const QString&)> question;
};

class CMainFrame : public QMainWindow,
                   public LogUserInterface,
                   public JobObserver,
                   public SearchViewHooks,
                   public FamilyModeHooks {
  Q_OBJECT
 public:
  explicit CMainFrame(FrameDialogs dialogs = {}, QWidget* parent = nullptr);
  ~CMainFrame() override;

  // After the core has started: registers the window's hooks with the core, fills the panes
  // and the category list, restores the saved layout and starts the periodic timer.
  void Attach();
  // Saves the layout and unregisters every hook. Safe to call twice.
  void Detach();

  // The commands.
  void QuickSearch();
  void NewSearch(const std::string& category = {});
  // Builds the search from the settings, reuses a stored one that matches, and submits it.
  SavedSearch* StartSearch(const SearchSettings& settings);
  void DownloadSearchCategories();
  void SaveLayout();
  bool RestoreLayout();

  TasksPane& tasks() const { return *m_tasks; }
  ResultsPane& results() const { return *m_results; }
  TreePane& searches() const { return *m_searches; }
  TreePane& categories() const { return *m_categories; }
  QLineEdit& quickText() const { return *m_quickText; }
  QComboBox& quickCategory() const { return *m_quickCategory; }
  QDockWidget* Dock(const QString& objectName) const;
  FrameDialogs& dialogs() { return m_dialogs; }

  // LogUserInterface (any thread).
  void ShowStatus(const std::string& line) override;
  void ShowMessageBox(const std::string& line) override;
  // JobObserver (main thread).
  void ShowTaskRow(const TaskRow& row) override;
  void RemoveTaskRow(int jobId) override;
  void PruneTaskRows(const std::function<bool(int jobId)>& isListed) override;
  void OnSearchProgress(CJob& job) override;
  // SearchViewHooks (main thread).
  void SearchSubmitted(SavedSearch& search, SubmitOutcome outcome) override;
  void SearchCompleted(SavedSearch& search, bool stored) override;
  void SearchFileDeleted(SavedSearch& search) override;
  bool EditSearchProperties(SearchSettings& copy) override;
  // FamilyModeHooks (main thread).
  void ClearStatusAndTasks() override;
  void RefillViews() override;

  // Fills the quick search bar's category list with the categories visible now.
  void FillCategoryList();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildMenus();
  void BuildQuickSearchBar();
  QDockWidget* AddPane(QWidget* pane, const QString& title, const QString& objectName,
                       const QString& statusTip, Qt::DockWidgetArea area);
  void ShowSearchesMenu(TreeNode* node, const QPoint& at);
  void ShowCategoriesMenu(TreeNode* node, const QPoint& at);
  void ShowNode(TreeNode* node);
  void CopyToClipboard();
  void PasteFromClipboard();
  void ShowAbout();
  void ShowHelpTopics();

  FrameDialogs m_dialogs;
  TasksPane* m_tasks;
  ResultsPane* m_results;
  TreePane* m_searches;
  TreePane* m_categories;
  QLineEdit* m_quickText = nullptr;
  QComboBox* m_quickCategory = nullptr;
  QPushButton* m_go = nullptr;
  bool m_attached = false;
  bool m_defaultSizesPending = false;
};

}  // namespace tulix
