// The application object: one place that holds what the whole program shares (settings, the
// registry store, and, as the program grows, the trees, lists, job manager and the rest). The
// desktop program, the library, the command-line tools and each test build one, so a test can
// make a fresh world in a fresh folder and throw it away.
//
// Code reaches the current instance through App(). The instance is installed by its creator
// with ScopedApplication for the life of the program (or the test) before any other thread runs.
//
// Thread safety: the object itself is built and torn down on one thread; its members say what
// they allow. Worker threads read single settings fields without a lock.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "base/settings.h"

namespace tulix {

class CJobManager;
class CThreadPool;
class Dispatcher;
class HttpSession;
class RegistryStore;
class RunQueue;
class SiteList;
class Tree;
class WeightedWordList;

class TulixApplication {
 public:
  // Opens the registry store at `registryPath` (empty: the per-user default) and sets the
  // program folder. Settings keep their defaults until LoadSettings.
  TulixApplication(std::string programFolder, std::string registryPath = {});
  ~TulixApplication();
  TulixApplication(const TulixApplication&) = delete;
  TulixApplication& operator=(const TulixApplication&) = delete;

  RegistryStore& registry() { return *m_registry; }
  AppSettings& settings() { return m_settings; }

  // What higher layers own, created by the code that builds the application (each layer knows
  // its own types; this object only holds them). shared_ptr lets a low header hold a type it
  // only declares. Tear-down happens in the reverse order of creation, by the builder.
  std::shared_ptr<WeightedWordList> badKeywords;
  std::shared_ptr<WeightedWordList> shoppingKeywords;
  std::shared_ptr<SiteList> sites;
  std::shared_ptr<Tree> categoryTree;
  // Guards categoryTree itself, the shape of that tree and the fields of its categories, so
  // that the upgrade job can install on its worker while searches read. Taken through
  // ReadCategoryTree / ChangeCategoryTree (definitions/category.h), which say who holds it how.
  std::shared_mutex categoryTreeLock;
  std::shared_ptr<Tree> searchTree;
  // The job machinery (src/jobs): the run queue with the orphan list and the exiting flag, the
  // worker pool, the job manager and the dispatcher thread.
  std::shared_ptr<RunQueue> runQueue;
  std::shared_ptr<CThreadPool> threadPool;
  std::shared_ptr<CJobManager> jobManager;
  std::shared_ptr<Dispatcher> dispatcher;

  // Family mode: on while the program hides what is not family-safe.
  std::atomic<bool> familyModeOn{false};

  // The internet session every page fetch shares, made on first use (GetSession in
  // engine/page_fetcher.h) under internetSessionLock.
  std::mutex internetSessionLock;
  std::shared_ptr<HttpSession> internetSession;

 private:
  std::unique_ptr<RegistryStore> m_registry;
  AppSettings m_settings;
};

// The current application object. Calling it when none is installed is a programming error.
TulixApplication& App();
bool HasApp();

// Makes `app` the current application object for the scope, then restores the previous one.
class ScopedApplication {
 public:
  explicit ScopedApplication(TulixApplication& app);
  ~ScopedApplication();
  ScopedApplication(const ScopedApplication&) = delete;
  ScopedApplication& operator=(const ScopedApplication&) = delete;

 private:
  TulixApplication* m_previous;
};

}  // namespace tulix
