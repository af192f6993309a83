// The main window driven as a user drives it, on a real core with real files, against the demo
// engines on loopback: searches from the quick search bar, the tasks and results panes, the
// result commands, the tree commands of the searches pane, the saved layout and family mode.
#include <QComboBox>
#include <QDockWidget>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <memory>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/search_folder.h"
#include "definitions/tree.h"
#include "family/family_mode.h"
#include "platform/paths.h"
#include "platform/shell.h"
#include "recording_shell.h"
#include "results/result_sort.h"
#include "results/saved_search.h"
#include "results/search_result.h"
#include "ui/main_frame.h"
#include "ui/results_pane.h"
#include "ui/tasks_pane.h"
#include "ui/tree_pane.h"
#include "ui/ui_test_support.h"

namespace tulix {

namespace fs = std::filesystem;

class MainFrameTest : public QObject {
  Q_OBJECT

  std::unique_ptr<test::DemoEngines> m_engines;
  std::unique_ptr<test::UiWorld> m_world;
  std::unique_ptr<CMainFrame> m_frame;
  QStringList m_messages;
  QStringList m_questions;
  bool m_answerYes = false;

  void StartWorld() {
    m_world = std::make_unique<test::UiWorld>();
    m_engines->InstallInto(m_world->home());
    FrameDialogs dialogs;
    dialogs.message = [this](QWidget*, const QString& text) { m_messages << text; };
    dialogs.question = [this](QWidget*, const QString& text) {
      m_questions << text;
      return m_answerYes;
    };
    m_frame = std::make_unique<CMainFrame>(dialogs);
    m_world->Start([](StartupOptions& options) {
      // Jobs start at once and together, so a test does not wait for the ticks of a person.
      options.jobs.manager.firstTickMs = 10;
      options.jobs.manager.tickMs = 20;
      options.jobs.manager.startAllDue = true;
      options.jobs.dispatcherPause = std::chrono::milliseconds(0);
    });
    App().settings().MaxTasks = 5;
    m_frame->Attach();
    m_frame->show();
  }

  void StopWorld() {
    if (m_frame) {
      m_frame->Detach();
      m_frame.reset();
    }
    m_world.reset();
    m_messages.clear();
    m_questions.clear();
  }

  // Runs a quick search for `words` on the web category and waits until it has finished.
  SavedSearch* RunSearch(const QString& words) {
    m_frame->quickText().setText(words);
    m_frame->quickCategory().setCurrentText(QStringLiteral("web"));
    int mostRows = 0;
    QTest::mouseClick(m_frame->findChild<QWidget*>(QStringLiteral("QuickSearchGo")), Qt::LeftButton);
    SavedSearch* search = m_frame->results().Shown();
    if (search == nullptr) {
      return nullptr;
    }
    const bool done = test::WaitUntil([&] {
      mostRows = std::max(mostRows, m_frame->tasks().RowCount());
      return search->runningJobs == 0 && App().jobManager->JobCount() == 0 &&
             m_frame->tasks().RowCount() == 0;
    }, 60000);
    if (!done || mostRows == 0) {
      qWarning("search did not finish, or the tasks pane never showed a row (%d)", mostRows);
      return nullptr;
    }
    m_frame->results().RefreshNow();
    return search;
  }

  // The value of each shown row for `key`, read from the results themselves.
  std::vector<int64_t> ShownValues(SavedSearch& search, int key) {
    std::vector<int64_t> values;
    std::lock_guard lock(App().resultsLock);
    ResultsModel& model = m_frame->results().model();
    for (int row = 0; row < model.rowCount(); ++row) {
      values.push_back(search.current().FindFirst(model.RowAt(row).href)->SortValue(key));
    }
    return values;
  }

 private slots:
  void initTestCase() { m_engines = std::make_unique<test::DemoEngines>(); }
  void cleanup() { StopWorld(); }

  void anEmptyQuickSearchIsRefused() {
    StartWorld();
    m_frame->quickText().setText(QStringLiteral("   "));
    m_frame->QuickSearch();
    QCOMPARE(m_messages, QStringList{QStringLiteral("No search text entered")});
    QVERIFY(Tree::Collect(App().searchTree->root(), true, false).empty());
  }

