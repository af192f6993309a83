#include "engine/page_fetcher.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "engine/address_resolution.h"
#include "engine/current_request.h"
#include "jobs/job.h"
#include "jobs/worker_thread.h"
#include "platform/http.h"
#include "platform/last_error.h"
#include "platform/trace.h"
#include "platform/url.h"

namespace tulix {

const char kSessionAgent[] =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; VNIE5; Q312461; .NET CLR 1.0.3705; .NET "
    "CLR 1.1.4322)";

HttpSession& GetSession() {
  TulixApplication& app = App();
  std::lock_guard lock(app.internetSessionLock);
  if (app.internetSession == nullptr) {
    app.internetSession = std::make_shared<HttpSession>(kSessionAgent);
    app.internetSession->SetConnectedHook([] { Trace("Connection made!\n"); });
  }
  return *app.internetSession;
}

void ReleaseSession(HttpSession& session) {
  // Sessions other than the shared one are owned by whoever made them; there is nothing to
  // close here beyond what their owner's destructor does, so only the shared one is recognised.
  (void)session;
}

CBBInternetSessionException::CBBInternetSessionException(int code)
    : m_code(code), m_text("Error " + std::to_string(code)) {}

bool AddRequestHeader(HttpRequest& request, std::string_view line) {
  if (request.AddRequestHeaders(line, HeaderMode::kReplace)) {
    return true;
  }
  const std::string text(line);
  Trace("Replace header error %u %s\n", GetLastError(), text.c_str());
  if (!request.AddRequestHeaders(line, HeaderMode::kAddIfNew)) {
    Trace("Add header error %u %s\n", GetLastError(), text.c_str());
  }
  return false;
}

namespace {

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// 307 and 308 ask for the same request at the new place, form and all; the older codes have
// always been followed with a plain GET.
bool KeepsMethod(int status) {
  return status == 307 || status == 308;
}

class PageFetch {
 public:
  PageFetch(CJob* job, RequestSpec& request, std::string& page, FetchDetails& details)
      : m_job(job), m_request(request), m_page(page), m_details(details) {}

  // Steps up to the end of the body; every failure is raised. With a time limit, the page
  // (redirects included) must have arrived whole by then.
  void Run(HttpSession& session, std::optional<std::chrono::steady_clock::time_point> deadline) {
    m_deadline = deadline;
    const bool post = m_request.verb == 0;
    // Nothing past the cap is ever read, so nothing past it needs to arrive.
    Open(session, post ? "POST" : "GET", m_request.secure, m_request.host, m_request.port,
         m_request.object, m_request.referer);
    for (const char* line : kFetchHeaderLines) {
      AddRequestHeader(*m_http, line);
    }
    int status = SendFirst(post);
    if (status == 401) {
      if (m_http->PromptForCredentials() != kErrorInternetForceRetry) {
        throw CBBInternetSessionException(kFetchAuthRefused);
      }
      status = SendFirst(post);
    }
    m_details.finalStatus = status;
    FollowRedirects(session, status);
    if (m_job != nullptr) {
      m_job->PostReport(kMsgJobConnected, 0);
    }
    ReadBody();
    m_http.Close();
  }

  void Close() { m_http.Close(); }

  // The network library's words for the failure that ended the fetch; "" when none.
  std::string FailureText() const { return m_http.IsOpen() ? m_http->FailureText() : ""; }
  // The server asked last, which may be another than the request's after a redirect.
  const std::string& LastHost() const { return m_lastHost; }

 private:
  void Open(HttpSession& session, std::string_view verb, bool secure, const std::string& host,
            uint16_t port, const std::string& object, const std::string& referer) {
    m_lastHost = host;
    m_http.Open(session, verb, secure, host, port, object, referer, kPageCap + kPagePieceSize);
    if (m_deadline) {
      m_http->SetDeadline(*m_deadline);
    }
  }

  int SendFirst(bool post) {
    if (!post) {
      return m_http.Send();
    }
    // Forms were always posted with a line end after the data; servers that count on it get it.
    m_request.body = m_request.extra + "\r\n";
    return m_http.Send(kFormContentType, m_request.body);
  }

