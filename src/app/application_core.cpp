#include "app/application_core.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/site_list.h"
#include "definitions/word_lists.h"
#include "engine/browser.h"
#include "family/family_dictionary.h"
#include "family/family_mode.h"
#include "jobs/job_manager.h"
#include "mail/mail_alert.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "platform/single_instance.h"
#include "results/result_filter.h"
#include "results/saved_search.h"
#include "update/upgrade_job.h"
#include "update/upgrade_list.h"

namespace tulix {
namespace {

// The engine set a program below this version lacks (or has only in part).
constexpr double kRequiredEngineSetVersion = 1.5;
// How long shutdown waits for pages still being downloaded for the browser.
constexpr std::chrono::seconds kBrowserRequestWait{5};

// A program without a window cannot ask for the family password: it answers as Cancel does,
// which keeps family mode on.
class NoPasswordPrompt : public PasswordPrompt {
 public:
  std::optional<std::string> AskPassword() override { return std::nullopt; }
};

bool ProgramFolderChosenByDefault(const StartupOptions& options) {
  const char* home = std::getenv("TULIX_HOME");
  return options.programFolder.empty() && (home == nullptr || *home == '\0');
}

// The engine set a new default program folder starts with: the one the options name, else the
// real set while no update server is set (nothing else could supply engines then). With an
// update server set, none: the start-up engine check downloads that server's set, and a seeded
// set would keep it from doing so.
std::string BundledEngineSetToSeed(const StartupOptions& options) {
  if (!options.bundledEngineSet.empty()) {
    return options.bundledEngineSet;
  }
  return UpdateServerIsSet() ? std::string() : BundledDataFolder() + "/engines/real";
}

}  // namespace

JobSystemOptions CommandLinePacing() {
  JobSystemOptions options;
  options.manager.firstTickMs = 1;
  options.manager.tickMs = 1;
  options.manager.startAllDue = true;
  options.dispatcherPause = std::chrono::milliseconds(0);
  return options;
}

std::string BundledDataFolder() {
  const char* data = std::getenv("TULIX_DATA");
  return ChooseBundledDataFolder(data != nullptr ? data : "", TULIX_DATA_DIR, ExecutableFolder());
}

std::string ChooseBundledDataFolder(const std::string& environment, const std::string& configured,
                                    const std::string& executableFolder) {
  if (!environment.empty()) {
    return environment;
  }
  // A program run from its build finds the data of the checkout it was built from; an
  // installed one finds it beside its bin folder, wherever the package put both.
  if (executableFolder.empty() || FolderExists(configured)) {
    return configured;
  }
  return (std::filesystem::path(executableFolder) / ".." / "share" / "tulix")
      .lexically_normal()
      .string();
}

bool SeedProgramFolder(const std::string& programFolder, const std::string& bundledSet) {
  namespace fs = std::filesystem;
  const fs::path categories = ToFileSystemPath(JoinPath(programFolder, "categories"));
  const fs::path source = ToFileSystemPath(bundledSet);
  std::error_code error;
  if (fs::exists(categories, error) || !fs::is_directory(source, error)) {
    return false;
  }
  // Copied beside the final name and renamed into place, so an interrupted copy never leaves a
  // categories folder that looks complete.
  const fs::path partial = categories.string() + ".seeding";
  fs::remove_all(partial, error);
  fs::copy(source, partial, fs::copy_options::recursive, error);
  if (error) {
    LogMessage(0, kLogError, "Could not copy the engine set %s: %s", bundledSet.c_str(),
               error.message().c_str());
    fs::remove_all(partial, error);
    return false;
  }
  fs::rename(partial, categories, error);
  if (error) {
    LogMessage(0, kLogError, "Could not install the engine set in %s: %s",
               categories.string().c_str(), error.message().c_str());
    fs::remove_all(partial, error);
    return false;
  }
  SetEngineSetVersion(kRequiredEngineSetVersion);
  return true;
}

ApplicationCore::ApplicationCore(EventLoop& loop) : m_loop(loop) {}

ApplicationCore::~ApplicationCore() {
  Shutdown();
}

StartResult ApplicationCore::Start(const StartupOptions& options) {
  if (options.singleInstance) {
    m_instance = std::make_unique<SingleInstance>();
    if (!m_instance->Acquire()) {
      m_instance->AskFirstToShow();
      m_instance.reset();
      return StartResult::kAnotherCopyRuns;
    }
  }
  OpenFolderAndLog(options);

  // The family word list, then the settings key with the program folder, then the settings.
  m_app->familyDictionary = std::make_shared<FamilyDictionary>();
  m_app->familyDictionary->LoadDictionary(JoinPath(GetProgramFolder(), "dictionary.bin"));
  m_app->registry().SetString(std::string(kRegistryRoot) + "\\Behaviour", "Path",
                              GetProgramFolder());
  LoadSettings();
  if (ProgramFolderChosenByDefault(options)) {
    const std::string bundledSet = BundledEngineSetToSeed(options);
    if (!bundledSet.empty()) {
      SeedProgramFolder(GetProgramFolder(), bundledSet);
    }
  }

  // The lists exist (empty) before anything can read them; they are filled at the end.
  m_app->badKeywords = std::make_shared<WeightedWordList>();
  m_app->shoppingKeywords = std::make_shared<WeightedWordList>();
  m_app->sites = std::make_shared<SiteList>();
  m_app->resultFilter = std::make_shared<ResultFilter>(*m_app);

  StartJobSystem(*m_app, m_loop, options.jobs);
  m_jobSystemRunning = true;
  RegisterHooks();

  NoPasswordPrompt noPrompt;
  ApplyStartupFamilyPolicy(options.familyPrompt != nullptr ? *options.familyPrompt : noPrompt);

  LoadTreesAndLists();
  m_app->jobManager->StartTimer();
  if (options.checkEngines) {
    CheckEngines();
  }
  m_started = true;
  return StartResult::kStarted;
}

void ApplicationCore::OpenFolderAndLog(const StartupOptions& options) {
  std::string folder = options.programFolder.empty() ? ProgramFolder() : options.programFolder;
  MakeFolders(folder);
  m_app = std::make_unique<TulixApplication>(folder, options.registryPath);
  m_scope = std::make_unique<ScopedApplication>(*m_app);
  // The empty index file only lets the browser that opens ".htm" files be found.
  m_app->settings().indexFile = JoinPath(folder, "index.htm");
  WriteFileAtomically(m_app->settings().indexFile, "");
  if (options.openLog) {
    OpenLog(folder);
  }
}

void ApplicationCore::RegisterHooks() {
  // A family-mode violation is mailed from the sender's own thread, never from the thread that
  // logged it.
  m_alertSender = std::make_unique<MailAlertSender>();
  SetAlertSender(m_alertSender.get());
  InstallEngineBrowserLauncher();
  InstallUpgradeJobStarter();
  UpgradeJobHooks hooks;
  hooks.resubmitSearch = [](const std::string& name) {
    if (SavedSearch* search = FindSearch(name)) {
      search->Submit(false);
    }
  };
  SetUpgradeJobHooks(std::move(hooks));
}

void ApplicationCore::LoadTreesAndLists() {
  {
    std::unique_ptr<Tree> categories = ScanCategoryTree();
    auto hold = ChangeCategoryTree();
    m_app->categoryTree = std::move(categories);
  }
  m_app->searchTree = ScanSavedSearches();
  m_app->sites->Load(GetSitesFile());
  LoadBadKeywords();
  LoadShoppingKeywords();
}

void ApplicationCore::CheckEngines() {
  bool haveWeb;
  {
    auto hold = ReadCategoryTree();
    haveWeb = FindCategoryByName("web") != nullptr;
  }
  if (GetEngineSetVersion() >= kRequiredEngineSetVersion && haveWeb) {
    return;
  }
  LogMessage(kLogStatusBar | kLogMessageBox, kLogPlain,
             "Tulix needs to download search engines, please be patient whilst this process "
             "takes place");
  m_engineDownload = CUpgradeCategoryJob::MakeFullDownload();
  m_app->jobManager->AddJob(m_engineDownload);
}

void ApplicationCore::Shutdown() {
  if (m_app == nullptr) {
    return;
  }
  CancelBrowserRequests();
  WaitForBrowserRequests(kBrowserRequestWait);
  if (m_jobSystemRunning) {
    StopJobSystem(*m_app);
    m_jobSystemRunning = false;
  }
  SetUpgradeJobHooks({});
  SetUpgradeJobStarter(nullptr);
  // Alerts already logged still go out before the program ends.
  SetAlertSender(nullptr);
  m_alertSender.reset();
  if (m_started) {
    SaveSettings();
  }
  m_engineDownload.reset();
  // The views' hooks and the trees go before the lists the filter reads, in the reverse of the
  // order they were made.
  m_app->searchView.reset();
  m_app->searchTree.reset();
  {
    auto hold = ChangeCategoryTree();
    m_app->categoryTree.reset();
  }
  m_app->resultFilter.reset();
  m_app->sites.reset();
  m_app->shoppingKeywords.reset();
  m_app->badKeywords.reset();
  m_app->familyDictionary.reset();
  m_scope.reset();
  m_app.reset();
  m_instance.reset();
  m_started = false;
}

}  // namespace tulix
