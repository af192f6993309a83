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
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "base/settings.h"

namespace tulix {

class CJobManager;
class CThreadPool;
class Dispatcher;
class FamilyDictionary;
class FamilyModeHooks;
class HttpSession;
class RegistryStore;
class ResultFilter;
class RunQueue;
class SearchViewHooks;
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
  // What the front end does when a search is submitted, completes or loses its file
  // (results/saved_search.h); none in a bare core. Main thread.
  std::shared_ptr<SearchViewHooks> searchView;
  // The job machinery (src/jobs): the run queue with the orphan list and the exiting flag, the
  // worker pool, the job manager and the dispatcher thread.
  std::shared_ptr<RunQueue> runQueue;
  std::shared_ptr<CThreadPool> threadPool;
  std::shared_ptr<CJobManager> jobManager;
  std::shared_ptr<Dispatcher> dispatcher;

  // Family mode (family/family_mode.h): 1 while the program hides what is not family-safe. Not
  // stored; start-up sets it from the family policy. Atomic because workers read it unlocked.
  std::atomic<int32_t> FamilyMode{0};
  // The censor dictionary, loaded from dictionary.bin at start-up.
  std::shared_ptr<FamilyDictionary> familyDictionary;
  // What family mode needs of the views (status bar, tasks pane, trees, results pane); none
  // until the desktop program registers its own.
  std::shared_ptr<FamilyModeHooks> familyHooks;
  // The hit, engine and result filter (results/result_filter.h); it reads sites,
  // shoppingKeywords and the settings at each call, so those pointers must not be replaced
  // once searches run (the lists change in place, under their own locks).
  std::shared_ptr<ResultFilter> resultFilter;

  // The results lock: guards both result lists of every saved search, their scores and the
  // searches' Found counts. Search jobs merge hits under it on their worker threads; the
  // user-interface thread takes it around every read or change of a search's lists. It is
  // re-entrant, as a critical section is: an operation that holds it calls others that take it
  // again (deleting a result saves the rest, visiting one saves it), and the results view,
  // told of a change while the lock is held, reads the list it was told about. Take it with no
  // job-machinery lock held; only the log's message-box lock may be taken inside it.
  std::recursive_mutex resultsLock;

  // The internet session every page fetch shares, made on first use (GetSession in
  // engine/page_fetcher.h) under internetSessionLock.
  std::mutex internetSessionLock;
  std::shared_ptr<HttpSession> internetSession;

  // Set by the first update notice of the run: later notices are not shown again. Main thread.
  bool updateNoticeShown = false;

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
