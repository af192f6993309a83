#include "platform/http.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/last_error.h"
#include "platform/url.h"

namespace tulix {

namespace {

// The most header bytes one request takes in, interim responses included; real servers send a
// few kilobytes.
constexpr size_t kMaxHeaderBytes = 256 * 1024;

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

struct HeaderLine {
  std::string name;
  std::string value;
};

// Finds a header by name in "Name: value" lines.
template <typename Lines>
auto FindHeader(Lines& lines, std::string_view name) {
  return std::find_if(lines.begin(), lines.end(),
                      [&](const HeaderLine& h) { return EqualNoCase(h.name, name); });
}

// Blanks and control characters of an address, percent-encoded: a raw blank cannot go on the
// request line, and a raw line end would end the line the address stands on, letting its rest
// pass for header lines of its own.
std::string EncodeAddress(std::string_view address) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : address) {
    auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string EncodeObject(std::string_view object) {
  std::string out = EncodeAddress(object);
  if (out.empty() || out[0] != '/')
    out.insert(out.begin(), '/');
  return out;
}

// A refused certificate, named by what the verification found wrong with it.
uint32_t CertificateError(long verifyResult) {
  switch (verifyResult) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return kErrorInternetSecCertDateInvalid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return kErrorInternetSecCertCnInvalid;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return kErrorInternetInvalidCa;
    default:
      return kErrorInternetSecureFailure;
  }
}

uint32_t ErrorFromCurl(CURLcode code, CURL* easy) {
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION: {
      long verifyResult = X509_V_OK;
      curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
      // libcurl checks the name itself, after the chain passed, and then records no reason of
      // the chain check's own ("ok", or "unspecified").
      return verifyResult == X509_V_OK || verifyResult == X509_V_ERR_UNSPECIFIED
                 ? kErrorInternetSecCertCnInvalid
                 : CertificateError(verifyResult);
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_USE_SSL_FAILED:
      return kErrorInternetSecureFailure;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kErrorInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorInternetTimeout;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
      return kErrorHttpInvalidServerResponse;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return kErrorInternetConnectionReset;
    default:
      return kErrorInternetConnectionAborted;
  }
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string EnvOr(const char* lower, const char* upper) {
  if (const char* v = std::getenv(lower); v != nullptr && *v != '\0')
    return v;
  if (upper != nullptr) {
    if (const char* v = std::getenv(upper); v != nullptr && *v != '\0')
      return v;
  }
  return {};
}

}  // namespace

bool IsSecureConnectionError(uint32_t error) {
  return error == kErrorInternetSecCertDateInvalid || error == kErrorInternetSecCertCnInvalid ||
         error == kErrorInternetInvalidCa || error == kErrorInternetSecureFailure;
}

// A libcurl transfer handle with the multi handle that drives it, and the body buffer of the
// request that used them last (empty, its room kept).
struct TransferHandles {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  std::string buffer;
};

// The connection and name caches shared by every request of the session, so that requests to
// the same server reuse a kept-alive connection (libcurl asks us to lock them), and the transfer
// handles of closed requests. Making a multi handle costs a socket pair and the tables behind
// it, a fresh easy handle allocates its buffers again, and a fresh body buffer grows page by
// page: freed memory goes back to the system and each new page is a page fault again. With a
// page fetched every few hundred microseconds on loopback that more than doubled the time of a
// fetch, so later requests take all three over.
struct HttpSession::Shared {
  static constexpr size_t kMaxIdleHandles = 16;
  // A buffer that once held a huge body is not worth keeping.
  static constexpr size_t kMaxKeptBuffer = 1024 * 1024;

  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
  std::mutex idleMutex;
  std::vector<TransferHandles> idle;  // guarded by idleMutex

