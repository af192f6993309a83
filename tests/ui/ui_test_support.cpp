#include "ui/ui_test_support.h"

#include <stdlib.h>

#include <QProcess>

#include <filesystem>

#include "demo_engine_set.h"

namespace tulix::test {

UiWorld::UiWorld() : m_home(m_temp.File("home")), m_registry(m_temp.File("registry.db")) {
  std::filesystem::create_directories(m_home);
  setenv("TULIX_HOME", m_home.c_str(), 1);
  setenv("TULIX_REGISTRY", m_registry.c_str(), 1);
  m_loop = std::make_unique<QtEventLoop>();
}

UiWorld::~UiWorld() {
  Stop();
  m_loop.reset();
  unsetenv("TULIX_HOME");
  unsetenv("TULIX_REGISTRY");
}

ApplicationCore& UiWorld::Start(const std::function<void(StartupOptions&)>& tweak) {
  StartupOptions options;
  options.programFolder = m_home;
  options.registryPath = m_registry;
  options.checkEngines = false;
  if (tweak) {
    tweak(options);
  }
  m_core = std::make_unique<ApplicationCore>(*m_loop);
  m_core->Start(options);
  return *m_core;
}

void UiWorld::Stop() {
  if (m_core) {
    m_core->Shutdown();
    m_core.reset();
  }
}

DemoEngines::DemoEngines(const QStringList& options) : m_process(std::make_unique<QProcess>()) {
  m_process->setStandardErrorFile(QProcess::nullDevice());  // its request log
  const QStringList arguments = QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                            QStringLiteral("--corpus"),
                                            QStringLiteral(TULIX_DEMO_CORPUS)} +
                                options;
  m_process->start(QStringLiteral(TULIX_DEMO_ENGINES_BINARY), arguments);
  // The first line the server prints is its port.
  if (m_process->waitForStarted(10000) && m_process->waitForReadyRead(10000)) {
    while (!m_process->canReadLine() && m_process->waitForReadyRead(10000)) {
    }
    m_port = m_process->readLine().trimmed().toInt();
  }
  if (m_port <= 0) {
    qFatal("the demo engines did not start");
  }
}

DemoEngines::~DemoEngines() {
  m_process->kill();
  m_process->waitForFinished(10000);
}

void DemoEngines::InstallInto(const std::string& programFolder) const {
  CopyDemoEngineSet(TULIX_DEMO_ENGINE_SET_DIR, programFolder + "/categories", m_port);
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
  return QTest::qWaitFor(done, ms);
}

}  // namespace tulix::test
