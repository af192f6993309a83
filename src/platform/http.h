// HTTP client over libcurl with the behaviour the fetcher was written against: a session that
// carries the agent text, the proxy and the time-outs, and request objects on which header lines
// are added or replaced one by one before the request is sent, whose status, raw response headers
// and body are then read in pieces.
//
// The layer never follows redirects and never sends a header the caller did not ask for, apart
// from Host, Content-Length of a body and the session's agent as User-Agent when the request
// carries none. Failures return false and set the thread's last error (last_error.h) to the
// Windows internet error numbers declared below.
//
// Ownership: the caller owns the session and every request; a request must not outlive its
// session.
// Thread safety: a session may be shared by any number of threads (opening requests, installing
// the prompt and the time-outs). A request belongs to one thread at a time, except Abort, which
// any thread may call while the request exists.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tulix {

inline constexpr uint32_t kErrorCancelled = 1223;
inline constexpr uint32_t kErrorInternetTimeout = 12002;
inline constexpr uint32_t kErrorInternetInvalidUrl = 12005;
inline constexpr uint32_t kErrorInternetNameNotResolved = 12007;
inline constexpr uint32_t kErrorInternetOperationCancelled = 12017;
inline constexpr uint32_t kErrorInternetCannotConnect = 12029;
inline constexpr uint32_t kErrorInternetConnectionAborted = 12030;
inline constexpr uint32_t kErrorInternetConnectionReset = 12031;
inline constexpr uint32_t kErrorInternetForceRetry = 12032;
inline constexpr uint32_t kErrorInternetSecCertDateInvalid = 12037;
inline constexpr uint32_t kErrorInternetSecCertCnInvalid = 12038;
inline constexpr uint32_t kErrorInternetInvalidCa = 12045;
inline constexpr uint32_t kErrorInternetSecureFailure = 12175;
inline constexpr uint32_t kErrorHttpHeaderNotFound = 12150;
inline constexpr uint32_t kErrorHttpInvalidServerResponse = 12152;
inline constexpr uint32_t kErrorHttpInvalidHeader = 12153;

// Open flags. Nothing is ever cached and redirects are never followed, so both are accepted for
// the callers' sake and change nothing.
inline constexpr uint32_t kHttpFlagReload = 0x80000000u;
inline constexpr uint32_t kHttpFlagNoAutoRedirect = 0x00200000u;
// The request goes over TLS (https). The server's certificate is always verified, chain and
// name, against the system's certificate store, and also against the authorities of the file
// that $TULIX_CA_FILE names when that is set (tests trust a certificate authority of their own
// that way). A refused certificate fails Send with one of the certificate errors above.
inline constexpr uint32_t kHttpFlagSecure = 0x00800000u;

// Whether `error` says that a secure connection could not be made (the certificate was refused
// or the TLS handshake failed).
bool IsSecureConnectionError(uint32_t error);

// How AddRequestHeaders treats a header that is already present (names compare without case).
enum class HeaderMode {
  kAdd,       // always append, duplicates allowed
  kAddIfNew,  // append only when absent; present fails with kErrorHttpInvalidHeader
  kReplace,   // drop the first occurrence and append; absent fails with kErrorHttpHeaderNotFound
  kAddOrReplace,  // replace when present, else append
};

struct HttpCredentials {
  std::string user;
  std::string password;
};

// Asked when a server answers 401. Returns true when the user chose to retry (having filled in
// `credentials`), false to cancel. Runs on the thread that asks for it.
using HttpCredentialsPrompt =
    std::function<bool(const std::string& host, HttpCredentials& credentials)>;

class HttpRequest;

class HttpSession {
 public:
  // Reads the proxies from http_proxy / https_proxy / no_proxy and the extra certificate
  // authorities from TULIX_CA_FILE now; an empty agent sends no User-Agent.
  explicit HttpSession(std::string agent);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  const std::string& Agent() const { return m_agent; }