  Shared() {
    share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    // A new connection to a server seen before resumes its TLS session: one round trip less.
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  ~Shared() {
    // Handles that use the share go before it.
    for (const TransferHandles& handles : idle) {
      Destroy(handles);
    }
    curl_share_cleanup(share);
  }

  static void Destroy(const TransferHandles& handles) {
    if (handles.easy != nullptr)
      curl_easy_cleanup(handles.easy);
    if (handles.multi != nullptr)
      curl_multi_cleanup(handles.multi);
  }

  TransferHandles Take() {
    {
      std::lock_guard lock(idleMutex);
      if (!idle.empty()) {
        TransferHandles handles = std::move(idle.back());
        idle.pop_back();
        return handles;
      }
    }
    return {curl_easy_init(), curl_multi_init(), {}};
  }

  // `handles` must not be in a transfer (removed from their multi handle).
  void Give(TransferHandles handles) {
    if (handles.easy == nullptr || handles.multi == nullptr) {
      Destroy(handles);
      return;
    }
    // No callback of the closed request may run again, and no option of it carries over.
    curl_easy_reset(handles.easy);
    handles.buffer.clear();
    if (handles.buffer.capacity() > kMaxKeptBuffer) {
      handles.buffer = std::string();
    }
    {
      std::lock_guard lock(idleMutex);
      if (idle.size() < kMaxIdleHandles) {
        idle.push_back(std::move(handles));
        return;
      }
    }
    Destroy(handles);
  }

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Shared*>(self)->locks[static_cast<size_t>(data)].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Shared*>(self)->locks[static_cast<size_t>(data)].unlock();
  }
};

HttpSession::HttpSession(std::string agent) : m_agent(std::move(agent)) {
  GlobalInit();
  // The agent goes out as a header line of its own; a line end in it would add others.
  if (HasControlCharacters(m_agent))
    m_agent.clear();
  // libcurl reads only the lower-case http_proxy, since a CGI program's HTTP_PROXY can come
  // from a request header; we do the same.
  m_proxy = EnvOr("http_proxy", nullptr);
  m_secureProxy = EnvOr("https_proxy", "HTTPS_PROXY");
  m_noProxy = EnvOr("no_proxy", "NO_PROXY");
  m_caFile = EnvOr("TULIX_CA_FILE", nullptr);
  m_shared = std::make_unique<Shared>();
}

HttpSession::~HttpSession() = default;

void HttpSession::SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds idle) {
  std::lock_guard lock(m_mutex);
  m_connectTimeout = connect;
  m_idleTimeout = idle;
}

void HttpSession::SetCredentialsPrompt(HttpCredentialsPrompt prompt) {
  std::lock_guard lock(m_mutex);
  m_prompt = std::move(prompt);
}

void HttpSession::SetConnectedHook(std::function<void()> hook) {
  std::lock_guard lock(m_mutex);
  m_connectedHook = std::move(hook);
}

bool HttpSession::Prompt(const std::string& host, HttpCredentials& credentials) const {
  HttpCredentialsPrompt prompt;
  {
    std::lock_guard lock(m_mutex);
    prompt = m_prompt;
  }
  return prompt && prompt(host, credentials);
}

std::string HttpSession::ProxyFor(std::string_view host, bool secure) const {
  const std::string& proxy = secure ? m_secureProxy : m_proxy;
  if (proxy.empty())
    return {};
  std::string_view list = m_noProxy;
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view entry = Trim(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    if (entry == "*")
      return {};
    if (!entry.empty() && entry.front() == '.')
      entry.remove_prefix(1);
    if (entry.empty())
      continue;
    if (EqualNoCase(host, entry))
      return {};
    if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
        EqualNoCase(host.substr(host.size() - entry.size()), entry)) {
      return {};
    }
  }
  return proxy;
}

struct HttpRequest::Impl {
  HttpSession* session = nullptr;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  std::string verb;
  std::string host;
  uint16_t port = 80;
  std::string url;
  std::string target;
  std::string proxy;
  bool secure = false;
  std::chrono::milliseconds connectTimeout{30000};
  std::chrono::milliseconds idleTimeout{30000};
  std::optional<std::chrono::steady_clock::time_point> deadline;
  std::function<void()> connectedHook;
  std::vector<HeaderLine> headers;
  std::string body;
  std::optional<HttpCredentials> credentials;
  size_t cap = SIZE_MAX;

  // One response.
  std::vector<std::string> rawLines;
  size_t headerBytes = 0;  // every header line of the response, interim ones included
  std::string buffer;
  size_t bufferPos = 0;
  size_t bodyBytes = 0;
  bool headersDone = false;
  bool done = false;
  bool capped = false;
  CURLcode result = CURLE_OK;
  char errorText[CURL_ERROR_SIZE] = {};
  bool inMulti = false;
  bool connected = false;
  std::chrono::steady_clock::time_point lastData;

  std::atomic<bool> aborted{false};