  // Follows at most kMaxRedirects redirects; after one, only a final 200 will do.
  void FollowRedirects(HttpSession& session, int status) {
    // Relative targets resolve against the server of the request we were given, on every hop,
    // and keep its scheme.
    const std::string base = ServerRoot(m_request.secure, m_request.host, m_request.port) + "/";
    bool post = m_request.verb == 0;
    int followed = 0;
    while (IsRedirect(status)) {
      // Header names carry no case: proxies and small servers send "location:" too.
      const std::optional<std::string> location = m_http->QueryResponseHeader("Location");
      if (!location) {
        throw CBBInternetSessionException(kFetchFailed);
      }
      post = post && KeepsMethod(status);
      m_http.Close();
      const std::string target = ResolveAddress(base, *location);
      ParsedUrl url;
      if (!ParseUrl(target, &url) || !IsWebService(url.serviceType)) {
        throw CBBInternetSessionException(kFetchFailed);
      }
      m_details.redirects.push_back(target);
      Open(session, post ? "POST" : "GET", UsesHttps(url), url.server, url.port, url.object, "");
      status = post ? m_http.Send(kFormContentType, m_request.body) : m_http.Send();
      m_details.finalStatus = status;
      ++followed;
      if (followed >= kMaxRedirects) {
        break;
      }
    }
    if (followed > 0 && status != 200) {
      throw CBBInternetSessionException(kFetchFailed);
    }
  }

  void ReadBody() {
    char piece[kPagePieceSize];
    size_t total = 0;
    while (total < kPageCap) {
      size_t read = 0;
      if (!m_http->Read(piece, sizeof piece, &read)) {
        throw InternetFailure{GetLastError()};
      }
      if (read == 0) {
        break;
      }
      total += read;
      // Pages are text: a zero byte ends what this piece contributes.
      m_page.append(piece, strnlen(piece, read));
    }
  }

  CJob* m_job;
  RequestSpec& m_request;
  std::string& m_page;
  FetchDetails& m_details;
  CurrentRequest m_http;
  std::string m_lastHost;
  std::optional<std::chrono::steady_clock::time_point> m_deadline;
};

// The page's time limit from the EngineTimeout setting; none at 0 or without an application.
std::optional<std::chrono::steady_clock::time_point> PageDeadline(int* seconds) {
  *seconds = HasApp() ? App().settings().EngineTimeout : 0;
  if (*seconds <= 0) {
    return std::nullopt;
  }
  return std::chrono::steady_clock::now() + std::chrono::seconds(*seconds);
}

}  // namespace

int FetchPage(CJob* job, RequestSpec& request, std::string& page, int& pagesFetched,
              FetchDetails* details) {
  page.clear();
  FetchDetails unused;
  FetchDetails& seen = details != nullptr ? *details : unused;
  seen = FetchDetails{};

  HttpSession& session = GetSession();
  int code = kFetchOk;
  int limit = 0;
  const std::optional<std::chrono::steady_clock::time_point> deadline = PageDeadline(&limit);
  {
    PageFetch fetch(job, request, page, seen);
    try {
      fetch.Run(session, deadline);
    } catch (const InternetFailure& failure) {
      code = kFetchFailed;
      if (deadline && failure.error == kErrorInternetTimeout &&
          std::chrono::steady_clock::now() >= *deadline) {
        LogMessage(0, kLogWarning, "%s did not answer within %d seconds; the page is given up",
                   request.host.c_str(), limit);
      } else if (IsSecureConnectionError(failure.error)) {
        // A refused certificate is worth telling: the engine's address or the machine's clock
        // may need looking at, and nothing else would say why the engine gave nothing.
        LogMessage(0, kLogWarning, "Cannot make a secure connection to %s (%s); the page is given up",
                   fetch.LastHost().c_str(), fetch.FailureText().c_str());
      }
    } catch (const CBBInternetSessionException& e) {
      code = e.Code();
    }
    fetch.Close();
  }
  ReleaseSession(session);

  // A terminated worker unwinds here; its job is no longer its own to report on.
  ThrowIfCurrentWorkerTerminated();
  ++pagesFetched;
  if (job != nullptr) {
    job->SetState(kStateReadPage);
    job->PostReport(kMsgSearchProgress, pagesFetched);
  }
  return code;
}

}  // namespace tulix
