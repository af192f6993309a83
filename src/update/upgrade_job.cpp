#include "update/upgrade_job.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <utility>

#include "base/application.h"
#include "base/decimal_number.h"
#include "base/log.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "definitions/site_list.h"
#include "definitions/word_lists.h"
#include "engine/browser.h"
#include "jobs/job_manager.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace tulix {
namespace {

// The category a full download fills when the program has none yet.
constexpr char kFullDownloadCategory[] = "web";

std::atomic<bool> g_inBrowserLibrary{false};

std::mutex& HooksLock() {
  static std::mutex lock;
  return lock;
}
UpgradeJobHooks& Hooks() {
  static UpgradeJobHooks hooks;
  return hooks;
}

std::string NameOf(const CategoryNode* category) {
  if (category == nullptr) {
    return kFullDownloadCategory;
  }
  auto hold = ReadCategoryTree();
  return category->name;
}

// True when the category whose folder is `folder` (a path below the categories folder) is in
// the tree and its file is on disk.
bool IsCategoryInstalled(const std::string& folder) {
  {
    auto hold = ReadCategoryTree();
    Tree* tree = App().categoryTree.get();
    if (tree != nullptr && dynamic_cast<CategoryNode*>(tree->FindFolder(folder)) == nullptr) {
      return false;
    }
  }
  return FileExists(JoinPath(GetCategoriesFolder(), folder + ".cat"));
}

}  // namespace

UpgradeJobHooks CurrentUpgradeJobHooks() {
  std::lock_guard<std::mutex> lock(HooksLock());
  return Hooks();
}

void SetUpgradeJobHooks(UpgradeJobHooks hooks) {
  std::lock_guard<std::mutex> lock(HooksLock());
  Hooks() = std::move(hooks);
}

void RunUpgradeJobsInBrowserLibrary(bool inLibrary) {
  g_inBrowserLibrary.store(inLibrary);
}

void InstallUpgradeJobStarter() {
  SetUpgradeJobStarter([](CategoryNode& category) {
    if (!HasApp() || App().jobManager == nullptr) {
      return false;
    }
    auto job = std::make_shared<CUpgradeCategoryJob>(&category);
    Trace("create upgrade job:%s\n", job->GetName().c_str());
    App().jobManager->AddJob(job);
    return true;
  });
}

CUpgradeCategoryJob::CUpgradeCategoryJob(CategoryNode* category)
    : CUpgradeCategoryJob(category, std::string()) {}

CUpgradeCategoryJob::CUpgradeCategoryJob(CategoryNode* category, std::string categoryNames)
    : m_category(category),
      m_categoryName(NameOf(category)),
      m_categoryNames(std::move(categoryNames)),
      m_inBrowserLibrary(g_inBrowserLibrary.load()) {}

std::shared_ptr<CUpgradeCategoryJob> CUpgradeCategoryJob::MakeFullDownload() {
  auto job = std::make_shared<CUpgradeCategoryJob>(FindCategoryByName(kFullDownloadCategory));
  job->SetFullDownload(true);
  return job;
}

std::string CUpgradeCategoryJob::GetName() const {
  if (m_inBrowserLibrary) {
    return "Checking for new/changed search engines " + m_categoryName;
  }
  std::string names;
  for (const std::string& name : SplitCategoryNames(m_categoryNames)) {
    names += names.empty() ? name : ", " + name;
  }
  return "Checking for new/changed " + m_categoryName + " search engines " + names;
}

bool CUpgradeCategoryJob::UpgradesCategory(const std::string& categoryName) const {
  if (categoryName == m_categoryName) {
    return true;
  }
  for (const std::string& name : SplitCategoryNames(m_categoryNames)) {
    if (name == categoryName) {
      return true;
    }
  }
  return false;
}

void CUpgradeCategoryJob::ShowStatusText(const std::string& text) {
  const UpgradeJobHooks hooks = CurrentUpgradeJobHooks();
  if (hooks.showTaskRow) {
    hooks.showTaskRow(JobId(), m_categoryName, "check", "upgrades", text);
  }
}