  ~Impl() {
    if (inMulti)
      curl_multi_remove_handle(multi, easy);
    session->m_shared->Give({easy, multi, std::move(buffer)});
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* impl = static_cast<Impl*>(self);
    size_t n = size * count;
    std::string_view line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.remove_suffix(1);
    impl->lastData = std::chrono::steady_clock::now();
    // A server that never ends its headers (or its interim responses) would otherwise grow the
    // kept lines until the time-out; a short count ends the transfer as a failure.
    impl->headerBytes += n;
    if (impl->headerBytes > kMaxHeaderBytes)
      return 0;
    // Interim responses (100 Continue) have headers of their own: keep only the last response.
    if (line.substr(0, 5) == "HTTP/")
      impl->rawLines.clear();
    if (line.empty()) {
      long status = 0;
      curl_easy_getinfo(impl->easy, CURLINFO_RESPONSE_CODE, &status);
      if (status >= 200)
        impl->headersDone = true;
    } else {
      impl->rawLines.emplace_back(line);
    }
    return n;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* impl = static_cast<Impl*>(self);
    size_t n = size * count;
    impl->lastData = std::chrono::steady_clock::now();
    impl->headersDone = true;
    size_t room = impl->cap - impl->bodyBytes;
    size_t take = std::min(n, room);
    impl->buffer.append(data, take);
    impl->bodyBytes += take;
    if (take < n) {
      // A short count ends the transfer; what arrived so far stays readable.
      impl->capped = true;
      return take;
    }
    return n;
  }

  static int OnConnected(void* self, char*, char*, int, int) {
    auto* impl = static_cast<Impl*>(self);
    impl->connected = true;
    impl->lastData = std::chrono::steady_clock::now();
    long newConnections = 0;
    if (impl->connectedHook &&
        curl_easy_getinfo(impl->easy, CURLINFO_NUM_CONNECTS, &newConnections) == CURLE_OK &&
        newConnections > 0) {
      impl->connectedHook();
    }
    return CURL_PREREQFUNC_OK;
  }

  // Drives the transfer until `ready` holds, the transfer ends or fails. False with the last
  // error set on failure; a cap counts as a normal end.
  template <typename Ready>
  bool Drive(Ready ready) {
    while (!ready()) {
      if (aborted.load()) {
        SetLastError(kErrorInternetOperationCancelled);
        return false;
      }
      if (done) {
        if (result == CURLE_OK || (result == CURLE_WRITE_ERROR && capped))
          return true;
        SetLastError(ErrorFromCurl(result, easy));
        return false;
      }
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) {
        SetLastError(kErrorInternetConnectionAborted);
        return false;
      }
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg == CURLMSG_DONE) {
          done = true;
          result = msg->data.result;
        }
      }
      if (done || ready())
        continue;
      auto now = std::chrono::steady_clock::now();
      int wait = 1000;
      if (deadline) {
        if (now >= *deadline) {
          SetLastError(kErrorInternetTimeout);
          return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now).count();
        wait = static_cast<int>(std::min<int64_t>(wait, left + 1));
      }
      if (connected) {
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastData);
        if (idle >= idleTimeout) {
          SetLastError(kErrorInternetTimeout);
          return false;
        }
        wait = static_cast<int>(std::min<int64_t>(wait, (idleTimeout - idle).count() + 1));
      }
      curl_multi_poll(multi, nullptr, 0, wait, nullptr);
    }
    return true;
  }

  curl_slist* BuildHeaderList(bool* hasAgent) const {
    curl_slist* list = nullptr;
    auto add = [&](const std::string& line) { list = curl_slist_append(list, line.c_str()); };
    *hasAgent = false;
    for (const HeaderLine& h : headers) {
      if (EqualNoCase(h.name, "User-Agent"))
        *hasAgent = true;
      // libcurl reads "Name:" as "remove", and "Name;" as a header with an empty value.
      add(h.value.empty() ? h.name + ";" : h.name + ": " + h.value);
    }
    // Headers libcurl would add on its own: none goes out unless the caller asked for it.
    auto suppress = [&](const char* name) {
      if (FindHeader(headers, name) == headers.end())
        add(std::string(name) + ":");
    };
    suppress("Accept");
    suppress("Expect");
    if (EqualNoCase(verb, "POST"))
      suppress("Content-Type");
    return list;
  }
};

