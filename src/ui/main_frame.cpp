#include "ui/main_frame.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDockWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "definitions/search_folder.h"
#include "definitions/tree.h"
#include "engine/search_job.h"
#include "platform/registry_store.h"
#include "results/saved_search.h"
#include "ui/core_text.h"
#include "ui/results_pane.h"
#include "ui/tasks_pane.h"
#include "ui/tree_pane.h"
#include "ui/user_message.h"
#include "update/upgrade_job.h"

// Resources in a static library are only linked in when named (outside any namespace).
static void InitIconResource() {
  Q_INIT_RESOURCE(icon);
}

namespace tulix {

namespace {

constexpr char kLayoutKey[] = "\\MainFrame";
// Bumped when the set of bars changes, so an old layout is not forced onto new bars.
constexpr int kLayoutVersion = 1;

std::string LayoutKey() {
  return std::string(kRegistryRoot) + kLayoutKey;
}

std::vector<uint8_t> BytesOf(const QByteArray& data) {
  return std::vector<uint8_t>(data.begin(), data.end());
}

QByteArray ArrayOf(const std::vector<uint8_t>& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

QIcon ProgramIcon() {
  InitIconResource();
  return QIcon(QStringLiteral(":/tulix.svg"));
}

CMainFrame::CMainFrame(FrameDialogs dialogs, QWidget* parent)
    : QMainWindow(parent), m_dialogs(std::move(dialogs)) {
  setObjectName(QStringLiteral("MainFrame"));
  setWindowTitle(QStringLiteral("Tulix"));
  setWindowIcon(ProgramIcon());
  if (!m_dialogs.message) {
    m_dialogs.message = ShowUserMessage;
  }
  if (!m_dialogs.question) {
    m_dialogs.question = [](QWidget* parent, const QString& text) {
      return QMessageBox::question(parent, QStringLiteral("Tulix"), text,
                                   QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
  }
  setDockNestingEnabled(true);

  // The panes, in the order the program has always made them.
  m_tasks = new TasksPane;
  AddPane(m_tasks, QStringLiteral("Tulix Tasks"), QStringLiteral("TasksBar"),
          QStringLiteral("Jobs Status"), Qt::RightDockWidgetArea);
  m_results = new ResultsPane;
  AddPane(m_results, QStringLiteral("Search Results"), QStringLiteral("ResultsBar"),
          QStringLiteral("Results of your search, double click to view web pages"),
          Qt::RightDockWidgetArea);
  TreePaneOptions searchOptions;
  searchOptions.tree = [] { return HasApp() ? App().searchTree.get() : nullptr; };
  // A search shows its words and how many results it has, not its file's name.
  searchOptions.label = [](const TreeNode* node) {
    const auto* search = dynamic_cast<const SavedSearch*>(node);
    return search != nullptr ? search->Title() : node->DisplayName();
  };
  searchOptions.foldersRenamable = true;
  searchOptions.itemsRenamable = true;
  searchOptions.dragAndDrop = true;
  searchOptions.askYesNo = [this](const QString& text) { return m_dialogs.question(this, text); };
  m_searches = new TreePane(searchOptions);
  m_searches->setObjectName(QStringLiteral("SearchesPane"));
  AddPane(m_searches, QStringLiteral("Searches"), QStringLiteral("SearchesBar"),
          QStringLiteral("The searches you have made, create folders and use drag and drop to "
                         "organise them"),
          Qt::LeftDockWidgetArea);
  TreePaneOptions categoryOptions;
  categoryOptions.tree = [] { return HasApp() ? App().categoryTree.get() : nullptr; };
  categoryOptions.readHold = [] {
    return std::make_shared<CategoryTreeHold>(CategoryTreeHold::Mode::kRead);
  };
  categoryOptions.askYesNo = searchOptions.askYesNo;
  m_categories = new TreePane(categoryOptions);
  m_categories->setObjectName(QStringLiteral("CategoriesPane"));
  AddPane(m_categories, QStringLiteral("Categories/Search Engines"), QStringLiteral("CategoriesBar"),
          QStringLiteral("Search Categories and Engines, right click to alter properties"),
          Qt::LeftDockWidgetArea);
  splitDockWidget(Dock(QStringLiteral("SearchesBar")), Dock(QStringLiteral("CategoriesBar")),
                  Qt::Vertical);
  // The tasks sit under the results, beside the trees.
  splitDockWidget(Dock(QStringLiteral("ResultsBar")), Dock(QStringLiteral("TasksBar")), Qt::Vertical);

  BuildQuickSearchBar();
  BuildMenus();
  statusBar()->showMessage(QStringLiteral("Ready"));
  resize(1100, 720);

  connect(m_searches, &TreePane::nodeSelected, this, [this](TreeNode* node) { ShowNode(node); });
  connect(m_searches, &TreePane::nodeMenuRequested, this, &CMainFrame::ShowSearchesMenu);
  connect(m_categories, &TreePane::nodeMenuRequested, this, &CMainFrame::ShowCategoriesMenu);
  connect(m_categories, &TreePane::nodeActivated, this, [this](TreeNode* node) {
    if (auto* category = dynamic_cast<CategoryNode*>(node)) {
      NewSearch(category->name);
    }
  });
}

CMainFrame::~CMainFrame() {
  Detach();
}

QDockWidget* CMainFrame::AddPane(QWidget* pane, const QString& title, const QString& objectName,
                                 const QString& statusTip, Qt::DockWidgetArea area) {
  auto* dock = new QDockWidget(title, this);
  dock->setObjectName(objectName);
  dock->setStatusTip(statusTip);
  dock->setWidget(pane);
  addDockWidget(area, dock);
  return dock;
}

QDockWidget* CMainFrame::Dock(const QString& objectName) const {
  return findChild<QDockWidget*>(objectName);
}

void CMainFrame::BuildQuickSearchBar() {
  QToolBar* bar = addToolBar(QStringLiteral("Quick Search"));
  bar->setObjectName(QStringLiteral("QuickSearchBar"));
  bar->addWidget(new QLabel(QStringLiteral(" Quick Search ")));
  m_quickText = new QLineEdit;
  m_quickText->setObjectName(QStringLiteral("QuickSearchText"));
  m_quickText->setMinimumWidth(260);
  m_quickText->setPlaceholderText(QStringLiteral("Search for"));
  bar->addWidget(m_quickText);
  m_quickCategory = new QComboBox;
  m_quickCategory->setObjectName(QStringLiteral("QuickSearchCategory"));
  m_quickCategory->setMinimumWidth(140);
  bar->addWidget(m_quickCategory);
  m_go = new QPushButton(QStringLiteral("Go"));
  m_go->setObjectName(QStringLiteral("QuickSearchGo"));
  bar->addWidget(m_go);
  connect(m_go, &QPushButton::clicked, this, &CMainFrame::QuickSearch);
  connect(m_quickText, &QLineEdit::returnPressed, this, &CMainFrame::QuickSearch);
}

void CMainFrame::BuildMenus() {
  QToolBar* toolbar = addToolBar(QStringLiteral("Toolbar"));
  toolbar->setObjectName(QStringLiteral("MainToolBar"));
  QAction* searchAction = new QAction(QStringLiteral("Search ..."), this);
  connect(searchAction, &QAction::triggered, this, [this] { NewSearch(); });
  toolbar->addAction(searchAction);

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->addAction(QStringLiteral("E&xit"), this, &QWidget::close);

  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  QAction* toolbarToggle = toolbar->toggleViewAction();
  toolbarToggle->setText(QStringLiteral("&Toolbar"));
  view->addAction(toolbarToggle);
  QAction* statusToggle = view->addAction(QStringLiteral("&Status Bar"));
  statusToggle->setCheckable(true);
  statusToggle->setChecked(true);
  connect(statusToggle, &QAction::toggled, statusBar(), &QWidget::setVisible);
  const std::pair<const char*, const char*> bars[] = {{"&Job Window", "TasksBar"},
                                                      {"Category Window", "CategoriesBar"},
                                                      {"Search Window", "SearchesBar"},
                                                      {"Results Window", "ResultsBar"}};
  for (const auto& [text, name] : bars) {
    QAction* toggle = Dock(QString::fromLatin1(name))->toggleViewAction();
    toggle->setText(QString::fromLatin1(text));
    view->addAction(toggle);
  }

  QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
  edit->addAction(QStringLiteral("&Copy"), this, &CMainFrame::CopyToClipboard);
  edit->addAction(QStringLiteral("&Paste"), this, &CMainFrame::PasteFromClipboard);

  QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
  tools->addAction(searchAction);
  tools->addAction(QStringLiteral("&Options ..."), this, [this] {
    if (m_dialogs.options) m_dialogs.options(this);
  });
  tools->addAction(QStringLiteral("Manage known web sites ..."), this, [this] {
    if (m_dialogs.knownSites) m_dialogs.knownSites(this);
  });
  tools->addAction(QStringLiteral("Download Search Categories"), this,
                   &CMainFrame::DownloadSearchCategories);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->addAction(QStringLiteral("&Help Topics"), this, &CMainFrame::ShowHelpTopics);
  help->addAction(QStringLiteral("T&ip of the day..."), this, [this] {
    if (m_dialogs.tipOfTheDay) m_dialogs.tipOfTheDay(this);
  });
  help->addAction(QStringLiteral("&About Tulix..."), this, &CMainFrame::ShowAbout);
}

void CMainFrame::Attach() {
  if (m_attached || !HasApp()) {
    return;
  }
  TulixApplication& app = App();
  // The application keeps shared pointers to its hooks; the window owns itself, so these
  // pointers own nothing and are reset in Detach before the window goes.
  app.searchView = std::shared_ptr<SearchViewHooks>(std::shared_ptr<void>(), this);
  app.familyHooks = std::shared_ptr<FamilyModeHooks>(std::shared_ptr<void>(), this);
  if (app.jobManager) {
    app.jobManager->SetObserver(this);
  }
  // The upgrade job's rows come from its worker; its tree rebuild comes on this thread.
  UpgradeJobHooks upgradeHooks = CurrentUpgradeJobHooks();
  QPointer<CMainFrame> self(this);
  upgradeHooks.showTaskRow = [self](int jobId, const std::string& engine, const std::string& task,
                                    const std::string& item, const std::string& state) {
    TaskRow row{jobId, engine, task, item, state};
    QMetaObject::invokeMethod(qApp, [self, row] {
      if (self && HasApp() && App().jobManager && App().jobManager->FindById(row.jobId)) {
        self->ShowTaskRow(row);
      }
    });
  };
  upgradeHooks.rebuildCategoryTree = [self] {
    if (self) {
      self->m_categories->Refill();
      self->FillCategoryList();
    }
  };
  SetUpgradeJobHooks(upgradeHooks);
  m_attached = true;
  m_defaultSizesPending = !RestoreLayout();
  RefillViews();
}

void CMainFrame::Detach() {
  if (!m_attached) {
    return;
  }
  m_attached = false;
  SaveLayout();
  m_results->Show(nullptr);
  if (HasApp()) {
    TulixApplication& app = App();
    if (app.jobManager && app.jobManager->Observer() == this) {
      app.jobManager->SetObserver(nullptr);
    }
    if (app.searchView.get() == this) {
      app.searchView.reset();
    }
    if (app.familyHooks.get() == this) {
      app.familyHooks.reset();
    }
  }
  UpgradeJobHooks upgradeHooks = CurrentUpgradeJobHooks();
  upgradeHooks.showTaskRow = nullptr;
  upgradeHooks.rebuildCategoryTree = nullptr;
  SetUpgradeJobHooks(upgradeHooks);
}

void CMainFrame::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (m_defaultSizesPending) {
    m_defaultSizesPending = false;
    // The first start: the results get most of the room, the trees a column on the left and
    // the tasks a strip at the bottom. Applied once the window has its size.
    QTimer::singleShot(0, this, [this] {
      resizeDocks({Dock(QStringLiteral("SearchesBar")), Dock(QStringLiteral("ResultsBar"))},
                  {width() / 4, width() * 3 / 4}, Qt::Horizontal);
      resizeDocks({Dock(QStringLiteral("ResultsBar")), Dock(QStringLiteral("TasksBar"))},
                  {height() * 3 / 4, height() / 4}, Qt::Vertical);
    });
  }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  Detach();
  event->accept();
}

void CMainFrame::SaveLayout() {
  if (!HasApp()) {
    return;
  }
  RegistryStore& store = App().registry();
  store.SetBinary(LayoutKey(), "State", BytesOf(saveState(kLayoutVersion)));
  store.SetBinary(LayoutKey(), "Geometry", BytesOf(saveGeometry()));
}

bool CMainFrame::RestoreLayout() {
  if (!HasApp()) {
    return false;
  }
  RegistryStore& store = App().registry();
  if (const auto geometry = store.GetBinary(LayoutKey(), "Geometry")) {
    restoreGeometry(ArrayOf(*geometry));
  }
  const auto state = store.GetBinary(LayoutKey(), "State");
  return state && restoreState(ArrayOf(*state), kLayoutVersion);
}

// ---- searches ----

void CMainFrame::QuickSearch() {
  const QString text = m_quickText->text().trimmed();
  if (text.isEmpty()) {
    m_dialogs.message(this, QStringLiteral("No search text entered"));
    return;
  }
  SearchSettings settings;
  settings.name = ToCoreText(text);
  settings.type = kSearchAllWords;
  settings.category = ToCoreText(m_quickCategory->currentText());
  StartSearch(settings);
}

void CMainFrame::NewSearch(const std::string& category) {
  if (!m_dialogs.editSearch) {
    return;
  }
  SearchSettings settings;
  settings.name.clear();
  settings.category = category.empty() ? ToCoreText(m_quickCategory->currentText()) : category;
  if (m_dialogs.editSearch(this, settings, QStringLiteral("New Search"))) {
    StartSearch(settings);
  }
}

SavedSearch* CMainFrame::StartSearch(const SearchSettings& settings) {
  SavedSearch* search = FindOrCreateSearch(settings);
  if (search == nullptr) {
    return nullptr;
  }
  if (search->runningJobs > 0) {
    // Already running: show it rather than start it twice.
    m_searches->Refill();
    m_searches->SelectNode(search);
    m_results->Show(search);
    return search;
  }
  search->settings.perEngine = settings.perEngine;
  search->settings.engineCount = settings.engineCount;
  search->settings.shopping = settings.shopping;
  search->Submit(true);
  return search;
}

void CMainFrame::DownloadSearchCategories() {
  if (HasApp() && App().jobManager) {
    App().jobManager->AddJob(CUpgradeCategoryJob::MakeFullDownload());
  }
}

void CMainFrame::ShowNode(TreeNode* node) {
  auto* search = dynamic_cast<SavedSearch*>(node);
  if (search != nullptr || node == nullptr) {
    m_results->Show(search);
  }
}

void CMainFrame::ShowSearchesMenu(TreeNode* node, const QPoint& at) {
  QMenu menu(this);
  if (node != nullptr && IsFolder(node)) {
    menu.addAction(QStringLiteral("Open"), this, [this, node] {
      if (QTreeWidgetItem* item = m_searches->ItemOf(node)) item->setExpanded(true);
    });
    menu.addAction(QStringLiteral("Rename"), m_searches, &TreePane::RenameSelected);
    menu.addAction(QStringLiteral("Delete"), m_searches, &TreePane::DeleteSelected);
    menu.addAction(QStringLiteral("New Folder"), m_searches, &TreePane::NewFolder);
    if (auto* folder = dynamic_cast<SearchFolder*>(node); folder && m_dialogs.folderProperties) {
      menu.addAction(QStringLiteral("Properties"), this, [this, folder] {
        if (m_dialogs.folderProperties(this, *folder)) RefillViews();
      });
    }
  } else {
    auto* search = dynamic_cast<SavedSearch*>(node);
    menu.addAction(QStringLiteral("Modify Search"), this, [search] { search->EditProperties(); })
        ->setEnabled(search != nullptr);
    menu.addAction(QStringLiteral("Delete"), m_searches, &TreePane::DeleteSelected)
        ->setEnabled(node != nullptr);
    menu.addAction(QStringLiteral("New Folder"), m_searches, &TreePane::NewFolder);
  }
  menu.exec(at);
}

void CMainFrame::ShowCategoriesMenu(TreeNode* node, const QPoint& at) {
  if (node == nullptr) {
    return;
  }
  QMenu menu(this);
  if (auto* engine = dynamic_cast<EngineDefinition*>(node)) {
    CategoryNode* category = dynamic_cast<CategoryNode*>(GetParent(engine));
    menu.addAction(QStringLiteral("Search Category"), this, [this, category] {
      NewSearch(category != nullptr ? category->name : std::string());
    });
    menu.addAction(QStringLiteral("Properties"), this, [this, engine] {
      if (m_dialogs.engineProperties) m_dialogs.engineProperties(this, *engine);
    });
    menu.addAction(QStringLiteral("Open Web site"), this, [engine] { engine->OpenHomePage(); });
  } else if (auto* category = dynamic_cast<CategoryNode*>(node)) {
    menu.addAction(QStringLiteral("Search"), this, [this, category] { NewSearch(category->name); });
    menu.addAction(QStringLiteral("Properties"), this, [this, category] {
      if (m_dialogs.categoryProperties && m_dialogs.categoryProperties(this, *category)) {
        RefillViews();
      }
    });
  }
  menu.exec(at);
}

// ---- clipboard and help ----

void CMainFrame::CopyToClipboard() {
  QWidget* focus = QApplication::focusWidget();
  if (auto* line = qobject_cast<QLineEdit*>(focus)) {
    line->copy();
    return;
  }
  m_results->CopySelected();
}

void CMainFrame::PasteFromClipboard() {
  m_quickText->setFocus();
  m_quickText->paste();
}

void CMainFrame::ShowAbout() {
  QMessageBox::about(this, QStringLiteral("About Tulix"),
                     QStringLiteral("<b>Tulix</b> %1<p>Asks many search engines at once and "
                                    "merges what they find.")
                         .arg(QStringLiteral(TULIX_VERSION_TEXT)));
}

void CMainFrame::ShowHelpTopics() {
  m_dialogs.message(
      this,
      QStringLiteral(
          "Type words in the Quick Search bar, choose a category and press Go.\n\n"
          "Tasks shows each engine at work; right click a task to cancel it.\n"
          "Search Results lists the merged results; double click one to open it, right click "
          "to mark it, delete it, or mark its site. Right click the list's heading to sort.\n"
          "Searches keeps every search you made; make folders and drag searches into them.\n"
          "Categories/Search Engines: right click to search a category or change an engine."));
}

// ---- the log ----

void CMainFrame::ShowStatus(const std::string& line) {
  const QString text = FromCoreText(line);
  QPointer<CMainFrame> self(this);
  QMetaObject::invokeMethod(
      this, [self, text] {
        if (self) self->statusBar()->showMessage(text);
      },
      Qt::AutoConnection);
}

void CMainFrame::ShowMessageBox(const std::string& line) {
  const QString text = FromCoreText(line);
  if (QThread::currentThread() == thread()) {
    m_dialogs.message(this, text);
    return;
  }
  // From a worker: shown by the main thread, and the worker goes on at once. Waiting here for
  // the user would stall the job, and a main thread that waits for that job would hang.
  QMetaObject::invokeMethod(
      this, [this, text] { m_dialogs.message(this, text); }, Qt::QueuedConnection);
}

// ---- the job manager ----

void CMainFrame::ShowTaskRow(const TaskRow& row) {
  m_tasks->ShowTaskRow(row);
}

void CMainFrame::RemoveTaskRow(int jobId) {
  m_tasks->RemoveTaskRow(jobId);
}

void CMainFrame::PruneTaskRows(const std::function<bool(int jobId)>& isListed) {
  m_tasks->PruneTaskRows(isListed);
}

void CMainFrame::OnSearchProgress(CJob& job) {
  auto* searchJob = dynamic_cast<CSearchJob*>(&job);
  if (searchJob != nullptr && &searchJob->Search() == static_cast<SearchJobTarget*>(m_results->Shown())) {
    m_results->RestartRefreshTimer();
  }
}

// ---- the searches ----

void CMainFrame::SearchSubmitted(SavedSearch& search, SubmitOutcome outcome) {
  if (outcome != SubmitOutcome::kStarted && outcome != SubmitOutcome::kWaitingForUpdate) {
    return;
  }
  m_searches->Refill();
  m_searches->SelectNode(&search);
  m_results->Show(&search);
}

void CMainFrame::SearchCompleted(SavedSearch& search, bool stored) {
  (void)stored;
  if (QTreeWidgetItem* item = m_searches->ItemOf(&search)) {
    item->setText(0, m_searches->LabelOf(&search));
  }
  if (m_results->Shown() == &search) {
    // In a turn of its own: the search was just stored in this one.
    m_results->RestartRefreshTimer();
  }
}

void CMainFrame::SearchFileDeleted(SavedSearch& search) {
  if (m_results->Shown() == &search) {
    m_results->Show(nullptr);
  }
}

bool CMainFrame::EditSearchProperties(SearchSettings& copy) {
  return m_dialogs.editSearch && m_dialogs.editSearch(this, copy, QStringLiteral("Modify Search"));
}

// ---- family mode ----

void CMainFrame::ClearStatusAndTasks() {
  statusBar()->clearMessage();
  m_tasks->ClearRows();
}

void CMainFrame::RefillViews() {
  m_categories->Refill();
  m_searches->Refill();
  FillCategoryList();
  if (SavedSearch* shown = m_results->Shown(); shown != nullptr && !IsUsableNow(shown)) {
    m_results->Show(nullptr);
  } else {
    m_results->viewport()->update();
  }
}

void CMainFrame::FillCategoryList() {
  const QString current = m_quickCategory->currentText();
  m_quickCategory->clear();
  if (!HasApp() || !App().categoryTree) {
    return;
  }
  QStringList names;
  {
    auto hold = ReadCategoryTree();
    for (TreeNode* node : Tree::Collect(App().categoryTree->root(), true, true)) {
      if (dynamic_cast<CategoryNode*>(node) != nullptr && IsUsableNow(node)) {
        names << FromCoreText(node->name);
      }
    }
  }
  m_quickCategory->addItems(names);
  const int web = m_quickCategory->findText(current.isEmpty() ? QStringLiteral("web") : current);
  if (web >= 0) {
    m_quickCategory->setCurrentIndex(web);
  }
}

}  // namespace tulix
