// The page fetcher: sends one request of a search job to a web server over HTTP, with the
// browser-like header lines every engine was written against, follows redirects itself, lets
// the user give a password when a server asks for one, caps the size of a page, and reports to
// the job's window. Also the process-wide internet session.
//
// Ownership: the shared session belongs to the application object and lives until it goes.
// Each fetch opens and closes its own request objects; the caller owns the request and the page.
//
// Thread safety: any number of jobs fetch at once on their worker threads through the one
// session. A fetch running on a worker thread is aborted when the worker is terminated: the
// transfer ends at once and the call unwinds with WorkerTerminated (jobs/worker_thread.h). A
// stop request of the job does not interrupt a fetch; the job looks at it between pages.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/engine_definition.h"

namespace tulix {

class CJob;
class HttpRequest;
class HttpSession;

// The agent text of the shared session.
extern const char kSessionAgent[];

// The shared session, made on the first call with the session's agent text and the proxy of
// the environment. Needs the application object.
HttpSession& GetSession();
// Closes `session` unless it is the shared one (which lives as long as the application object).
void ReleaseSession(HttpSession& session);

// Result codes of FetchPage.
inline constexpr int kFetchOk = 0;           // a page was read (whatever its status)
inline constexpr int kFetchAuthRefused = 1;  // the server wanted a password, the user cancelled
inline constexpr int kFetchFailed = 2;       // network error, redirect failure, bad final status

// Bodies are read in pieces of this size until the cap has been reached; the piece that
// crosses the cap is kept whole, so a page holds at most kPageCap + kPagePieceSize - 1 bytes.
inline constexpr size_t kPagePieceSize = 1024;
inline constexpr size_t kPageCap = 307200;
inline constexpr int kMaxRedirects = 5;

// The header lines every first request of a fetch carries, in this order. The User-Agent line
// is kept byte for byte as the engines have always seen it (two blanks, no closing parenthesis).
inline constexpr const char* kFetchHeaderLines[] = {
    ("Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
     "application/vnd.ms-powerpoint, application/vnd.ms-excel, application/msword, "
     "application/x-shockwave-flash, */*\r\n"),
    "Accept-Language: en-gb\r\n",
    "Proxy-Connection: Keep-Alive\r\n",
    // Parenthesised: one line cut in two, not two lines with a comma missing.
    ("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; VNIE5; Q312461;  .NET CLR "
     "1.1.4322\r\n"),
};

// The content type a form post carries.
inline constexpr char kFormContentType[] = "Content-Type: application/x-www-form-urlencoded\r\n";

// Raised inside FetchPage to end a fetch with its code (kFetchAuthRefused or kFetchFailed); it
// never leaves FetchPage.
class CBBInternetSessionException : public std::exception {
 public:
  explicit CBBInternetSessionException(int code);
  int Code() const { return m_code; }
  const char* what() const noexcept override { return m_text.c_str(); }

 private:
  int m_code;
  std::string m_text;
};

// What a fetch saw besides the page, for callers that show it (the engine author's tool).
struct FetchDetails {
  int finalStatus = 0;                 // status of the last response; 0 when none arrived
  std::vector<std::string> redirects;  // each address a redirect led to, in the order followed
};

// Fetches `request` and puts the body into `page` (cleared first; partial when a read fails
// half way). Returns kFetchOk, kFetchAuthRefused or kFetchFailed. A response that is not a
// redirect is read whatever its status (an error page is a page); after a redirect only status
// 200 counts. Redirects (301, 302, 303, 307, 308) go to the place their Location header names,
// as a bare GET, except that a POST met by 307 or 308 is sent again there with its form. A
// POST's body (its extra and CR LF) is left in request.body.
//
// The job-connected report goes out once the response to read is known, before its body is
// read. Whatever happens, the fetch ends by setting the job's state to "Read Page", adding one
// to `pagesFetched` and posting the search-progress report with that count. `job` may be null:
// nothing is reported then. `details`, when given, is filled in.
int FetchPage(CJob* job, RequestSpec& request, std::string& page, int& pagesFetched,
              FetchDetails* details = nullptr);

// Adds one header line to a request, replacing one of the same name. The replace fails when
// there is none yet (the usual case); the line is then added if new. Each failure writes a
// trace line. Returns true only when the replace worked.
bool AddRequestHeader(HttpRequest& request, std::string_view line);

}  // namespace tulix
