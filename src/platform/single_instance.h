// Makes sure only one copy of the desktop program runs per user and settings store, and lets a
// second copy bring the first one's window to the front.
//
// Two things stand in for the flags Windows kept in memory shared by every copy:
// - "a copy is running" is an exclusive lock (flock) on a lock file. The first copy holds it for
//   its whole life; the system releases it when the process ends, however it ends, so a crash
//   never leaves a stale lock behind.
// - "its window is ready" is a local socket beside the lock file. The first copy opens it once
//   its start-up is complete (PublishWindow); a second copy connects and asks for the window.
//   A second copy that finds nothing listening knows the first is still starting.
//
// Both live in $XDG_RUNTIME_DIR, or, when that is not set, in the folder of the settings store
// (RegistryStore::DefaultPath()). Their names carry the user id and a hash of the settings
// store's path, so copies working on different stores (tests, each with its own TULIX_REGISTRY)
// never meet. Both are readable and writable by their owner only; a symbolic link planted at
// either name is never followed.
//
// Ownership: the object owns the lock, the socket and the thread that answers on it; the
// destructor stops the thread, removes the socket and releases the lock. The descriptors are
// closed on exec, so programs started from here (a browser) never inherit the lock.
//
// Thread safety: Acquire, PublishWindow and AskFirstToShow are meant for the thread that starts
// the program and must not be called at the same time on one object. The show callback runs on
// the socket's own thread.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace tulix {

class SingleInstance {
 public:
  // Works out the names; nothing is opened yet.
  SingleInstance();
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the lock: true when this is the only copy (it then keeps the lock until the object
  // goes or the process ends), false when another copy holds it or the lock file cannot be
  // opened. Calling it again after success returns true.
  bool Acquire();

  // For the copy that holds the lock, once its window exists: opens the socket and answers each
  // copy that asks by calling `showWindow` on the socket's thread (a user interface posts the
  // real work to its own thread from there). False when the lock is not held, the socket cannot
  // be opened, or the window was published already.
  bool PublishWindow(std::function<void()> showWindow);

  // For a copy whose Acquire failed: asks the first copy to show its window. True when it
  // answered that it did; false when nothing listens (the first copy is still starting, or its
  // socket belongs to someone else) or no answer came within a few seconds.
  bool AskFirstToShow();

  // The file-system paths in use, for tests and diagnostics.
  const std::string& LockPath() const { return m_lockPath; }
  const std::string& SocketPath() const { return m_socketPath; }

 private:
  void Serve();
  void AnswerOne(int connection);

  std::string m_folder;
  std::string m_lockPath;
  std::string m_socketPath;
  int m_lockFd = -1;
  int m_listenFd = -1;
  int m_stopFd = -1;  // an eventfd that wakes the socket's thread to end it
  std::function<void()> m_showWindow;
  std::thread m_thread;
};

}  // namespace tulix
