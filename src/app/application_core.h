// The application core: builds the whole program below its windows the same way for the desktop
// program, the browser library, the command line and the tests. Start() runs the start-up steps
// that need no window, in the order the program has always run them: the single-instance check
// (when asked for), the index file, the log, the family word list, the settings key with the
// program folder, the settings, the job manager and dispatcher, the family policy, the two trees,
// the engine check (which downloads the engine set when none is installed), and the known-site
// and keyword lists. Shutdown() undoes it in reverse, orderly: browser requests are cancelled
// and awaited, the job system is stopped, the settings are saved.
//
// A program folder found by the default rule (no $TULIX_HOME) that has no categories folder yet
// is seeded from the bundled real engine set, as an installer would have done, unless an update
// server is set (Behaviour\UpdateServer): then the engine check downloads that server's set.
//
// Ownership: the core owns the application object and makes it current (App()) for its life.
// The event loop and the hooks given in the options must outlive the core.
//
// Thread safety: construct, start, shut down and destroy on the thread that runs the loop.
#pragma once

#include <memory>
#include <string>

#include "jobs/job_system.h"

namespace tulix {

class CUpgradeCategoryJob;
class EventLoop;
class PasswordPrompt;
class ScopedApplication;
class SingleInstance;
class TulixApplication;

struct StartupOptions {
  // The program folder; empty: the default rule (ProgramFolder()).
  std::string programFolder;
  // The settings store; empty: $TULIX_REGISTRY or the per-user default.
  std::string registryPath;
  // Only the desktop program asks to be the only copy running.
  bool singleInstance = false;
  // The job manager's pacing (ticks and the dispatcher's pause); the defaults are the
  // desktop program's.
  JobSystemOptions jobs;
  // Asks for the family password when the policy says so; null: as if cancelled (family mode
  // stays on), which is what a program without a window can do.
  PasswordPrompt* familyPrompt = nullptr;
  // Whether to run the engine check (and download the engine set when none is installed);
  // a command that only reads saved searches leaves it out.
  bool checkEngines = true;
  // The engine set a new default program folder is seeded from, whether an update server is
  // set or not; empty: the bundled real set (BundledDataFolder() + "/engines/real"), and only
  // while no update server is set.
  std::string bundledEngineSet;
  // Whether standard error goes to the program folder's log file. A library loaded into
  // another program leaves that program's standard error alone.
  bool openLog = true;
};

enum class StartResult {
  kStarted,
  // Single instance asked for and another copy holds it: nothing was started; the other copy
  // was asked to show its window (it shows nothing while it is still starting).
  kAnotherCopyRuns,
};

// The job manager's pacing for a program that runs one search and ends (the command line): the
// first tick at once and a tick every millisecond, each tick starting every job that may start
// (MaxTasks still bounds how many run), the dispatcher never resting. The desktop
// program keeps the defaults (first tick after 4 s, a tick every 500 ms, the dispatcher resting
// 1 s after each job), which spread its jobs out for a person watching the tasks pane.
JobSystemOptions CommandLinePacing();

// The folder of the bundled data (engine sets, demo corpus): $TULIX_DATA when set, else the
// folder the build was configured with when it exists, else share/tulix beside the folder of
// the running program (an installed program: /usr/bin/tulix reads /usr/share/tulix).
std::string BundledDataFolder();
// That choice, from the value of $TULIX_DATA (empty when unset), the configured folder and the
// folder of the running program (empty when unknown).
std::string ChooseBundledDataFolder(const std::string& environment, const std::string& configured,
                                    const std::string& executableFolder);

class MailAlertSender;

class ApplicationCore {
 public:
  explicit ApplicationCore(EventLoop& loop);
  ~ApplicationCore();
  ApplicationCore(const ApplicationCore&) = delete;
  ApplicationCore& operator=(const ApplicationCore&) = delete;

  StartResult Start(const StartupOptions& options);
  // Safe to call more than once; the destructor calls it.
  void Shutdown();

  // The engine check: when no engine set is installed, says so and starts the download. Start
  // runs it unless told not to; the desktop program runs it itself once its window shows.
  void CheckEngines();

  TulixApplication& app() { return *m_app; }
  EventLoop& loop() { return m_loop; }
  bool started() const { return m_started; }
  // The single-instance hold of the desktop program (null unless it was asked for): once its
  // window exists the program publishes it there, so a second copy can bring it forward.
  SingleInstance* singleInstance() const { return m_instance.get(); }
  // The engine download the start-up check began, or null when the engines were installed.
  std::shared_ptr<CUpgradeCategoryJob> engineDownload() const { return m_engineDownload; }

 private:
  void OpenFolderAndLog(const StartupOptions& options);
  void LoadTreesAndLists();
  void RegisterHooks();

  EventLoop& m_loop;
  std::unique_ptr<SingleInstance> m_instance;
  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
  std::unique_ptr<MailAlertSender> m_alertSender;
  std::shared_ptr<CUpgradeCategoryJob> m_engineDownload;
  bool m_started = false;
  bool m_jobSystemRunning = false;
};

// Copies the engine set in `bundledSet` (laid out like a categories folder) into the categories
// folder of `programFolder` when that has none, and records engine set version 1.5. True when
// it seeded.
bool SeedProgramFolder(const std::string& programFolder, const std::string& bundledSet);

}  // namespace tulix
