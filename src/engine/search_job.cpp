#include "engine/search_job.h"

#include <optional>
#include <utility>

#include "base/application.h"
#include "definitions/category.h"
#include "engine/page_fetcher.h"
#include "engine/script_runner.h"
#include "jobs/job_manager.h"
#include "platform/trace.h"

namespace tulix {

CSearchJob::CSearchJob(const EngineDefinition& engine, SearchJobTarget& search)
    : m_engine(engine),
      m_search(search),
      m_query(search.Query()),
      m_sink(search.MakeHitSink()),
      m_walk(engine, m_query, *m_sink, this) {}

std::string CSearchJob::GetName() const {
  return "Searching " + m_engine.DisplayName() + " for " + m_query.text;
}

bool CSearchJob::IsRunnable() const {
  if (!HasApp() || !App().jobManager) {
    return true;
  }
  const CJobManager& manager = *App().jobManager;
  for (size_t i = 0; i < manager.JobCount(); ++i) {
    if (manager.JobAt(i)->UpgradesCategory(m_query.category)) {
      return false;
    }
  }
  return true;
}

bool CSearchJob::IsFamilySafe() const {
  if (m_engine.Data()->familySafe == 0) {
    return false;
  }
  auto hold = ReadCategoryTree();
  const CategoryNode* category = FindCategoryByName(m_query.category);
  return category == nullptr || category->familySafe != 0;
}

int CSearchJob::Start(WindowHandle notifyWindow) {
  SetNotifyWindow(notifyWindow);
  Init(&CSearchJob::RunSearch);
  Submit();
  return 1;
}

void CSearchJob::OnFinished(int code) {
  m_search.EngineFinished(*this, code);
  CJob::OnFinished(code);
}

int CSearchJob::GetResultCount() const {
  return m_walk.AcceptedHits();
}

int CSearchJob::GetDesiredResultCount() const {
  return m_walk.DesiredResults();
}

void CSearchJob::ShowStatusText(const std::string& text) {
  JobObserver* observer = HasApp() && App().jobManager ? App().jobManager->Observer() : nullptr;
  if (observer == nullptr) {
    return;
  }
  if (text == "CLEAR") {
    observer->RemoveTaskRow(JobId());
    return;
  }
  observer->ShowTaskRow(
      {JobId(), m_engine.DisplayName(), "Search", m_engine.BuildQueryText(m_query), text});
}

void CSearchJob::RunSearch(CJob& job) {
  auto& self = static_cast<CSearchJob&>(job);
  Trace("In Search Job Thread: %s\n", self.GetName().c_str());
  const int success = self.Run();
  if (UsesBrowserLibraryJobStates()) {
    // The results page reads the results from here on.
    self.SetState(kLibraryStateFormatResult);
  }
  Trace("Completed Search Job %s", self.GetName().c_str());
  self.PostFinished(success);
}

void CSearchJob::VisitHome() {
  std::optional<RequestSpec> home = HomePageRequest(*m_engine.Data());
  if (!home || StopRequested()) {
    return;
  }
  // Only the visit matters to such servers (a cookie, a session); the page is not used.
  std::string page;
  m_walk.Fetch(*home, page);
}

int CSearchJob::Run() {
  ScriptRunner runner(m_engine);
  VisitHome();
  int success = 0;
  int pagesWithoutProgress = 0;
  do {
    const int acceptedBefore = m_walk.AcceptedHits();
    RequestSpec request = m_walk.BuildNextRequest(runner);
    if (m_walk.WasFetched(request)) {
      continue;  // a page queued again: never fetched twice, so a script cannot loop on it
    }
    m_walk.MarkFetched(request);
    if (StopRequested()) {
      break;
    }
    std::string page;
    if (m_walk.Fetch(request, page) != kFetchOk) {
      success = 0;
      break;
    }
    SetState(kStateParsingPage);
    m_walk.ProcessPage(runner, request, page);
    SetState(kStateParsedPage);
    success = 1;
    if (m_walk.AcceptedHits() != acceptedBefore) {
      pagesWithoutProgress = 0;
    } else if (++pagesWithoutProgress >= kMaxPagesWithoutProgress) {
      break;
    }
  } while (!StopRequested() && m_walk.HasQueuedRequests() &&
           m_walk.AcceptedHits() < m_walk.DesiredResults());
  return success;
}

}  // namespace tulix