HttpRequest::HttpRequest(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

HttpRequest::~HttpRequest() = default;

std::unique_ptr<HttpRequest> HttpSession::OpenRequest(std::string_view verb, std::string_view host,
                                                      uint16_t port, std::string_view object,
                                                      std::string_view referer, uint32_t flags) {
  // The host goes into the address libcurl connects to and into the Host line.
  if (host.empty() || HasControlCharacters(host) || host.find(' ') != std::string_view::npos) {
    SetLastError(kErrorInternetInvalidUrl);
    return nullptr;
  }
  auto impl = std::make_unique<HttpRequest::Impl>();
  impl->session = this;
  impl->verb = verb.empty() ? "GET" : std::string(verb);
  impl->host = host;
  impl->port = port;
  impl->secure = (flags & kHttpFlagSecure) != 0;
  {
    std::lock_guard lock(m_mutex);
    impl->connectTimeout = m_connectTimeout;
    impl->idleTimeout = m_idleTimeout;
    impl->connectedHook = m_connectedHook;
  }
  std::string hostPart =
      impl->host.find(':') != std::string::npos ? "[" + impl->host + "]" : impl->host;
  std::string origin =
      (impl->secure ? "https://" : "http://") + hostPart + ":" + std::to_string(port);
  impl->url = origin + "/";
  impl->proxy = ProxyFor(host, impl->secure);
  // Through a proxy a plain request line carries the whole address; a secure request goes
  // through a tunnel to the server itself and so names only the object.
  impl->target =
      (impl->proxy.empty() || impl->secure ? "" : origin) + EncodeObject(object);
  if (!referer.empty())
    impl->headers.push_back({"Referer", EncodeAddress(referer)});
  TransferHandles handles = m_shared->Take();
  impl->easy = handles.easy;
  impl->multi = handles.multi;
  impl->buffer = std::move(handles.buffer);
  if (impl->easy == nullptr || impl->multi == nullptr) {
    SetLastError(kErrorInternetConnectionAborted);
    return nullptr;
  }
  return std::unique_ptr<HttpRequest>(new HttpRequest(std::move(impl)));
}

bool HttpRequest::AddRequestHeaders(std::string_view lines, HeaderMode mode) {
  auto& headers = m_impl->headers;
  while (!lines.empty()) {
    size_t end = lines.find('\n');
    std::string_view line = Trim(lines.substr(0, end));
    lines = end == std::string_view::npos ? std::string_view{} : lines.substr(end + 1);
    if (line.empty())
      continue;
    size_t colon = line.find(':');
    std::string_view name = colon == std::string_view::npos ? "" : Trim(line.substr(0, colon));
    if (name.empty()) {
      SetLastError(kErrorHttpInvalidHeader);
      return false;
    }
    HeaderLine header{std::string(name), std::string(Trim(line.substr(colon + 1)))};
    // Every line goes out as it is: a lone CR, a zero byte or another control character would
    // split it, cut it or let its rest pass for a header of its own on some servers.
    if (HasControlCharacters(header.name) || HasControlCharacters(header.value)) {
      SetLastError(kErrorHttpInvalidHeader);
      return false;
    }
    auto found = FindHeader(headers, name);
    bool present = found != headers.end();
    switch (mode) {
      case HeaderMode::kAdd:
        break;
      case HeaderMode::kAddIfNew:
        if (present) {
          SetLastError(kErrorHttpInvalidHeader);
          return false;
        }
        break;
      case HeaderMode::kReplace:
        if (!present) {
          SetLastError(kErrorHttpHeaderNotFound);
          return false;
        }
        [[fallthrough]];
      case HeaderMode::kAddOrReplace:
        if (present)
          headers.erase(found);
        // Replacing with an empty value only removes.
        if (header.value.empty())
          continue;
        break;
    }
    headers.push_back(std::move(header));
  }
  SetLastError(kErrorSuccess);
  return true;
}

std::optional<std::string> HttpRequest::QueryRequestHeader(std::string_view name) const {
  auto found = FindHeader(m_impl->headers, name);
  if (found == m_impl->headers.end()) {
    SetLastError(kErrorHttpHeaderNotFound);
    return std::nullopt;
  }
  return found->value;
}

void HttpRequest::SetBodyCap(size_t bytes) {
  m_impl->cap = bytes;
}

void HttpRequest::SetDeadline(std::chrono::steady_clock::time_point deadline) {
  m_impl->deadline = deadline;
}

bool HttpRequest::Send(std::string_view headers, std::string_view body) {
  Impl& r = *m_impl;
  if (!headers.empty() && !AddRequestHeaders(headers, HeaderMode::kAddOrReplace))
    return false;
  if (r.aborted.load()) {
    SetLastError(kErrorInternetOperationCancelled);
    return false;
  }
  if (r.inMulti) {
    curl_multi_remove_handle(r.multi, r.easy);
    r.inMulti = false;
  }
  m_status = 0;
  r.rawLines.clear();
  r.headerBytes = 0;
  r.buffer.clear();
  r.bufferPos = 0;
  r.bodyBytes = 0;
  r.headersDone = r.done = r.capped = r.connected = false;
  r.result = CURLE_OK;
  r.body = body;

  CURL* e = r.easy;
  curl_easy_reset(e);
  curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
  curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, r.target.c_str());
  curl_easy_setopt(e, CURLOPT_PROXY, r.proxy.c_str());
  curl_easy_setopt(e, CURLOPT_SHARE, r.session->m_shared->share);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // Every server gets the one protocol the layer's header handling was written for.
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  r.errorText[0] = '\0';
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.errorText);
  if (r.secure) {
    // Verification is libcurl's default; it is set here so that no reset can lose it.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!r.session->m_caFile.empty())
      curl_easy_setopt(e, CURLOPT_CAINFO, r.session->m_caFile.c_str());
  }
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(r.connectTimeout.count()));
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Impl::OnConnected);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, &r);
  bool hasAgent = false;
  curl_slist* list = r.BuildHeaderList(&hasAgent);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);
  if (!hasAgent && !r.session->Agent().empty()) {
    curl_easy_setopt(e, CURLOPT_USERAGENT, r.session->Agent().c_str());
  }
  if (EqualNoCase(r.verb, "POST")) {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data());
  } else if (EqualNoCase(r.verb, "HEAD")) {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (!EqualNoCase(r.verb, "GET")) {
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
  }
  if (r.credentials) {
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(e, CURLOPT_USERNAME, r.credentials->user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, r.credentials->password.c_str());
  }
  r.lastData = std::chrono::steady_clock::now();
  curl_multi_add_handle(r.multi, e);
  r.inMulti = true;
  bool ok = r.Drive([&] { return r.headersDone; });
  // libcurl copies the header list when the request goes out.
  if (ok || r.done) {
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    m_status = static_cast<int>(status);
  }
  // libcurl ends a transfer without an error when the server closes the connection after the
  // status line but before the blank line that ends the headers; such an answer is cut off, and
  // taking it for a complete (empty) page would hide the failure.
  if (ok && (m_status == 0 || !r.headersDone)) {
    SetLastError(kErrorHttpInvalidServerResponse);
    ok = false;
  }
  if (!ok) {
    curl_multi_remove_handle(r.multi, e);
    r.inMulti = false;
  }
  curl_slist_free_all(list);
  if (ok)
    SetLastError(kErrorSuccess);
  return ok;
}

