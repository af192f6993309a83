#include "ui/ui_test_support.h"

#include <stdlib.h>

#include <filesystem>

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

bool WaitUntil(const std::function<bool()>& done, int ms) {
  return QTest::qWaitFor(done, ms);
}

}  // namespace tulix::test