int CUpgradeCategoryJob::Start(WindowHandle notifyWindow) {
  SetNotifyWindow(notifyWindow);
  Init(&CUpgradeCategoryJob::WorkRoutine);
  Submit();
  return 1;
}

void CUpgradeCategoryJob::WorkRoutine(CJob& job) {
  auto& self = static_cast<CUpgradeCategoryJob&>(job);
  int code = kResultFailure;
  try {
    code = self.Run();
  } catch (const CTaskException&) {
    // Asked to stop: what was installed stays, the rest counts as failed.
  } catch (const std::exception& e) {
    LogMessage(0, kLogError, "Upgrade stopped: %s", e.what());
  }
  self.PostFinished(code);
}

int CUpgradeCategoryJob::Run() {
  m_deadline = UpdateClock::now() + m_timeLimit;
  if (!FetchList()) {
    return kResultFailure;
  }
  bool ok = true;
  // By index: the list grows when a category file is fetched ahead of its first engine.
  for (size_t i = 0; i < m_files.size(); ++i) {
    CheckStop();
    if (OutOfTime()) {
      LogMessage(0, kLogError, "Upgrade took too long; %zu files were not fetched",
                 m_files.size() - i);
      return kResultFailure;
    }
    const UpgradeFileEntry entry = m_files[i];
    if (ParseDecimal(entry.stamp) > ParseDecimal(m_newestStamp)) {
      m_newestStamp = entry.stamp;
    }
    if (m_inBrowserLibrary && IsWebPageEntryForBrowserLibrary(entry.path)) {
      continue;
    }
    if (IsWebPageEntry(entry.path)) {
      ok = OpenWebPage(entry) && ok;
      continue;
    }
    if (!IsSafeUpgradePath(entry.path)) {
      LogMessage(0, kLogError, "Refusing update file %s: the name leaves the categories folder",
                 entry.path.c_str());
      ok = false;
      continue;
    }
    if (entry.path.ends_with(".ini") && !EnsureCategoryOf(i)) {
      ok = false;
    }
    if (!Download(m_files[i])) {
      ok = false;
    }
  }
  return ok ? kResultSuccess : kResultFailure;
}

bool CUpgradeCategoryJob::OutOfTime() const {
  return UpdateClock::now() >= m_deadline;
}

UpgradeListQuery CUpgradeCategoryJob::BuildQuery() const {
  UpgradeListQuery query;
  if (!m_fullDownload) {
    query.ctimestamp = GetCategoryTimestamp();
    if (const CategoryNode* category = Category()) {
      auto hold = ReadCategoryTree();
      query.timestamp = category->timestamp;
    }
  }
  query.category = m_categoryNames.empty() ? m_categoryName : m_categoryNames;
  query.version = ProgramVersionText();
  query.domains = App().settings().MyDomains;
  query.fullDownload = m_fullDownload;
  query.fromBrowserLibrary = m_inBrowserLibrary;
  return query;
}

bool CUpgradeCategoryJob::FetchList() {
  std::string refused;
  const std::optional<std::string> object = BuildUpgradeListObject(BuildQuery(), &refused);
  if (!object) {
    LogMessage(0, kLogError, "Update check not sent: the %s value holds a control character",
               refused.c_str());
    return false;
  }
  std::string text;
  const UpdateFetchResult result =
      FetchFromUpdateServer(*object, kMaxUpgradeListBytes, m_deadline, text);
  if (result == UpdateFetchResult::kTooLarge) {
    LogMessage(0, kLogError, "The update list is larger than %zu bytes and was not read",
               kMaxUpgradeListBytes);
  }
  if (result != UpdateFetchResult::kOk) {
    return false;
  }
  UpgradeList list = ParseUpgradeList(text);
  if (list.skippedLines > 0) {
    LogMessage(0, kLogWarning, "%d update list lines without a numeric time stamp were skipped",
               list.skippedLines);
  }
  m_files = std::move(list.files);
  if (list.notice != 0) {
    PostReport(kMsgUpdateNotice, list.notice);
  }
  return true;
}

