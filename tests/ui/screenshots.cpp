// Makes the screenshots of the README: the main window during and after a real search on the
// demo engines, the new-search sheet and the options sheet. Run by `scripts/tulix screenshots`;
// writes PNG files into the folder given (docs/ by default).
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLineEdit>
#include <QStatusBar>
#include <QTimer>

#include <cstdio>

#include "base/application.h"
#include "base/settings.h"
#include "results/saved_search.h"
#include "ui/main_frame.h"
#include "ui/options_sheet.h"
#include "ui/results_pane.h"
#include "ui/search_sheet.h"
#include "ui/tasks_pane.h"
#include "ui/tree_pane.h"
#include "ui/ui_test_support.h"

using namespace tulix;

namespace {

bool Save(QWidget& widget, const QString& folder, const QString& name) {
  const QString path = QDir(folder).filePath(name);
  const bool ok = widget.grab().save(path);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(argc, argv);
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
  QDir().mkpath(folder);
  // A window without a font still "renders", as empty boxes: refuse to make such pictures.
  if (!QFontMetrics(QApplication::font()).inFont(QLatin1Char('A'))) {
    std::fprintf(stderr, "no font: install fonts-dejavu-core\n");
    return 1;
  }

  // Engines that take their time, as real ones do, so the search is caught at work.
  test::DemoEngines engines({QStringLiteral("--latency"), QStringLiteral("1500")});
  test::UiWorld world;
  engines.InstallInto(world.home());
  CMainFrame frame;
  world.Start([](StartupOptions& options) {
    // A person's pacing, a little quicker: the tasks pane shows the engines at work.
    options.jobs.manager.firstTickMs = 100;
    options.jobs.manager.tickMs = 100;
    options.jobs.manager.startAllDue = true;
    options.jobs.dispatcherPause = std::chrono::milliseconds(0);
  });
  App().settings().MaxTasks = 4;
  frame.Attach();
  frame.resize(1280, 800);
  frame.show();
  frame.categories().expandAll();

  frame.quickText().setText(QStringLiteral("text editor"));
  frame.QuickSearch();
  SavedSearch* search = frame.results().Shown();
  if (search == nullptr) {
    std::fprintf(stderr, "the search did not start\n");
    return 1;
  }
  // During: some engines have answered, others still work.
  test::WaitUntil([&] {
    std::lock_guard lock(App().resultsLock);
    return frame.tasks().RowCount() >= 2 && search->current().size() >= 5;
  }, 30000);
  frame.results().RefreshNow();
  bool ok = Save(frame, folder, QStringLiteral("main-window-searching.png"));

  test::WaitUntil([&] {
    return search->runningJobs == 0 && App().jobManager->JobCount() == 0 &&
           frame.tasks().RowCount() == 0;
  }, 60000);
  frame.results().RefreshNow();
  frame.statusBar()->showMessage(QStringLiteral("Search complete"));
  ok &= Save(frame, folder, QStringLiteral("main-window-results.png"));

  // The new-search sheet, as "Search ..." opens it, with words typed in.
  {
    SearchSettings settings;
    settings.name = "free software";
    settings.category = "web";
    SearchSheet sheet(&frame, settings, QStringLiteral("New Search"));
    sheet.show();
    QApplication::processEvents();
    ok &= Save(sheet, folder, QStringLiteral("new-search-sheet.png"));
  }
  // The options sheet on its first page.
  {
    OptionsSheet sheet(&frame, OptionsHooks{});
    sheet.resize(680, 420);
    sheet.show();
    QApplication::processEvents();
    ok &= Save(sheet, folder, QStringLiteral("options-sheet.png"));
  }

  frame.Detach();
  world.Stop();
  return ok ? 0 : 1;
}
