// Where a search job's hits go: the result filter decides, then the search merges what it
// accepted. The filter is plugged in as a function so that the search job, the engine author's
// tool and the tests can each give their own (or none, which accepts every hit).
//
// Ownership: the sink refers to the search, which must outlive it, and owns its copy of the
// filter function.
//
// Thread safety: called from the job's worker thread. The filter runs without the results lock
// and must be safe to call from several jobs at once; the search takes the lock itself.
#pragma once

#include <functional>
#include <utility>

#include "engine/script_actions.h"
#include "results/saved_search.h"

namespace tulix {

class SearchHitSink : public HitSink {
 public:
  using AcceptFunction = std::function<bool(const EngineHit&)>;

  explicit SearchHitSink(SavedSearch& search, AcceptFunction accept = {})
      : m_search(search), m_accept(std::move(accept)) {}

  bool AcceptHit(const EngineHit& hit) override { return !m_accept || m_accept(hit); }
  void AddEngineHit(const EngineHit& hit) override { m_search.AddEngineHit(hit); }

  SavedSearch& search() const { return m_search; }

 private:
  SavedSearch& m_search;
  AcceptFunction m_accept;
};

}  // namespace tulix
