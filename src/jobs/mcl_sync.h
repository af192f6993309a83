// The thin layer over locks and kernel objects that the job machinery is built on: the kernel
// object base, the process-local lock, the scoped lock, and the program-wide locks.
//
// Program-wide locks and their order. Where more than one is held they are taken in this order
// and released in reverse:
//   1. the job-queue lock (JobQueueLock): the run queue, job-list membership and job start-up;
//   2. the thread-list lock (ThreadListLock): the three lists of the worker pool; every list
//      operation takes it, and the holder of the job-queue lock calls them;
//   3. the message-box lock (MessageBoxLock() of base/log.h): held while a message box shows.
//      Any code may log, so it is always the innermost.
// The first two are re-entrant, as the dispatcher re-enters the job-queue lock while it starts
// a job.
//
// Failures that this layer treats as fatal raise the 32-bit system error code itself, thrown by
// value (a uint32_t), not an exception object.
//
// Thread safety: CMclCriticalSection and the global locks are for use from any thread; a
// CMclKernel or CMclAutoLock belongs to the code that made it.
#pragma once

#include <cstdint>
#include <mutex>

namespace tulix {

// The system's error code for an invalid handle, the status of an object not yet created.
inline constexpr uint32_t kErrorInvalidHandle = 6;

// Base of every object that owns a kernel handle. A handle is an opaque number here; 0 (null)
// and all-ones are not valid handles.
class CMclKernel {
 public:
  static constexpr uintptr_t kNullHandle = 0;
  static constexpr uintptr_t kInvalidHandleValue = ~uintptr_t{0};

  CMclKernel() = default;
  virtual ~CMclKernel();
  CMclKernel(const CMclKernel&) = delete;
  CMclKernel& operator=(const CMclKernel&) = delete;

  uintptr_t GetHandle() const { return m_handle; }
  bool IsValid() const { return m_handle != kNullHandle && m_handle != kInvalidHandleValue; }
  // The error code of the last creation attempt: kErrorInvalidHandle before any, 0 after a
  // successful one.
  uint32_t Status() const { return m_status; }

  // Handles created and not yet closed, process-wide (for tests and leak checks).
  static int OpenHandleCount();

 protected:
  // Records a successful creation: takes a fresh handle and sets the status to 0.
  void CreateHandle();
  // Records a failed creation: the status becomes `error`, the handle stays null.
  void CreationFailed(uint32_t error) { m_status = error; }
  // Closes the handle when it is valid and sets it to null.
  void CloseHandle();

  [[noreturn]] static void RaiseError(uint32_t error) { throw error; }

 private:
  uintptr_t m_handle = kNullHandle;
  uint32_t m_status = kErrorInvalidHandle;
};

// A process-local, re-entrant lock. Taken through CMclAutoLock outside this layer.
class CMclCriticalSection {
 public:
  CMclCriticalSection() = default;
  CMclCriticalSection(const CMclCriticalSection&) = delete;
  CMclCriticalSection& operator=(const CMclCriticalSection&) = delete;

  void Enter() { m_mutex.lock(); }
  void Leave() { m_mutex.unlock(); }
  // For tests: takes the lock only when it is free (or already held by this thread).
  bool TryEnter() { return m_mutex.try_lock(); }

 private:
  std::recursive_mutex m_mutex;
};

// A scoped lock: acquires its one source on construction and releases it on destruction, on
// every way out of the scope. The sources are the ones the program uses: a CMclCriticalSection,
// or a raw lock (a re-entrant one, or a plain one such as the message-box lock).
class CMclAutoLock {
 public:
  explicit CMclAutoLock(CMclCriticalSection& section) : m_section(&section) { section.Enter(); }
  explicit CMclAutoLock(std::recursive_mutex& raw) : m_rawRecursive(&raw) { raw.lock(); }
  explicit CMclAutoLock(std::mutex& raw) : m_raw(&raw) { raw.lock(); }
  ~CMclAutoLock();
  CMclAutoLock(const CMclAutoLock&) = delete;
  CMclAutoLock& operator=(const CMclAutoLock&) = delete;

 private:
  std::recursive_mutex* m_rawRecursive = nullptr;
  std::mutex* m_raw = nullptr;
  CMclCriticalSection* m_section = nullptr;
};

// The job-queue lock and the thread-list lock (see the order above). They exist for the whole
// life of the process.
CMclCriticalSection& JobQueueLock();
CMclCriticalSection& ThreadListLock();

}  // namespace tulix
