#include "engine/search_walk.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "base/log.h"
#include "definitions/tree.h"
#include "engine/address_resolution.h"
#include "engine/page_fetcher.h"
#include "engine/page_scanner.h"
#include "platform/trace.h"
#include "platform/url.h"

namespace tulix {

namespace {

// How often one token may be handed to the script on one page. Honest scripts look at a token
// a handful of times (a rewind or two); a script that keeps sending the walk back to the same
// token would otherwise hold its job's worker thread for good.
constexpr uint16_t kMaxVisitsPerToken = 256;

// The parameters of `list` ("a=1&b=2") without those named `name` and without empty ones,
// joined by "&" in their order.
std::string RemoveParameter(std::string_view list, std::string_view name) {
  std::string kept;
  while (!list.empty()) {
    size_t amp = list.find('&');
    std::string_view piece = list.substr(0, amp);
    list = amp == std::string_view::npos ? std::string_view() : list.substr(amp + 1);
    if (piece.empty() || piece.substr(0, piece.find('=')) == name) {
      continue;
    }
    if (!kept.empty()) {
      kept += '&';
    }
    kept.append(piece);
  }
  return kept;
}

// Form data is a parameter list from its first character: a "?" in it is part of a value, so
// the query rule, which looks for one, would glue the new pair onto the last value.
std::string SetFormValue(std::string_view text, std::string_view name, std::string_view value) {
  std::string result = RemoveParameter(text, name);
  if (!result.empty()) {
    result += '&';
  }
  result.append(name).append("=").append(value);
  return result;
}

int SaturatedSum(int a, int b) {
  long long sum = static_cast<long long>(a) + b;
  if (sum > std::numeric_limits<int>::max()) {
    return std::numeric_limits<int>::max();
  }
  if (sum < std::numeric_limits<int>::min()) {
    return std::numeric_limits<int>::min();
  }
  return static_cast<int>(sum);
}

std::string EngineLabel(const EngineDefinition& engine) {
  std::string path = engine.TreePath();
  return path.empty() ? engine.GetFilePath() : path;
}

}  // namespace

std::string SetQueryValue(std::string_view text, std::string_view name, std::string_view value) {
  size_t question = text.find('?');
  std::string result(text.substr(0, question));
  std::string kept;
  if (question != std::string_view::npos) {
    kept = RemoveParameter(text.substr(question + 1), name);
  }
  result += '?';
  if (!kept.empty()) {
    result += kept;
    result += '&';
  }
  result.append(name).append("=").append(value);
  return result;
}

std::optional<RequestSpec> HomePageRequest(const EngineData& engine) {
  ParsedUrl home;
  if (engine.visitHome == 0 || !ParseUrl(engine.home, &home)) {
    return std::nullopt;
  }
  RequestSpec request;
  request.verb = 1;
  request.host = home.server;
  request.port = home.port;
  request.secure = UsesHttps(home);
  request.object = home.object;
  return request;
}

void SetRequestValue(RequestSpec& request, std::string_view name, std::string_view value) {
  if (request.verb == 0) {
    request.extra = SetFormValue(request.extra, name, value);
  } else {
    request.object = SetQueryValue(request.object, name, value);
  }
}

SearchWalk::SearchWalk(const EngineDefinition& engine, const SearchQuery& search, HitSink& sink,
                       CJob* job)
    : m_engine(engine),
      m_data(engine.Data()),
      m_search(search),
      m_sink(sink),
      m_job(job),
      m_desiredResults(search.perEngine) {}

RequestSpec SearchWalk::BuildNextRequest(const ScriptRunner& runner) {
  if (m_nextRequest < 0) {
    RequestSpec first = m_engine.BuildFirstRequest(m_search, &runner.Counters());
    m_queue.push_back(first);
    m_nextRequest = 1;
    return first;
  }
  if (m_nextRequest >= static_cast<int>(m_queue.size())) {
    return RequestSpec();  // nothing left; the caller checks HasQueuedRequests first
  }
  RequestSpec request = m_queue[m_nextRequest];
  for (const auto& [name, value] : runner.SavedInputs()) {
    if (!name.empty()) {
      SetRequestValue(request, name, value);
    }
  }
  std::string_view variables = request.variables;
  while (!variables.empty()) {
    size_t amp = variables.find('&');
    std::string_view pair = variables.substr(0, amp);
    variables = amp == std::string_view::npos ? std::string_view() : variables.substr(amp + 1);
    size_t equals = pair.find('=');
    std::string_view name = pair.substr(0, equals);
    if (name.empty()) {
      continue;
    }
    SetRequestValue(
        request, name,
        equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
  }
  request.object = m_engine.SubstitutePlaceholders(request.object, m_search, &runner.Counters());
  request.extra = m_engine.SubstitutePlaceholders(request.extra, m_search, &runner.Counters());
  ++m_nextRequest;
  return request;
}

bool SearchWalk::WasFetched(const RequestSpec& request) const {
  for (const RequestSpec& done : m_fetched) {
    if (done.host == request.host && done.object == request.object && done.port == request.port &&
        done.extra == request.extra && done.verb == request.verb) {
      return true;
    }
  }
  return false;
}

void SearchWalk::MarkFetched(const RequestSpec& request) {
  m_fetched.push_back(request);
}

bool SearchWalk::HasQueuedRequests() const {
  return m_nextRequest < static_cast<int>(m_queue.size());
}

int SearchWalk::Fetch(RequestSpec& request, std::string& page) {
  FetchDetails details;
  const int code = FetchPage(m_job, request, page, m_pagesFetched, &details);
  m_lastStatus = details.finalStatus;
  return code;
}

void SearchWalk::ProcessPage(ScriptRunner& runner, const RequestSpec& request,
                             std::string_view page) {
  PageScanner scanner(page);
  // Whatever way the walk ends, the runner must not keep the scanner that dies here.
  struct PageScope {
    ScriptRunner& runner;
    std::string& pageAddress;
    ~PageScope() {
      runner.EndPage();
      pageAddress.clear();
    }
  } scope{runner, m_pageAddress};

  runner.ClearActions();
  runner.StartPage(scanner, request.startState);
  m_pageAddress = PageAddressOf(request);

  std::vector<uint16_t> visits(scanner.Count() + 1, 0);
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    uint16_t& seen = visits[token->index()];
    // Once per token: the rewritten link is absolute already, and resolving it again would
    // decode its entities a second time.
    if (seen == 0 && token->tagId() == kTagA) {
      scanner.SetTokenText(*token, AbsolutizeLink(token->text(), m_pageAddress));
    }
    if (++seen > kMaxVisitsPerToken) {
      LogMessage(kLogStatusBar, kLogError,
                 "Engine %s keeps returning to token %zu in state %s; rest of the page skipped",
                 EngineLabel(m_engine).c_str(), token->index(), runner.CurrentState().c_str());
      break;
    }
    runner.Step(*token);
    if (runner.IsCollecting()) {
      runner.AppendCollectedText(token->text());
    }
    ExecuteActions(runner);
    if (AcceptedHits() >= m_desiredResults || runner.IsFinished()) {
      break;
    }
  }
}

void SearchWalk::ExecuteActions(ScriptRunner& runner) {
  // Carrying out an action never queues another, so the list can be walked in place and
  // keeps its storage for the next token.
  const std::vector<ScriptAction>& actions = runner.Actions();
  for (size_t i = 0; i < actions.size(); ++i) {
    const ScriptAction& action = actions[i];
    switch (action.kind) {
      case kActionStartResult:
        runner.SetCollecting(true);
        runner.SetCollectedText(std::string());
        break;
      case kActionSendResultPage:
        if (!action.text.empty()) {
          QueuePage(runner, action.text, 1, action.argument);
        }
        break;
      case kActionSendResult:
        HandOverHit(action.text);
        break;
      case kActionRewindOne:
        runner.RewindOne();
        break;
      case kActionSendPostPageTag:
      case kActionSendGetPageTag:
        QueuePage(runner, action.text, action.kind == kActionSendPostPageTag ? 0 : 1, "");
        runner.StopPage();
        break;
      case kActionSaveInputValue:
        runner.AddSavedInput(action.name, action.value);
        break;
      case kActionSetHref: {
        runner.SetCollecting(true);
        std::string collected = runner.CollectedText();
        runner.SetCollectedText(BuildResultAnchor(*m_data, action.text, collected) + collected);
        break;
      }
      case kActionStore:
      case kActionSet:
        runner.SetStoredValue(action.text);
        break;
      case kActionGet:
        QueuePage(runner, runner.GetStoredValue(), 1, "");
        runner.StopPage();
        break;
      case kActionGetLater:
      case kActionPostLater:
        QueuePage(runner,
                  m_engine.SubstitutePlaceholders(action.text, m_search, &runner.Counters()),
                  action.kind == kActionPostLater ? 0 : 1, "");
        break;
      case kActionAddResult:
        runner.AppendCollectedText(
            m_engine.SubstitutePlaceholders(action.text, m_search, &runner.Counters()));
        break;
      case kActionMarkTitleEnd:
        runner.AppendCollectedText("</TULIXTITLE>");
        break;
      case kActionNextPage: {
        int step = action.argument.empty() ? 1 : ReadScriptNumber(action.argument);
        int page = runner.GetPageCounter();
        runner.AddToPageCounter(SaturatedSum(page, step) - page);
        break;
      }
      case kActionRepeatRequest:
        RepeatFirstRequest(runner);
        runner.StopPage();
        break;
      default:
        LogMessage(kLogStatusBar, kLogError, "action %d unrecognised", action.kind);
        break;
    }
  }
  runner.ClearActions();
}

RequestSpec SearchWalk::FirstRequest(const ScriptRunner& runner) const {
  if (!m_queue.empty()) {
    return m_queue.front();
  }
  return m_engine.BuildFirstRequest(m_search, &runner.Counters());
}

void SearchWalk::QueuePage(const ScriptRunner& runner, std::string_view link, int verb,
                           const std::string& startState) {
  RequestSpec request = FirstRequest(runner);
  // A link is resolved against the page it was found on; the first request's page stands in
  // when actions run outside a page walk.
  std::string base = m_pageAddress.empty() ? PageAddressOf(request) : m_pageAddress;
  std::string address = ResolveAddress(base, link);
  // Entities are decoded by now, so a link on the page can carry line ends; the address would
  // become the referer of later requests and its rest extra header lines.
  if (HasControlCharacters(address)) {
    Trace("Not queueing %s: control characters in the address\n", address.c_str());
    return;
  }
  ParsedUrl url;
  if (!ParseUrl(address, &url)) {
    // Queueing it anyway would fetch the first request's page again under another name.
    Trace("Not queueing %s: not an address\n", address.c_str());
    return;
  }
  request.verb = verb;
  request.host = url.server;
  request.object = url.object;
  request.port = url.port;
  request.secure = UsesHttps(url);
  request.referer = base;
  request.startState = startState;
  m_queue.push_back(std::move(request));
}

void SearchWalk::RepeatFirstRequest(const ScriptRunner& runner) {
  RequestSpec request = FirstRequest(runner);
  request.object =
      m_engine.SubstitutePlaceholders(request.templateObject, m_search, &runner.Counters());
  request.extra =
      m_engine.SubstitutePlaceholders(request.templateExtra, m_search, &runner.Counters());
  m_queue.push_back(std::move(request));
}

void SearchWalk::HandOverHit(const std::string& collected) {
  EngineHit hit;
  hit.job = m_job;
  hit.engine = &m_engine;
  hit.search = &m_search;
  hit.text = collected;
  ExtractResult(*m_data, m_search, hit);
  if (GetHttpHref(hit).empty()) {
    m_sink.DroppedHit(hit, "no http address");
    return;
  }
  if (!m_sink.AcceptHit(hit)) {
    return;
  }
  hit.position = AcceptedHits() + 1;
  // Past the number wanted (several hits handed over on one token) the share would turn
  // negative, and a search that wants none would divide by zero: such hits get the least.
  const int wanted = m_desiredResults;
  hit.percent = hit.position > wanted ? 1 : (wanted - hit.position) * 100 / wanted;
  m_sink.AddEngineHit(hit);
  m_acceptedHits.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tulix