uint32_t HttpRequest::PromptForCredentials() {
  HttpCredentials credentials = m_impl->credentials.value_or(HttpCredentials{});
  if (!m_impl->session->Prompt(m_impl->host, credentials)) {
    SetLastError(kErrorCancelled);
    return kErrorCancelled;
  }
  m_impl->credentials = std::move(credentials);
  SetLastError(kErrorInternetForceRetry);
  return kErrorInternetForceRetry;
}

std::string HttpRequest::RawHeaders() const {
  std::string out;
  for (const std::string& line : m_impl->rawLines)
    out += line + "\r\n";
  return out + "\r\n";
}

std::optional<std::string> HttpRequest::QueryResponseHeader(std::string_view name) const {
  for (const std::string& line : m_impl->rawLines) {
    size_t colon = line.find(':');
    if (colon != std::string::npos && line.substr(0, 5) != "HTTP/" &&
        EqualNoCase(Trim(std::string_view(line).substr(0, colon)), name)) {
      return std::string(Trim(std::string_view(line).substr(colon + 1)));
    }
  }
  SetLastError(kErrorHttpHeaderNotFound);
  return std::nullopt;
}

bool HttpRequest::Read(char* buffer, size_t size, size_t* read) {
  Impl& r = *m_impl;
  *read = 0;
  if (!r.inMulti && !r.done) {
    SetLastError(r.aborted.load() ? kErrorInternetOperationCancelled
                                  : kErrorInternetConnectionAborted);
    return false;
  }
  if (!r.Drive([&] { return r.bufferPos < r.buffer.size(); }))
    return false;
  size_t n = std::min(size, r.buffer.size() - r.bufferPos);
  std::memcpy(buffer, r.buffer.data() + r.bufferPos, n);
  r.bufferPos += n;
  if (r.bufferPos == r.buffer.size()) {
    r.buffer.clear();
    r.bufferPos = 0;
  }
  *read = n;
  SetLastError(kErrorSuccess);
  return true;
}

std::string HttpRequest::FailureText() const {
  return m_impl->errorText;
}

void HttpRequest::Abort() {
  m_impl->aborted.store(true);
  curl_multi_wakeup(m_impl->multi);
}

}  // namespace tulix
