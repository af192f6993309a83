// Opening pages in the user's browser: a result, an engine's home page, a link of an update
// notice. OpenInBrowser returns at once; each request is served on a short-lived thread of its
// own, which may first download the page into a new numbered file in the temporary folder (for
// engines whose pages the program must fetch itself) and open that file instead.
//
// Ownership: each request belongs to its thread and is freed by it. At the call, the request
// takes its own references to the shell launcher and, when it downloads, to the shared internet
// session, so the thread never reads the application object and may outlive it. The
// bookkeeping that WaitForBrowserRequests and CancelBrowserRequests use is never destroyed, so
// a thread still running while the program exits finds it intact.
//
// Thread safety: every function may be called from any thread. OpenInBrowser needs the
// application object (settings, program folder, internet session) at the call; it shows its
// messages (LogMessage) on the calling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event_loop.h"

namespace tulix {

class HttpRequest;
class HttpSession;

// The option given to a browser to open a new window of its own.
inline constexpr char kBrowserNewWindowOption[] = "--new-window";
// The first name tried for a downloaded page; later ones count up from it.
inline constexpr char kViewedPageFirstName[] = "tulix0.htm";
// Redirects followed before a download for viewing gives up.
inline constexpr int kMaxViewingRedirects = 5;
// A page larger than this is not downloaded for viewing; the browser is given its address.
inline constexpr size_t kMaxViewedPageBytes = 32 * 1024 * 1024;

// Opens `address` in the browser on a thread of its own and returns at once: true when the
// request is under way. When BrowserNewWindow is set and no browser is found through the
// program folder's index.htm, reports that (status bar and message box, as an error), opens
// nothing and returns false. `window` is the one on whose behalf the page is opened; it may be
// empty.
bool OpenInBrowser(const WindowHandle& window, const std::string& address, bool downloadFirst);

// Waits until every request started so far has ended, at most `timeout`. True when none is left.
bool WaitForBrowserRequests(std::chrono::milliseconds timeout);

// For the end of the program: aborts every download in progress, and keeps every request now
// pending from starting or opening anything.
void CancelBrowserRequests();

// Makes engines open their home pages (EngineDefinition::OpenHomePage) through OpenInBrowser.
// Called once by the code that builds the application.
void InstallEngineBrowserLauncher();

// Lets another thread stop a download: aborts the transfer in progress and makes the download
// fail before any later one.
class DownloadCancel {
 public:
  void Cancel();
  bool cancelled() const { return m_cancelled.load(); }

  // For the download: makes `request` the one Cancel aborts (nullptr: none). False when the
  // download is already cancelled.
  bool Attach(HttpRequest* request);

 private:
  std::atomic<bool> m_cancelled{false};
  std::mutex m_mutex;
  HttpRequest* m_request = nullptr;  // guarded by m_mutex
};

enum class DownloadOutcome {
  kSaved,      // the page is in `file`
  kFailed,     // network error, bad redirect, final status other than 200, page too large...
  kCancelled,  // the user declined the password prompt, or DownloadCancel stopped it
};

struct PageDownload {
  DownloadOutcome outcome = DownloadOutcome::kFailed;
  std::string file;  // internal path of the saved page when kSaved
};

// Fetches `address` with GET through `session` and saves the body as a new numbered file in
// `folder` (kViewedPageFirstName, then the next free number). Asks the session's password
// prompt on 401 and follows up to kMaxViewingRedirects redirects (301, 302, 303), after which
// the status must be 200; a first answer that is no redirect is saved whatever its status.
// Runs on the calling thread; `cancel` may be null.
PageDownload DownloadPageForViewing(HttpSession& session, const std::string& address,
                                    const std::string& folder, DownloadCancel* cancel);

// The name after `name` in a numbered sequence: the decimal number at the end of the name
// before its extension, increased by one (none counts as 0): tulix0.htm -> tulix1.htm,
// tulix9.htm -> tulix10.htm, page.htm -> page1.htm.
std::string NextNumberedName(std::string_view name);

// Creates a file that did not exist before in `folder`, named `firstName` or the first free
// name after it (NextNumberedName), and writes `content` to it. Creation is exclusive, so two
// threads never get the same file. Returns the file's internal path, or nullopt on failure
// (nothing is left behind then).
std::optional<std::string> SaveAsNewNumberedFile(const std::string& folder,
                                                 const std::string& firstName,
                                                 std::string_view content);

}  // namespace tulix
