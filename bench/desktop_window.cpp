// How the desktop program's window holds up under load, in two figures:
//  - responsiveness: the longest time the main thread is busy between two events while five
//    engines deliver 1,000 results each into the shown search (a 1 ms timer on the main thread
//    notes every gap between its turns);
//  - start-up: the time from building the window to its first shown frame, with 2,000 engines
//    and 5,000 saved searches in the program folder.
// The engines are a local HTTP server in this process; everything else is the real program:
// the core on Qt's loop, the job manager, workers, scripts, merging, storage and the panes.
//
// Usage: desktop_window_bench [--engines N] [--searches N] (other options are ignored, so the
// benchmark runner can pass its own).
#include <httplib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/application_core.h"
#include "base/application.h"
#include "base/settings.h"
#include "definitions/tree.h"
#include "platform/paths.h"
#include "results/saved_search.h"
#include "ui/main_frame.h"
#include "ui/qt_event_loop.h"
#include "ui/results_pane.h"
#include "ui/tree_pane.h"
#include "../tests/temp_folder.h"

namespace fs = std::filesystem;
using namespace tulix;

namespace {

// Times every event the main thread handles, to name the longest one.
class TimedApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    QElapsedTimer timer;
    timer.start();
    const bool result = QApplication::notify(receiver, event);
    const qint64 spent = timer.nsecsElapsed();
    if (measuring && spent > longest) {
      longest = spent;
      longestType = event->type();
      longestReceiver = receiver->metaObject()->className();
    }
    return result;
  }
  bool measuring = false;
  qint64 longest = 0;
  int longestType = 0;
  const char* longestReceiver = "";
};

TimedApplication* g_application = nullptr;

constexpr int kEngines = 5;
constexpr int kResultsPerEngine = 1000;

std::string ResultPage(const std::string& engine) {
  std::string page = "<html><body><ul>";
  for (int i = 0; i < kResultsPerEngine; ++i) {
    const std::string n = std::to_string(i);
    page += "<li><a href=\"http://" + engine + "-" + n + ".example.org/page\">Blue whale page " +
            n + "</a> The blue whale is the largest animal known, result " + n + " of " + engine +
            ".</li>";
  }
  return page + "</ul></body></html>";
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string EngineDefinition(const std::string& name, int port) {
  return "[main]\nname=" + name + "\nhost=127.0.0.1\nport=" + std::to_string(port) +
         "\nobject=/" + name + "?q=%Q\n[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
         "[RESULT]\n1=TAG|START|/li|SENDRESULT|\n";
}

struct World {
  test::TempFolder temp;
  std::string home = temp.File("home");
  std::string registry = temp.File("registry.db");
  World() {
    fs::create_directories(home);
    setenv("TULIX_HOME", home.c_str(), 1);
    setenv("TULIX_REGISTRY", registry.c_str(), 1);
    unsetenv("http_proxy");
  }
};

StartupOptions OptionsFor(const World& world) {
  StartupOptions options;
  options.programFolder = world.home;
  options.registryPath = world.registry;
  options.checkEngines = false;
  return options;
}

double Responsiveness(int port) {
  World world;
  WriteFile(fs::path(world.home) / "categories/web.cat", "[main]\n");
  for (int e = 0; e < kEngines; ++e) {
    const std::string name = "engine" + std::to_string(e);
    WriteFile(fs::path(world.home) / "categories/web" / (name + ".ini"), EngineDefinition(name, port));
  }
  QtEventLoop loop;
  CMainFrame frame;
  ApplicationCore core(loop);
  StartupOptions options = OptionsFor(world);
  options.jobs.manager.firstTickMs = 10;
  options.jobs.manager.tickMs = 20;
  options.jobs.manager.startAllDue = true;
  options.jobs.dispatcherPause = std::chrono::milliseconds(0);
  core.Start(options);
  App().settings().MaxTasks = kEngines;
  frame.Attach();
  frame.show();

  QElapsedTimer clock;
  qint64 last = -1;
  qint64 longest = 0;
  QTimer probe;
  probe.setInterval(1);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    if (last >= 0) longest = std::max(longest, now - last);
    last = now;
  });
  SearchSettings settings;
  settings.name = "blue whale";
  settings.category = "web";
  settings.perEngine = kResultsPerEngine;
  settings.engineCount = kEngines;
  clock.start();
  probe.start();
  g_application->measuring = true;
  SavedSearch* search = frame.StartSearch(settings);
  const qint64 started = clock.nsecsElapsed();
  while (search != nullptr && (search->runningJobs > 0 || App().jobManager->JobCount() > 0)) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  frame.results().RefreshNow();
  const qint64 ended = clock.nsecsElapsed();
  probe.stop();
  g_application->measuring = false;
  std::printf("  (longest single event: %.1f ms, type %d, to a %s)\n", g_application->longest / 1e6,
              g_application->longestType, g_application->longestReceiver);
  size_t found = 0;
  {
    std::lock_guard lock(App().resultsLock);
    found = search != nullptr ? search->current().size() : 0;
  }
  std::printf("responsiveness: %zu results from %d engines in %.0f ms; shown rows %d; longest "
              "main-thread stretch between events %.1f ms\n",
              found, kEngines, (ended - started) / 1e6, frame.results().model().rowCount(),
              longest / 1e6);
  QElapsedTimer part;
  part.start();
  frame.results().RefreshNow();
  const double refreshMs = part.nsecsElapsed() / 1e6;
  part.restart();
  {
    std::lock_guard lock(App().resultsLock);
    search->SaveAllResults();
  }
  std::printf("  (one refresh of the full list %.1f ms; one save of the search %.1f ms)\n", refreshMs,
              part.nsecsElapsed() / 1e6);
  frame.Detach();
  core.Shutdown();
  return longest / 1e6;
}

