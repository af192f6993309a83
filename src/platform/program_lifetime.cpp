#include "platform/program_lifetime.h"

#include <atomic>

namespace tulix {
namespace {

struct Entry {
  std::function<void()> release;
  Entry* next;
};

// The newest entry first. A plain atomic pointer needs no constructor and no destructor, so
// it is usable from any static initialiser and never torn down under a thread at exit.
std::atomic<Entry*> g_newest{nullptr};

}  // namespace

void RegisterProgramLifetimeObject(std::function<void()> release) {
  auto* entry = new Entry{std::move(release), g_newest.load(std::memory_order_relaxed)};
  while (!g_newest.compare_exchange_weak(entry->next, entry, std::memory_order_release,
                                         std::memory_order_relaxed)) {
  }
}

void ReleaseProgramLifetimeObjects() {
  Entry* entry = g_newest.exchange(nullptr, std::memory_order_acquire);
  while (entry != nullptr) {
    Entry* next = entry->next;
    entry->release();
    delete entry;
    entry = next;
  }
}

}  // namespace tulix
