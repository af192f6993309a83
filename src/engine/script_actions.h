// What the script's actions do to text: making the links of a fetched page absolute, building
// the anchor that SETHREF puts in front of a result, and turning the text collected for one
// result into an EngineHit (title, description, address). Also the hit itself and the sink a
// search job hands its hits to.
//
// Thread safety: the functions are pure apart from the trace lines; call them from any thread.
// A hit belongs to the job that made it; a sink is called from the job's worker thread and must
// do its own locking when it is shared.
#pragma once

#include <string>
#include <string_view>

#include "definitions/engine_definition.h"

namespace tulix {

class CJob;

// One result found by a script, before the search merges it.
struct EngineHit {
  CJob* job = nullptr;                          // the job that found it; null outside a job
  const EngineDefinition* engine = nullptr;     // the engine whose script found it
  const SearchQuery* search = nullptr;          // the search it was found for
  std::string text;                             // marked-up text: title anchor and description
  std::string address;
  int position = 0;  // hits the job had accepted before this one, plus one
  int percent = 0;   // position-based percentage
};

// The hit's address when it parses and is http (or https, while https is on), else "". Hits
// without one are never kept.
std::string GetHttpHref(const EngineHit& hit);

// Where a search job's hits go: the hit filter and then the search's result list. The job
// drops hits without an http address before the sink sees them (DroppedHit tells a sink that
// wants to know).
class HitSink {
 public:
  virtual ~HitSink() = default;
  // The filter: false refuses the hit.
  virtual bool AcceptHit(const EngineHit& hit) = 0;
  // The hit was accepted (position and percent are set); the sink copies what it keeps.
  virtual void AddEngineHit(const EngineHit& hit) = 0;
  // A hit the job dropped before the filter, and why ("no http address").
  virtual void DroppedHit(const EngineHit& hit, const char* reason) {
    (void)hit;
    (void)reason;
  }
};

// "http://host/" (or "http://host:port/") joined with the request's object: the address of the
// page a request fetches, against which the links found on it are resolved.
std::string PageAddressOf(const RequestSpec& request);

// The `a` start tag `tagText` with its href made absolute against `pageAddress`, quotes
// dropped; the tag unchanged when it has no href or is too short to hold one.
std::string AbsolutizeLink(std::string_view tagText, std::string_view pageAddress);

// The anchor SETHREF puts in front of the collected text: the href's words joined by "+" put
// into the engine's resulthref template, around the collected text (or the href when nothing
// was collected).
std::string BuildResultAnchor(const EngineData& engine, std::string_view href,
                              std::string_view collected);

// Fills the hit's text and address from its collected text (in hit.text on entry).
void ExtractResult(const EngineData& engine, const SearchQuery& search, EngineHit& hit);

// Every "%" followed by two hex digits becomes that byte; anything else stays.
std::string PercentDecode(std::string_view text);

// Puts `format` (with one %s) around every run of ASCII letters that equals one of the search
// words, ignoring case. The search words are the words of `searchText` separated by single
// blanks, up to the first empty word.
std::string HighlightSearchWords(std::string_view text, std::string_view searchText,
                                 std::string_view format = "<r>%s</r>");

}  // namespace tulix