void StartUp(int engines, int searches) {
  World world;
  // The engine set: categories of 100 engines each.
  for (int e = 0; e < engines; ++e) {
    const std::string category = "category" + std::to_string(e / 100);
    if (e % 100 == 0) {
      WriteFile(fs::path(world.home) / "categories" / (category + ".cat"), "[main]\n");
    }
    WriteFile(fs::path(world.home) / "categories" / category / ("engine" + std::to_string(e) + ".ini"),
              EngineDefinition("engine" + std::to_string(e), 9));
  }
  // The saved searches: one real search file, copied under 5,000 time-based names in 50 folders.
  {
    QtEventLoop loop;
    ApplicationCore core(loop);
    core.Start(OptionsFor(world));
    SearchSettings settings;
    settings.name = "blue whale";
    settings.category = "category0";
    SavedSearch* model = SavedSearch::CreateSearch(settings);
    const fs::path file = ToFileSystemPath(model->ResultsFile());
    for (int s = 0; s < searches; ++s) {
      const fs::path target = fs::path(world.home) / "searches" / ("folder" + std::to_string(s / 100)) /
                              ("2026" + std::to_string(10000000000LL + s).substr(1) + ".ini");
      fs::create_directories(target.parent_path());
      fs::copy_file(file, target, fs::copy_options::overwrite_existing);
    }
    fs::remove(file);
    core.Shutdown();
  }
  QElapsedTimer clock;
  clock.start();
  QtEventLoop loop;
  CMainFrame frame;
  ApplicationCore core(loop);
  core.Start(OptionsFor(world));
  const double coreMs = clock.nsecsElapsed() / 1e6;
  frame.Attach();
  const double attachMs = clock.nsecsElapsed() / 1e6;
  frame.show();
  bool painted = false;
  QTimer::singleShot(0, [&] { painted = true; });
  while (!painted) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  const double ms = clock.nsecsElapsed() / 1e6;
  std::printf("start-up: %d engines, %d saved searches: window shown in %.0f ms (core started "
              "at %.0f ms, panes filled at %.0f ms; %d category rows, %d search rows at the top "
              "level)\n",
              engines, searches, ms, coreMs, attachMs, frame.categories().topLevelItemCount(),
              frame.searches().topLevelItemCount());
  frame.Detach();
  core.Shutdown();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  int engines = 2000;
  int searches = 5000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--engines") engines = std::stoi(argv[i + 1]);
    if (std::string(argv[i]) == "--searches") searches = std::stoi(argv[i + 1]);
  }
  int qtArgc = 1;
  TimedApplication application(qtArgc, argv);
  g_application = &application;

  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.Get(R"(/(engine\d+))", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content(ResultPage(request.matches[1]), "text/html");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });

  Responsiveness(port);
  StartUp(engines, searches);

  server.stop();
  serving.join();
  return 0;
}
