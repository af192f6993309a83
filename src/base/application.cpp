#include "base/application.h"

#include <atomic>
#include <cassert>

#include "platform/registry_store.h"

namespace tulix {

namespace {
std::atomic<TulixApplication*> g_app{nullptr};
}

TulixApplication::TulixApplication(std::string programFolder, std::string registryPath)
    : m_registry(std::make_unique<RegistryStore>(std::move(registryPath))) {
  m_settings.programFolder = std::move(programFolder);
}

TulixApplication::~TulixApplication() = default;

TulixApplication& App() {
  TulixApplication* app = g_app.load(std::memory_order_acquire);
  assert(app != nullptr && "no application object installed");
  return *app;
}

bool HasApp() {
  return g_app.load(std::memory_order_acquire) != nullptr;
}

ScopedApplication::ScopedApplication(TulixApplication& app)
    : m_previous(g_app.exchange(&app, std::memory_order_acq_rel)) {}

ScopedApplication::~ScopedApplication() {
  g_app.store(m_previous, std::memory_order_release);
}

}  // namespace tulix