bool CUpgradeCategoryJob::OpenWebPage(const UpgradeFileEntry& entry) {
  if (!IsPlainHttpAddress(entry.path)) {
    LogMessage(0, kLogError, "Refusing to open %s: not a plain http address", entry.path.c_str());
    return false;
  }
  OpenInBrowser(NotifyWindow(), entry.path, false);
  return true;
}

bool CUpgradeCategoryJob::EnsureCategoryOf(size_t& index) {
  const UpgradeFileEntry& engine = m_files[index];
  const std::string folder(FolderOf(engine.path));
  if (folder.empty() || IsCategoryInstalled(folder)) {
    return true;
  }
  UpgradeFileEntry category;
  category.path = folder + ".cat";
  category.stamp = engine.stamp;
  m_files.insert(m_files.begin() + static_cast<std::ptrdiff_t>(index), category);
  ++index;  // the engine moved up by one; the walk goes on from it
  if (!Download(category)) {
    return false;
  }
  UpdateCategoryTimestamp(category.stamp);
  return true;
}

bool CUpgradeCategoryJob::Download(const UpgradeFileEntry& entry) {
  PostUpdatingEngine(entry.path);
  std::string data;
  switch (FetchFromUpdateServer(UpgradeFileObject(entry.path), kMaxUpgradeFileBytes, m_deadline,
                                data)) {
    case UpdateFetchResult::kOk:
      // A file that could not be stored (a full disk) leaves the job failed, as a failed
      // download does: the user must not be told the engines are up to date.
      return Install(entry, data);
    case UpdateFetchResult::kTooLarge:
      LogMessage(0, kLogError, "Update file %s is larger than %zu bytes and was not installed",
                 entry.path.c_str(), kMaxUpgradeFileBytes);
      return false;
    case UpdateFetchResult::kOutOfTime:
    case UpdateFetchResult::kFailed:
      break;
  }
  LogMessage(0, kLogWarning, "Update file %s could not be downloaded", entry.path.c_str());
  return false;
}

bool CUpgradeCategoryJob::Install(const UpgradeFileEntry& entry, const std::string& data) {
  const std::string& path = entry.path;
  if (path == "keywords.txt") {
    m_keywordsChanged = true;
    return InstallFile(path, data);
  }
  const std::string_view kind =
      std::string_view(path).substr(path.size() < 4 ? 0 : path.size() - 4);
  if (kind == ".ini") {
    return InstallEngineDefinition(path, data);
  }
  if (kind == ".ico") {
    return InstallIcon(path, data);
  }
  if (kind == ".sit") {
    return InstallSites(path, data);
  }
  if (kind == ".cat") {
    return InstallCategory(path, data, entry.stamp);
  }
  if (kind == ".exe" || kind == ".bat") {
    return InstallAndRun(path, data);
  }
  return InstallFile(path, data);
}

CategoryNode* CUpgradeCategoryJob::Category() const {
  return m_category != nullptr ? m_category : FindCategoryByName(m_categoryName);
}

void CUpgradeCategoryJob::OnFinished(int code) {
  CategoryNode* category = Category();
  if (code == kResultSuccess) {
    if (category != nullptr) {
      category->UpdateChecked();
    }
    if (m_fullDownload) {
      SetEngineSetVersion(kProgramVersion);
    }
    LogMessage(kLogStatusBar, kLogPlain, "Upgrades completed successfully");
  } else {
    LogMessage(kLogStatusBar, kLogError, "Problem completing upgrades");
  }
  if (category != nullptr) {
    auto hold = ChangeCategoryTree();
    category->SetTimestamp(m_newestStamp);
  }
  UpdateCategoryTimestamp(m_newestStamp);
  if (category != nullptr) {
    auto hold = ChangeCategoryTree();
    category->Save();
  }
  const UpgradeJobHooks hooks = CurrentUpgradeJobHooks();
  if (hooks.rebuildCategoryTree) {
    hooks.rebuildCategoryTree();
  }
  if (m_keywordsChanged) {
    LoadBadKeywords();
    LoadShoppingKeywords();
  }
  if (!m_waitingSearch.empty() && hooks.resubmitSearch) {
    hooks.resubmitSearch(m_waitingSearch);
  }
  CJob::OnFinished(code);
}

}  // namespace tulix
