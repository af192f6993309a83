// What the desktop program's tests share: a fresh world for each test (its own program folder
// and settings store, through $TULIX_HOME and $TULIX_REGISTRY in a temporary folder), the
// application core started on the Qt event loop as the program starts it, and a wait on a
// condition with a deadline.
#pragma once

#include <QApplication>
#include <QProcess>
#include <QTest>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/application_core.h"
#include "temp_folder.h"
#include "test_support.h"
#include "ui/qt_event_loop.h"

namespace tulix::test {

class UiWorld {
 public:
  // Points $TULIX_HOME and $TULIX_REGISTRY into a new temporary folder. Nothing is started.
  UiWorld();
  ~UiWorld();
  UiWorld(const UiWorld&) = delete;
  UiWorld& operator=(const UiWorld&) = delete;

  // Starts the core in the program folder with the desktop program's options, except that the
  // engine check is left out unless asked for; `tweak` may change the options first.
  ApplicationCore& Start(const std::function<void(StartupOptions&)>& tweak = {});
  // Shuts the core down (the destructor does too).
  void Stop();

  const std::string& home() const { return m_home; }
  const std::string& registry() const { return m_registry; }
  std::string File(const std::string& name) const { return m_temp.File(name); }
  QtEventLoop& loop() { return *m_loop; }
  ApplicationCore& core() { return *m_core; }

 private:
  ScopedNoProxy m_noProxy;  // loopback requests go straight to the test's servers
  TempFolder m_temp;
  std::string m_home;
  std::string m_registry;
  std::unique_ptr<QtEventLoop> m_loop;
  std::unique_ptr<ApplicationCore> m_core;
};

// The demo engines (tulix-demo-engines over the bundled corpus) on a loopback port the system
// picks, for the length of a test program.
class DemoEngines {
 public:
  // `options` are more of the server's options ("--latency", "300", say).
  explicit DemoEngines(const QStringList& options = {});
  ~DemoEngines();
  int port() const { return m_port; }
  // Copies the bundled demo engine set, pointed at this server, into `programFolder`'s
  // categories folder.
  void InstallInto(const std::string& programFolder) const;

 private:
  std::unique_ptr<QProcess> m_process;
  int m_port = 0;
};

// Runs the Qt loop until `done` holds or `ms` milliseconds pass; returns what `done` last said.
bool WaitUntil(const std::function<bool()>& done, int ms = 20000);

}  // namespace tulix::test
