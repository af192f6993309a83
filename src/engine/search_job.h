// CSearchJob: one engine asked for the results of one search. The job builds the engine's first
// request, fetches pages one after another from the queue the engine's script keeps filling,
// walks each page with the script (SearchWalk) and hands the results to the search, until it
// has the results the search wants from each engine, the queue is used up, three pages in a
// row gave nothing new, a fetch fails, or it is asked to stop (before each fetch and after each
// page; a page being walked is finished first).
//
// The search is reached through SearchJobTarget, which the saved search implements, so this
// folder does not depend on the results folder above it.
//
// Ownership: the job manager owns the job. The engine and the search are not owned and must
// outlive the job (the category tree keeps engines; the search outlives its jobs). The job owns
// its walk (request queue, fetched requests, counters) and its hit sink.
//
// Thread safety: the constructor and the CJob overrides run on the main thread; RunSearch runs
// on the worker and alone writes the walk. GetResultCount may be read while the worker runs.
#pragma once

#include <memory>
#include <string>

#include "definitions/engine_definition.h"
#include "engine/script_actions.h"
#include "engine/search_walk.h"
#include "jobs/job.h"

namespace tulix {

// What a search job needs of the search it runs for.
class SearchJobTarget {
 public:
  virtual ~SearchJobTarget() = default;
  // The search words, their type, the category and the results wanted per engine.
  virtual SearchQuery Query() const = 0;
  // Where the job's hits go: the result filter with the search's own settings, then the
  // search's result list. Called once, on the main thread, when the job is made.
  virtual std::unique_ptr<HitSink> MakeHitSink() = 0;
  // One engine of the search has finished with `code` (main thread).
  virtual void EngineFinished(CJob& job, int code) = 0;
};

// Fetched pages in a row that add no result before a job gives up.
inline constexpr int kMaxPagesWithoutProgress = 3;

class CSearchJob : public CJob {
 public:
  CSearchJob(const EngineDefinition& engine, SearchJobTarget& search);

  // "Searching <engine> for <search words>".
  std::string GetName() const override;
  // False while the job list holds a job that upgrades this search's category, so the search
  // waits for its engines to be brought up to date.
  bool IsRunnable() const override;
  // Both the engine and the search's category are family-safe (a category the tree does not
  // know counts as safe).
  bool IsFamilySafe() const override;
  // Queues the job to run RunSearch; returns 1.
  int Start(WindowHandle notifyWindow) override;
  // Tells the search first, then does what every job does.
  void OnFinished(int code) override;
  // The hits handed to the search so far, and the number it wants from each engine.
  int GetResultCount() const override;
  int GetDesiredResultCount() const override;

  // The work routine. Posts 1 when the last page was fetched and walked, 0 when the last fetch
  // failed or nothing was fetched.
  static void RunSearch(CJob& job);

  const EngineDefinition& Engine() const { return m_engine; }
  SearchJobTarget& Search() const { return m_search; }
  const SearchQuery& Query() const { return m_query; }
  // The queue, the fetched requests and the counters; read them once the job has finished.
  const SearchWalk& Walk() const { return m_walk; }

 protected:
  // Writes the job's row of the tasks pane; "CLEAR" removes it.
  void ShowStatusText(const std::string& text) override;

 private:
  // The fetching loop; returns the success flag.
  int Run();
  // Fetches the engine's home page once when the engine asks for it and it is an address.
  void VisitHome();

  const EngineDefinition& m_engine;
  SearchJobTarget& m_search;
  const SearchQuery m_query;
  const std::unique_ptr<HitSink> m_sink;
  SearchWalk m_walk;  // refers to m_query and m_sink, declared before it
};

}  // namespace tulix
