#include "jobs/thread_pool.h"

#include <algorithm>
#include <stdexcept>

#include "base/log.h"
#include "jobs/job.h"
#include "jobs/mcl_sync.h"

namespace tulix {

void CThreadList::Add(CWorkerThread* thread) {
  CMclAutoLock lock(ThreadListLock());
  m_entries.push_back(thread);
}

void CThreadList::Remove(CWorkerThread* thread) {
  if (!RemoveIfPresent(thread)) {
    LogMessage(0, kLogError, "Thread not found in %s", m_name.c_str());
  }
}

bool CThreadList::RemoveIfPresent(const CWorkerThread* thread) {
  CMclAutoLock lock(ThreadListLock());
  auto it = std::find(m_entries.begin(), m_entries.end(), thread);
  if (it == m_entries.end()) {
    return false;
  }
  m_entries.erase(it);
  return true;
}

void CThreadList::RemoveAt(int index) {
  CMclAutoLock lock(ThreadListLock());
  if (index < 0 || index >= static_cast<int>(m_entries.size())) {
    throw std::out_of_range("thread list index");
  }
  m_entries.erase(m_entries.begin() + index);
}

int CThreadList::Find(const CWorkerThread* thread) const {
  CMclAutoLock lock(ThreadListLock());
  auto it = std::find(m_entries.begin(), m_entries.end(), thread);
  return it == m_entries.end() ? -1 : static_cast<int>(it - m_entries.begin());
}

int CThreadList::Count() const {
  CMclAutoLock lock(ThreadListLock());
  return static_cast<int>(m_entries.size());
}

CWorkerThread* CThreadList::GetAt(int index) const {
  CMclAutoLock lock(ThreadListLock());
  return m_entries.at(static_cast<size_t>(index));
}

std::vector<CWorkerThread*> CThreadList::Snapshot() const {
  CMclAutoLock lock(ThreadListLock());
  return m_entries;
}

CThreadPool::CThreadPool(const std::atomic<bool>& exiting) : m_exiting(exiting) {}

CThreadPool::~CThreadPool() {
  Shutdown();
}

CWorkerThread* CThreadPool::GetThread() {
  if (CWorkerThread* thread = TakeAvailable()) {
    return thread;
  }
  return CreateWorker();
}

// Walks the available list from its last entry down. A worker being released can be seen in
// both lists for a moment, and each test below repairs one way the lists can disagree; the
// offending entry is dropped and the walk goes on.
CWorkerThread* CThreadPool::TakeAvailable() {
  for (int i = m_available.UpperBound(); i >= 0; --i) {
    try {
      CWorkerThread* thread = m_available.GetAt(i);
      if (thread->Go()) {
        LogMessage(0, kLogError, "running thread registered as available");
        m_available.RemoveAt(i);
      } else if (m_running.Find(thread) >= 0) {
        LogMessage(0, kLogError, "running thread found in available thread list");
        m_available.RemoveAt(i);
      } else {
        m_available.RemoveAt(i);
        m_running.Add(thread);
        return thread;
      }
    } catch (...) {
      LogMessage(0, kLogError, "bad thread registered as available");
      try {
        m_available.RemoveAt(i);
      } catch (...) {
        // The entry has gone already.
      }
    }
  }
  return nullptr;
}

CWorkerThread* CThreadPool::CreateWorker() {
  try {
    auto thread = std::make_unique<CWorkerThread>(this);
    thread->Create(CWorkerThread::kCreateSuspended, 0, nullptr);
    CWorkerThread* raw = thread.get();
    {
      CMclAutoLock lock(ThreadListLock());
      m_owned.push_back(std::move(thread));
    }
    m_running.Add(raw);
    m_all.Add(raw);
    return raw;
  } catch (...) {
    LogMessage(kLogStatusBar | kLogMessageBox, kLogFatal, "Cannot create thread");
    return nullptr;  // not reached: a fatal line ends the program
  }
}

void CThreadPool::Release(CWorkerThread* thread) {
  m_running.Remove(thread);
  thread->SuspendSelf();
  PostMessage(thread->NotifyWindow(), kMsgWorkerReleased, 0,
              static_cast<intptr_t>(thread->GetHandle()));
  thread->Park();
}

void CThreadPool::RemoveRunning(CWorkerThread* thread) {
  m_running.Remove(thread);
}

void CThreadPool::AddAvailable(CWorkerThread* thread) {
  m_available.Add(thread);
}

void CThreadPool::Retire(CWorkerThread* thread) {
  // The worker may already have left running (its own Release, or the Stop that terminated it),
  // so a missing entry is expected here and not an error.
  m_running.RemoveIfPresent(thread);
  m_available.RemoveIfPresent(thread);
  m_all.RemoveIfPresent(thread);
  std::unique_ptr<CWorkerThread> owned;
  {
    CMclAutoLock lock(ThreadListLock());
    auto it = std::find_if(m_owned.begin(), m_owned.end(),
                           [thread](const auto& entry) { return entry.get() == thread; });
    if (it != m_owned.end()) {
      owned = std::move(*it);
      m_owned.erase(it);
    }
  }
  // Joined outside the lock: the thread's last steps must not wait for a list operation.
  if (owned) {
    owned->Join();
  }
}

size_t CThreadPool::OwnedCount() const {
  CMclAutoLock lock(ThreadListLock());
  return m_owned.size();
}

CWorkerThread* CThreadPool::FindByHandle(uintptr_t handle) const {
  for (CWorkerThread* thread : m_all.Snapshot()) {
    if (thread->GetHandle() == handle) {
      return thread;
    }
  }
  return nullptr;
}

void CThreadPool::Shutdown() {
  std::vector<CWorkerThread*> threads = m_all.Snapshot();
  for (CWorkerThread* thread : threads) {
    thread->Terminate(0);
  }
  for (CWorkerThread* thread : threads) {
    thread->Join();
  }
}

}  // namespace tulix
