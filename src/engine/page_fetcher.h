// The page fetcher: sends one request of a search job to a web server over HTTP, with the
// browser-like header lines every engine was written against, follows redirects itself, lets
// the user give a password when a server asks for one, caps the size of a page, and reports to
// the job's window. Also the process-wide internet session, and the dial-up check the mail
// alerts make before they send.
//
// Ownership: the shared session belongs to the application object and lives until it goes.
// Each fetch opens and closes its own request objects.
//
// Thread safety: any number of jobs fetch at once on their worker threads through the one
// session. A fetch running on a worker thread is aborted when the worker is terminated.
#pragma once

#include <exception>
#include <string>
#include <string_view>

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

}  // namespace tulix