  // Applies to requests opened afterwards. Defaults: 30 s each. `idle` is the longest wait
  // without any data once connected (waiting for the answer or for more of the body).
  void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds idle);

  // None installed means every prompt is cancelled.
  void SetCredentialsPrompt(HttpCredentialsPrompt prompt);

  // Called on the requesting thread whenever a request opened afterwards has made a new
  // connection to a server (not when it reuses a kept-alive one).
  void SetConnectedHook(std::function<void()> hook);

  // Host may be a name or an address; `object` is the path and query as the caller has it, and
  // is sent with blanks and control characters percent-encoded, as is the referer. An empty
  // referer sends none. A host that is empty or holds blanks or control characters fails with
  // kErrorInternetInvalidUrl. Nothing goes on the network until Send.
  std::unique_ptr<HttpRequest> OpenRequest(std::string_view verb, std::string_view host,
                                           uint16_t port, std::string_view object,
                                           std::string_view referer, uint32_t flags);

 private:
  friend class HttpRequest;
  struct Shared;

  bool Prompt(const std::string& host, HttpCredentials& credentials) const;
  // The proxy URL to use for `host`, empty for a direct connection.
  std::string ProxyFor(std::string_view host, bool secure) const;

  std::string m_agent;
  std::string m_proxy;
  std::string m_secureProxy;
  std::string m_caFile;
  std::string m_noProxy;
  std::unique_ptr<Shared> m_shared;
  mutable std::mutex m_mutex;
  std::chrono::milliseconds m_connectTimeout{30000};
  std::chrono::milliseconds m_idleTimeout{30000};
  HttpCredentialsPrompt m_prompt;
  std::function<void()> m_connectedHook;
};

class HttpRequest {
 public:
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // One or more "Name: value" lines separated by CR LF (blank lines ignored), each applied with
  // `mode`. Stops at the first failing line and returns false with the last error set; a line
  // with a control character left in it after the split (a lone CR, a zero byte, a tab) fails
  // with kErrorHttpInvalidHeader.
  bool AddRequestHeaders(std::string_view lines, HeaderMode mode);
  // The value of the first request header of that name.
  std::optional<std::string> QueryRequestHeader(std::string_view name) const;

  // Stops reading the body after `bytes` (counting from the start of the body): the transfer
  // ends there, the status, the headers and the body received so far stay readable, and the
  // body then reads as ended. Unlimited by default.
  void SetBodyCap(size_t bytes);

  // Ends Send and Read with kErrorInternetTimeout once `deadline` has passed, however the
  // server trickles its answer; none by default. Set before Send.
  void SetDeadline(std::chrono::steady_clock::time_point deadline);

  // Adds `headers` (ADD|REPLACE, so a resend does not double them) and sends the request with
  // `body`; returns once the response's status and headers arrived. A 401 or a redirect is a
  // success; only network failures, time-outs and aborts return false.
  bool Send(std::string_view headers = {}, std::string_view body = {});

  // The password dialog on a 401: asks the session's prompt and returns kErrorInternetForceRetry
  // when the user chose to retry (the credentials then go with every later Send) or
  // kErrorCancelled.
  uint32_t PromptForCredentials();

  // 0 before a response.
  int StatusCode() const { return m_status; }
  // Status line first, then each header line as received, each ending CR LF, then an empty line.
  std::string RawHeaders() const;
  // The value of the first response header of that name (names compare without case).
  std::optional<std::string> QueryResponseHeader(std::string_view name) const;

  // Copies up to `size` body bytes into `buffer`, waiting for data when none is buffered.
  // Returns true with `*read` 0 at the end of the body (or at the cap); false on failure.
  bool Read(char* buffer, size_t size, size_t* read);

  // What went wrong in the last failed Send or Read, in the network library's words (for the
  // log: "SSL certificate problem: certificate has expired"); empty when it said nothing.
  std::string FailureText() const;

  // Ends the current or next wait of Send or Read with kErrorInternetOperationCancelled. Safe
  // from any thread; the request is unusable afterwards.
  void Abort();

 private:
  friend class HttpSession;
  struct Impl;
  explicit HttpRequest(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> m_impl;
  int m_status = 0;
};

}  // namespace tulix