  void aSearchFillsThePanesAndSortsByEveryKey() {
    StartWorld();
    QCOMPARE(m_frame->windowTitle(), QStringLiteral("Tulix"));
    QVERIFY(!m_frame->windowIcon().pixmap(32, 32).isNull());  // the built-in SVG, drawn
    SavedSearch* search = RunSearch(QStringLiteral("text editor"));
    QVERIFY(search != nullptr);
    ResultsModel& model = m_frame->results().model();
    QVERIFY(model.rowCount() > 10);
    {
      std::lock_guard lock(App().resultsLock);
      QCOMPARE(static_cast<size_t>(model.rowCount()), search->current().size());
    }
    QVERIFY(m_frame->searches().ItemOf(search) != nullptr);

    for (const SortCommand& command : kSortCommands) {
      m_frame->results().SortBy(command.key);
      QCOMPARE(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
               QString::fromStdString(SortHeadingText(command.key)));
      const std::vector<int64_t> values = ShownValues(*search, command.key);
      QVERIFY2(std::is_sorted(values.rbegin(), values.rend()), command.text);
    }
    // Ascending keys too.
    m_frame->results().SortBy(-kSortByRank);
    const std::vector<int64_t> ascending = ShownValues(*search, kSortByRank);
    QVERIFY(std::is_sorted(ascending.begin(), ascending.end()));

    // The same words again reuse the stored search rather than making a second one.
    QCOMPARE(RunSearch(QStringLiteral("text editor")), search);
    QCOMPARE(Tree::Collect(App().searchTree->root(), true, false).size(), size_t{1});
  }

  void marksDeletionAndOpeningActOnTheSelectedResult() {
    StartWorld();
    auto shell = std::make_shared<test::RecordingShell>();
    shell->answer.code = 42;
    shell->answer.command = {"/usr/bin/true"};
    SetShellLauncher(shell);
    SavedSearch* search = RunSearch(QStringLiteral("text editor"));
    QVERIFY(search != nullptr);
    ResultsPane& pane = m_frame->results();
    pane.SortBy(kSortByCombined);
    const int last = pane.model().rowCount() - 1;
    QVERIFY(last > 2);
    const std::string bottom = pane.model().RowAt(last).href;
    const std::string top = pane.model().RowAt(0).href;

    // A relevant mark lifts the last result to the top once the list is sorted again.
    pane.SelectHref(bottom);
    pane.MarkSelected(kMarkRelevant);
    QCOMPARE(pane.model().RowAt(last).href, bottom);  // not moved until the next sort
    pane.SortBy(kSortByCombined);
    QCOMPARE(pane.model().RowAt(0).href, bottom);
    // An irrelevant mark sends the former top one to the bottom.
    pane.SelectHref(top);
    pane.MarkSelected(kMarkIrrelevant);
    pane.SortBy(kSortByCombined);
    QCOMPARE(pane.model().RowAt(pane.model().rowCount() - 1).href, top);

    // Deleting takes the result out of the list and out of the file.
    const int before = pane.model().rowCount();
    pane.SelectHref(bottom);
    pane.DeleteSelected();
    QCOMPARE(pane.model().rowCount(), before - 1);
    QCOMPARE(pane.model().RowOf(bottom), -1);
    {
      SavedSearch reloaded;
      reloaded.SetFilePath(search->ResultsFile());
      reloaded.LoadSettings();
      std::lock_guard lock(App().resultsLock);
      reloaded.LoadResults();
      QVERIFY(reloaded.current().FindFirst(bottom) == nullptr);
      QVERIFY(reloaded.current().FindFirst(top) != nullptr);
      QCOMPARE(reloaded.current().FindFirst(top)->score.mark, kMarkIrrelevant);
    }

    // Opening goes to the browser with the result's address.
    pane.SelectHref(top);
    pane.OpenSelected();
    QVERIFY(test::WaitUntil([&] { return !shell->started.empty() || !shell->opened.empty(); }));
    SetShellLauncher(nullptr);
  }

