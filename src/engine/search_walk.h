// The page side of a search job: the queue of requests the engine's script keeps filling, the
// walk of one fetched page with the script, and the actions the script queues on the way
// (collecting and handing over results, queueing further pages, keeping values for later
// requests). The search job adds the fetching loop around it: take BuildNextRequest(), skip it
// when WasFetched(), fetch it, MarkFetched(), ProcessPage(), until it has enough hits.
//
// A walk makes progress through its page: a script that keeps handing the same token back to
// itself (rewinding forever) is stopped after a generous number of visits to one token, with a
// logged error, so a broken engine definition can never hang a job.
//
// Ownership: the walk owns its request queue and the fetched requests. It refers to the engine,
// the search and the hit sink, which must outlive it.
//
// Thread safety: one walk belongs to one job and is used by that job's worker thread only,
// except AcceptedHits, which the job manager reads on the main thread for its progress text.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/engine_definition.h"
#include "engine/script_actions.h"
#include "engine/script_runner.h"

namespace tulix {

class CJob;

class SearchWalk {
 public:
  // `job` may be null (the engine author's tool walks pages without a job); it is only put into
  // the hits.
  SearchWalk(const EngineDefinition& engine, const SearchQuery& search, HitSink& sink,
             CJob* job = nullptr);

  // The first call builds the first request from the engine's template and queues it as entry
  // 0; later calls take the next queued entry with the runner's saved input values and the
  // entry's variables set into it and its placeholders substituted.
  RequestSpec BuildNextRequest(const ScriptRunner& runner);
  // A request with the same host, object, port, extra and verb was fetched already.
  bool WasFetched(const RequestSpec& request) const;
  void MarkFetched(const RequestSpec& request);
  // More queued requests remain after the ones taken.
  bool HasQueuedRequests() const;
  // Fetches the request for the walk's job (FetchPage, page_fetcher.h), counting the page into
  // PagesFetched; returns the fetcher's code.
  int Fetch(RequestSpec& request, std::string& page);

  // Walks one fetched page with the script: links made absolute against the request's page
  // address, each token stepped, collected, and its actions carried out, until the search has
  // enough hits or the script finishes the page.
  void ProcessPage(ScriptRunner& runner, const RequestSpec& request, std::string_view page);
  // Carries out the runner's queued actions in order and clears them.
  void ExecuteActions(ScriptRunner& runner);

  const std::vector<RequestSpec>& Queue() const { return m_queue; }
  int NextRequestIndex() const { return m_nextRequest; }
  int AcceptedHits() const { return m_acceptedHits.load(std::memory_order_relaxed); }
  int DesiredResults() const { return m_desiredResults; }
  int PagesFetched() const { return m_pagesFetched; }
  // The HTTP status of the last page fetched (0 when none arrived): an engine that answers
  // with an error page has not really been asked, though the page is walked like any other.
  int LastStatus() const { return m_lastStatus; }
  void AddPageFetched() { ++m_pagesFetched; }
  const EngineDefinition& Engine() const { return m_engine; }
  const SearchQuery& Search() const { return m_search; }

 private:
  // The first request of the search: queue entry 0, or built from the template when no
  // request has been taken yet (a page walked without the fetching loop).
  RequestSpec FirstRequest(const ScriptRunner& runner) const;
  void QueuePage(const ScriptRunner& runner, std::string_view link, int verb,
                 const std::string& startState);
  void RepeatFirstRequest(const ScriptRunner& runner);
  void HandOverHit(const std::string& collected);

  const EngineDefinition& m_engine;
  // The engine's record taken when the walk began: every hit of the walk is extracted with
  // the same values, even when an install replaces the engine's record meanwhile.
  std::shared_ptr<const EngineData> m_data;
  const SearchQuery& m_search;
  HitSink& m_sink;
  CJob* m_job;
  std::vector<RequestSpec> m_queue;
  std::vector<RequestSpec> m_fetched;
  // The address of the page being walked, against which the links and forms found on it are
  // resolved; "" outside ProcessPage.
  std::string m_pageAddress;
  int m_nextRequest = -1;
  int m_pagesFetched = 0;
  int m_lastStatus = 0;
  std::atomic<int> m_acceptedHits{0};  // written by the worker only
  int m_desiredResults;
};

// The GET request for the engine's home page, for engines whose servers want a visitor to have
// been there first (visithome); none when the engine does not ask for it or its home is not an
// address.
std::optional<RequestSpec> HomePageRequest(const EngineData& engine);

// Sets name=value into a request's query (GET: the object) or form data (POST: the extra):
// an existing parameter of that name after the "?" is removed and the pair appended.
void SetRequestValue(RequestSpec& request, std::string_view name, std::string_view value);
// The same rule on one text: "/s?a=1&b=2" with b, 3 gives "/s?a=1&b=3".
std::string SetQueryValue(std::string_view text, std::string_view name, std::string_view value);

}  // namespace tulix
