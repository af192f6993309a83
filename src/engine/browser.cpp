#include "engine/browser.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "definitions/engine_definition.h"
#include "engine/address_resolution.h"
#include "engine/page_fetcher.h"
#include "platform/http.h"
#include "platform/paths.h"
#include "platform/program_lifetime.h"
#include "platform/shell.h"
#include "platform/url.h"

namespace tulix {

namespace {

// Sent with every download for viewing, each line only where the request lacks that header. The
// empty Accept-Encoding keeps servers from compressing what is written straight to a file.
constexpr std::string_view kViewingHeaderLines[] = {
    "Accept-Encoding:",
    "Accept: audio/x-aiff, audio/basic, audio/midi, audio/mpeg, audio/wav, image/jpeg, "
    "image/gif, image/jpg, image/png, image/mng, image/bmp, text/plain, text/html, text/htm",
    "User-Agent:Quendral",
};
constexpr size_t kReadPiece = 1024;
// A folder that somehow holds this many numbered pages is not worth searching further.
constexpr int kMaxNameTries = 100000;

// One page to open, owned by the thread that serves it.
struct BrowserRequest {
  WindowHandle window;  // on whose behalf; the desktop opener has no use for a parent window
  std::string address;
  bool newWindow = false;
  std::vector<std::string> commandLine;  // the browser with its new-window option
  bool downloadFirst = false;
  std::shared_ptr<ShellLauncher> shell;
  std::shared_ptr<HttpSession> session;  // set only when downloading
  std::string tempFolder;
  std::shared_ptr<DownloadCancel> cancel;
};

// The requests whose threads have not ended yet.
class PendingRequests {
 public:
  void Begin(std::shared_ptr<DownloadCancel> cancel) {
    std::lock_guard lock(m_mutex);
    m_active.insert(std::move(cancel));
  }
  // The last thing a request's thread does with anything shared.
  void End(const std::shared_ptr<DownloadCancel>& cancel) {
    std::lock_guard lock(m_mutex);
    m_active.erase(cancel);
    m_changed.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_active.empty(); });
  }
  void CancelAll() {
    std::lock_guard lock(m_mutex);
    for (const std::shared_ptr<DownloadCancel>& cancel : m_active) {
      cancel->Cancel();
    }
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::set<std::shared_ptr<DownloadCancel>> m_active;  // guarded by m_mutex
};

// Not destroyed at exit, so a request thread that outlives main() still finds it.
PendingRequests& Pending() {
  static auto& pending = MakeProgramLifetime<PendingRequests>();
  return pending;
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

// Keeps the cancel object pointing at the live request and lets go of it before the request
// is destroyed: declared after the request, so it runs first on the way out.
class AttachGuard {
 public:
  explicit AttachGuard(DownloadCancel* cancel) : m_cancel(cancel) {}
  ~AttachGuard() {
    if (m_cancel != nullptr) {
      m_cancel->Attach(nullptr);
    }
  }
  AttachGuard(const AttachGuard&) = delete;
  AttachGuard& operator=(const AttachGuard&) = delete;

 private:
  DownloadCancel* m_cancel;
};

// One GET of `url`, asking for a password for as long as the server wants one and the user
// chooses to retry. On failure returns false and says why in `*why`. The previous request in
// `*request` is replaced (and freed) only after the cancel object has let go of it.
bool SendGet(HttpSession& session, const ParsedUrl& url, DownloadCancel* cancel,
             std::unique_ptr<HttpRequest>* request, DownloadOutcome* why) {
  *why = DownloadOutcome::kFailed;
  const uint32_t secure = UsesHttps(url) ? kHttpFlagSecure : 0;
  std::unique_ptr<HttpRequest> next =
      session.OpenRequest("GET", url.server, url.port, url.object, "",
                          kHttpFlagReload | kHttpFlagNoAutoRedirect | secure);
  if (next == nullptr) {
    return false;
  }
  for (std::string_view line : kViewingHeaderLines) {
    next->AddRequestHeaders(line, HeaderMode::kAddIfNew);  // present already is fine
  }
  // One byte over the limit tells a page that is too large from one that just fits.
  next->SetBodyCap(kMaxViewedPageBytes + 1);
  if (cancel != nullptr && !cancel->Attach(next.get())) {
    *why = DownloadOutcome::kCancelled;
    return false;
  }
  *request = std::move(next);
  bool sent = (*request)->Send();
  while (sent && (*request)->StatusCode() == 401) {
    if ((*request)->PromptForCredentials() != kErrorInternetForceRetry) {
      *why = DownloadOutcome::kCancelled;
      return false;
    }
    sent = (*request)->Send();
  }
  if (!sent && cancel != nullptr && cancel->cancelled()) {
    *why = DownloadOutcome::kCancelled;
  }
  return sent;
}

// The whole body, read in pieces; nullopt when reading fails or the page is too large.
std::optional<std::string> ReadBody(HttpRequest& request) {
  std::string text;
  char piece[kReadPiece];
  while (true) {
    size_t read = 0;
    if (!request.Read(piece, sizeof piece, &read)) {
      return std::nullopt;
    }
    if (read == 0) {
      return text;
    }
    text.append(piece, read);
    if (text.size() > kMaxViewedPageBytes) {
      return std::nullopt;
    }
  }
}

void ReportNoBrowser(const std::string& address, int code) {
  const int flags = kLogStatusBar | kLogMessageBox;
  if (code == kShellErrorFileNotFound) {
    LogMessage(flags, kLogError, "Cannot find file for %s (error:%d)", address.c_str(), code);
  } else if (code == kShellErrorNoAssociation) {
    LogMessage(flags, kLogError, "Cannot find file association for %s (error:%d)", address.c_str(),
               code);
  } else {
    LogMessage(flags, kLogError, "Cannot find browser for %s (error:%d)", address.c_str(), code);
  }
}

std::string IndexFilePath(const AppSettings& settings) {
  return settings.indexFile.empty() ? JoinPath(settings.programFolder, "index.htm")
                                    : settings.indexFile;
}

void Serve(BrowserRequest& request) {
  std::string target = request.address;
  if (request.downloadFirst) {
    PageDownload download;
    if (request.session != nullptr) {
      download = DownloadPageForViewing(*request.session, request.address, request.tempFolder,
                                        request.cancel.get());
    }
    // The user said no to the password, or the program is ending: open nothing.
    if (download.outcome == DownloadOutcome::kCancelled) {
      return;
    }
    if (download.outcome == DownloadOutcome::kSaved) {
      target = ToFileSystemPath(download.file);
    } else {
      // Opening nothing would leave the user with a click that did nothing; the browser can
      // fetch the page itself and show whatever went wrong.
      LogMessage(0, kLogWarning, "Could not download %s for viewing, opening it directly",
                 request.address.c_str());
    }
  }
  if (request.cancel->cancelled()) {
    return;
  }
  if (request.newWindow) {
    request.shell->StartProcess(request.commandLine);
  }
  request.shell->Open(target);
}

void ServeOnThread(std::unique_ptr<BrowserRequest> owned) {
  std::shared_ptr<DownloadCancel> cancel = owned->cancel;
  {
    // Freed here, before End, so that once every request has ended nothing of theirs (the
    // session, the launcher) is still held.
    std::unique_ptr<BrowserRequest> request = std::move(owned);
    Serve(*request);
  }
  Pending().End(cancel);
}

}  // namespace

void DownloadCancel::Cancel() {
  m_cancelled.store(true);
  std::lock_guard lock(m_mutex);
  if (m_request != nullptr) {
    m_request->Abort();
  }
}

bool DownloadCancel::Attach(HttpRequest* request) {
  std::lock_guard lock(m_mutex);
  if (m_cancelled.load()) {
    m_request = nullptr;
    return request == nullptr;
  }
  m_request = request;
  return true;
}

bool OpenInBrowser(const WindowHandle& window, const std::string& address, bool downloadFirst) {
  TulixApplication& app = App();
  auto request = std::make_unique<BrowserRequest>();
  request->window = window;
  request->address = address;
  request->downloadFirst = downloadFirst;
  request->shell = CurrentShellLauncher();
  if (app.settings().BrowserNewWindow != 0) {
    ExecutableLookup browser = request->shell->FindExecutable(IndexFilePath(app.settings()));
    if (browser.code <= 32) {
      ReportNoBrowser(address, browser.code);
      return false;
    }
    request->newWindow = true;
    request->commandLine = std::move(browser.command);
    request->commandLine.push_back(kBrowserNewWindowOption);
  }
  if (downloadFirst) {
    GetSession();
    std::lock_guard lock(app.internetSessionLock);
    request->session = app.internetSession;
    request->tempFolder = TempFolder();
  }
  request->cancel = std::make_shared<DownloadCancel>();
  std::shared_ptr<DownloadCancel> cancel = request->cancel;
  Pending().Begin(cancel);
  try {
    std::thread(ServeOnThread, std::move(request)).detach();
  } catch (const std::system_error&) {
    Pending().End(cancel);
    LogMessage(kLogStatusBar, kLogError, "Cannot open %s in the browser", address.c_str());
    return false;
  }
  return true;
}

bool WaitForBrowserRequests(std::chrono::milliseconds timeout) {
  return Pending().Wait(timeout);
}

void CancelBrowserRequests() {
  Pending().CancelAll();
}

void InstallEngineBrowserLauncher() {
  SetBrowserLauncher(
      [](const std::string& address) { OpenInBrowser(WindowHandle{}, address, false); });
}

PageDownload DownloadPageForViewing(HttpSession& session, const std::string& address,
                                    const std::string& folder, DownloadCancel* cancel) {
  PageDownload result;
  ParsedUrl url;
  if (!ParseUrl(address, &url) || !IsWebService(url.serviceType)) {
    return result;
  }
  std::unique_ptr<HttpRequest> request;
  AttachGuard guard(cancel);
  if (!SendGet(session, url, cancel, &request, &result.outcome)) {
    return result;
  }
  if (IsRedirect(request->StatusCode())) {
    // Relative targets are resolved against the page that redirected, port included, as a
    // browser would; the server root alone would lose both the port and the folder.
    std::string current = address;
    int followed = 0;
    while (IsRedirect(request->StatusCode())) {
      std::optional<std::string> location = request->QueryResponseHeader("Location");
      std::string_view link = location ? TrimBlanks(*location) : std::string_view();
      if (followed == kMaxViewingRedirects || link.empty()) {
        return result;
      }
      current = ResolveAddress(current, link);
      if (!ParseUrl(current, &url) || !IsWebService(url.serviceType)) {
        return result;
      }
      if (!SendGet(session, url, cancel, &request, &result.outcome)) {
        return result;
      }
      ++followed;
    }
    if (request->StatusCode() != 200) {
      return result;
    }
  }
  std::optional<std::string> text = ReadBody(*request);
  if (!text) {
    if (cancel != nullptr && cancel->cancelled()) {
      result.outcome = DownloadOutcome::kCancelled;
    }
    return result;
  }
  std::optional<std::string> file = SaveAsNewNumberedFile(folder, kViewedPageFirstName, *text);
  if (!file) {
    return result;
  }
  result.outcome = DownloadOutcome::kSaved;
  result.file = std::move(*file);
  return result;
}

std::string NextNumberedName(std::string_view name) {
  size_t dot = name.rfind('.');
  size_t separator = name.find_last_of("\\/");
  if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator)) {
    dot = name.size();
  }
  std::string stem(name.substr(0, dot));
  std::string_view extension = name.substr(dot);
  size_t digits = stem.size();
  while (digits > 0 && stem[digits - 1] >= '0' && stem[digits - 1] <= '9') {
    --digits;
  }
  // Counted in decimal text, so a number of any length goes up by one without overflowing.
  std::string number = stem.substr(digits);
  stem.resize(digits);
  if (number.empty()) {
    number.push_back('0');
  }
  size_t i = number.size();
  while (i > 0 && number[i - 1] == '9') {
    number[--i] = '0';
  }
  if (i == 0) {
    number.insert(number.begin(), '1');
  } else {
    ++number[i - 1];
  }
  size_t zeros = number.find_first_not_of('0');
  number.erase(0, zeros == std::string::npos ? number.size() - 1 : zeros);
  return stem + number + std::string(extension);
}

std::optional<std::string> SaveAsNewNumberedFile(const std::string& folder,
                                                 const std::string& firstName,
                                                 std::string_view content) {
  std::string name = firstName;
  for (int tries = 0; tries < kMaxNameTries; ++tries) {
    std::string path = JoinPath(folder, name);
    // Created here or not at all, so a name another thread took in the meantime is skipped
    // instead of overwritten, and a planted link is never followed. The page may be private
    // (a result behind a password), so other users of the machine may not read it.
    switch (CreatePrivateFile(path, content)) {
      case NewFileResult::kCreated:
        return path;
      case NewFileResult::kNameTaken:
        name = NextNumberedName(name);
        continue;
      case NewFileResult::kFailed:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace tulix
