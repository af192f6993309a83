#include "browserlib/com/com_object.h"

namespace tulix::com {
namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

}  // namespace

long ModuleObjectCount() {
  return g_objects.load();
}

long ModuleLockCount() {
  return g_locks.load();
}

void LockModule() {
  g_locks.fetch_add(1);
}

void UnlockModule() {
  // A stray unlock must not turn the count negative and keep the module loaded for ever.
  long current = g_locks.load();
  while (current > 0 && !g_locks.compare_exchange_weak(current, current - 1)) {
  }
}

HRESULT CanUnloadModule() {
  return g_objects.load() == 0 && g_locks.load() == 0 ? S_OK : S_FALSE;
}

namespace detail {

void ObjectCreated() {
  g_objects.fetch_add(1);
}

void ObjectDestroyed() {
  g_objects.fetch_sub(1);
}

}  // namespace detail
}  // namespace tulix::com
