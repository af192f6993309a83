#include "jobs/mcl_sync.h"

#include <atomic>

#include "platform/program_lifetime.h"

namespace tulix {

namespace {

std::atomic<uintptr_t> g_nextHandle{1};
std::atomic<int> g_openHandles{0};

}  // namespace

CMclKernel::~CMclKernel() {
  CloseHandle();
}

int CMclKernel::OpenHandleCount() {
  return g_openHandles.load();
}

void CMclKernel::CreateHandle() {
  CloseHandle();
  m_handle = g_nextHandle.fetch_add(1);
  g_openHandles.fetch_add(1);
  m_status = 0;
}

void CMclKernel::CloseHandle() {
  if (IsValid()) {
    g_openHandles.fetch_sub(1);
  }
  m_handle = kNullHandle;
}

CMclAutoLock::~CMclAutoLock() {
  // Released in the order the sources are checked: raw locks first, then the critical section.
  // Exactly one is set.
  if (m_rawRecursive != nullptr) {
    m_rawRecursive->unlock();
  } else if (m_raw != nullptr) {
    m_raw->unlock();
  } else if (m_section != nullptr) {
    m_section->Leave();
  }
}

// Function-local statics: built on first use, so they exist before any static constructor or
// thread could need them, and never destroyed before a thread that still runs at exit.
CMclCriticalSection& JobQueueLock() {
  static auto& lock = MakeProgramLifetime<CMclCriticalSection>();
  return lock;
}

CMclCriticalSection& ThreadListLock() {
  static auto& lock = MakeProgramLifetime<CMclCriticalSection>();
  return lock;
}

}  // namespace tulix