  void newFoldersAreNumberedAndDeletingAFullOneAsksFirst() {
    StartWorld();
    SavedSearch* search = RunSearch(QStringLiteral("window manager"));
    QVERIFY(search != nullptr);
    TreePane& pane = m_frame->searches();
    pane.SelectNode(nullptr);
    pane.setCurrentItem(nullptr);
    TreeNode* first = pane.NewFolder();
    pane.setCurrentItem(nullptr);
    TreeNode* second = pane.NewFolder();
    QVERIFY(first != nullptr && second != nullptr);
    QCOMPARE(first->name, std::string("New Folder"));
    QCOMPARE(second->name, std::string("New Folder1"));
    QVERIFY(fs::is_directory(ToFileSystemPath(App().searchTree->FolderPath(second))));

    // Dropping the search on a folder moves it, file and all, into that folder.
    const std::string oldFile = ToFileSystemPath(search->ResultsFile());
    pane.SelectNode(search);
    QTreeWidgetItem* folderItem = pane.ItemOf(first);
    pane.scrollToItem(folderItem);
    QVERIFY(test::WaitUntil([&] { return pane.visualItemRect(folderItem).isValid(); }));
    QCOMPARE(pane.itemAt(pane.visualItemRect(folderItem).center()), folderItem);
    QVERIFY(pane.DropSelectedAt(pane.visualItemRect(folderItem).center()));
    QCOMPARE(GetParent(search), first);
    QVERIFY(!fs::exists(oldFile));
    QVERIFY(fs::exists(ToFileSystemPath(search->ResultsFile())));
    QCOMPARE(pane.SelectedNode(), static_cast<TreeNode*>(search));

    // A folder with a search in it: No keeps it, Yes deletes it with its files.
    pane.SelectNode(first);
    m_answerYes = false;
    QVERIFY(!pane.DeleteSelected());
    QCOMPARE(m_questions, QStringList{QStringLiteral("Folder is not empty, Do you really want to delete?")});
    QVERIFY(pane.ItemOf(first) != nullptr);
    const std::string folderDir = ToFileSystemPath(App().searchTree->FolderPath(first));
    m_answerYes = true;
    QVERIFY(pane.DeleteSelected());
    QVERIFY(!fs::exists(folderDir));
    QVERIFY(m_frame->results().Shown() == nullptr);
    // An empty folder goes without a question.
    m_questions.clear();
    pane.SelectNode(second);
    QVERIFY(pane.DeleteSelected());
    QVERIFY(m_questions.isEmpty());
  }

  void foldersRenameButSearchesRefuse() {
    StartWorld();
    SavedSearch* search = RunSearch(QStringLiteral("mail client"));
    QVERIFY(search != nullptr);
    TreePane& pane = m_frame->searches();
    pane.setCurrentItem(nullptr);
    TreeNode* folder = pane.NewFolder();
    QVERIFY(folder != nullptr);
    pane.ItemOf(folder)->setText(0, QStringLiteral("Editors"));
    QCOMPARE(folder->name, std::string("Editors"));
    QVERIFY(fs::is_directory(ToFileSystemPath(App().searchTree->FolderPath(folder))));
    QCOMPARE(pane.ItemOf(folder)->text(0), QStringLiteral("Editors"));

    const std::string name = search->name;
    pane.ItemOf(search)->setText(0, QStringLiteral("renamed"));
    QCOMPARE(search->name, name);
    QCOMPARE(pane.ItemOf(search)->text(0), QString::fromStdString(search->Title()));
  }

  void theBarLayoutComesBackAfterARestart() {
    StartWorld();
    m_frame->Dock(QStringLiteral("TasksBar"))->hide();
    m_frame->removeDockWidget(m_frame->Dock(QStringLiteral("CategoriesBar")));
    m_frame->addDockWidget(Qt::RightDockWidgetArea, m_frame->Dock(QStringLiteral("CategoriesBar")));
    m_frame->Dock(QStringLiteral("CategoriesBar"))->show();
    m_frame->close();  // saves the layout
    m_frame.reset();

    m_frame = std::make_unique<CMainFrame>();
    QVERIFY(m_frame->Dock(QStringLiteral("TasksBar"))->isVisibleTo(m_frame.get()));
    m_frame->Attach();
    m_frame->show();
    QVERIFY(!m_frame->Dock(QStringLiteral("TasksBar"))->isVisible());
    QCOMPARE(m_frame->dockWidgetArea(m_frame->Dock(QStringLiteral("CategoriesBar"))),
             Qt::RightDockWidgetArea);
  }

  void familyModeHidesWhatIsNotFamilySafe() {
    StartWorld();
    SavedSearch* search = RunSearch(QStringLiteral("photo viewer"));
    QVERIFY(search != nullptr);
    TreePane& pane = m_frame->searches();
    pane.setCurrentItem(nullptr);
    auto* folder = dynamic_cast<SearchFolder*>(pane.NewFolder());
    QVERIFY(folder != nullptr);
    folder->familySafe = 0;
    QVERIFY(folder->Save());
    QVERIFY(pane.MoveNode(search, folder));
    m_frame->results().Show(search);
    const int categoriesBefore = m_frame->quickCategory().count();

    QVERIFY(EnterFamilyMode());
    QVERIFY(pane.ItemOf(folder) == nullptr);
    QVERIFY(pane.ItemOf(search) == nullptr);
    QVERIFY(m_frame->results().Shown() == nullptr);
    QVERIFY(m_frame->quickCategory().count() <= categoriesBefore);

    App().FamilyMode = 0;
    ApplyFamilyMode();
    QVERIFY(pane.ItemOf(search) != nullptr);
  }
};

}  // namespace tulix

QTEST_MAIN(tulix::MainFrameTest)
#include "main_frame_test.moc"
