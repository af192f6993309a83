#include "platform/tcp_stream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "platform/last_error.h"

namespace tulix {

namespace {

using Clock = std::chrono::steady_clock;

uint32_t WsaErrorFromErrno(int err) {
  switch (err) {
    case ECONNREFUSED:
      return kWsaErrorConnectionRefused;
    case ECONNRESET:
      return kWsaErrorConnectionReset;
    case ETIMEDOUT:
      return kWsaErrorTimedOut;
    case ENETUNREACH:
    case ENETDOWN:
      return kWsaErrorNetworkUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return kWsaErrorHostUnreachable;
    case EADDRNOTAVAIL:
      return kWsaErrorAddressNotAvailable;
    case EADDRINUSE:
      return kWsaErrorAddressInUse;
    // A firewall rule that drops the packet shows as EPERM on Linux; Windows says "access denied".
    case EACCES:
    case EPERM:
      return kWsaErrorAccessDenied;
    case EAGAIN:
      return kWsaErrorWouldBlock;
    case EINVAL:
      return kWsaErrorInvalidArgument;
    case ENOTCONN:
      return kWsaErrorNotConnected;
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
      return kWsaErrorProtocolNotSupported;
    // ECONNABORTED, EPIPE and whatever else ends a connection: the callers treat them alike.
    default:
      return kWsaErrorConnectionAborted;
  }
}

std::string ErrnoText(int err) {
  return std::system_category().message(err);
}

// IPv4 only: the addresses the callers store and compare are dotted IPv4 ones.
std::optional<in_addr> ResolveIPv4(const std::string& host, std::string* failure) {
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return address;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    *failure = "cannot resolve \"" + host + "\": " + (rc != 0 ? gai_strerror(rc) : "no address");
    return std::nullopt;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return address;
}

sockaddr_in SocketAddress(in_addr address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

// A deadline `timeout` from now; a caller's "forever" (milliseconds::max()) must not overflow
// the clock, and a year is forever enough.
Clock::time_point DeadlineIn(std::chrono::milliseconds timeout) {
  return Clock::now() + std::clamp<std::chrono::milliseconds>(timeout, std::chrono::milliseconds(0),
                                                              std::chrono::hours(24 * 365));
}

// Waits for `events` on `fd` until `deadline`. 1: ready, 0: the time ran out, -1: poll failed
// (errno says why). Signals that interrupt the wait do not shorten it.
int WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX)));
    if (rc < 0 && errno == EINTR) {
      continue;
    }
    return rc;
  }
}

// The socket BIO of the TLS library writes with write(), and a write to a connection the peer
// has closed would raise SIGPIPE and end the program. This one sends with MSG_NOSIGNAL; the
// rest is what the stock socket BIO does for a non-blocking socket.
int NoSignalWrite(BIO* bio, const char* data, int size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    BIO_set_retry_write(bio);
  }
  return static_cast<int>(n);
}

int NoSignalRead(BIO* bio, char* data, int size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::recv(fd, data, static_cast<size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    BIO_set_retry_read(bio);
  } else if (n == 0) {
    BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
  }
  return static_cast<int>(n);
}

long NoSignalControl(BIO* bio, int command, long, void* pointer) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_C_GET_FD: {
      const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
      if (pointer != nullptr) {
        *static_cast<int*>(pointer) = fd;
      }
      return fd;
    }
    case BIO_CTRL_EOF:
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    default:
      return 0;
  }
}

int NoSignalCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made once and kept for the life of the program, as the library's own methods are.
const BIO_METHOD* NoSignalSocketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "tulix socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, NoSignalWrite);
      BIO_meth_set_read(m, NoSignalRead);
      BIO_meth_set_ctrl(m, NoSignalControl);
      BIO_meth_set_create(m, NoSignalCreate);
    }
    return m;
  }();
  return method;
}

// The TLS library's words for what it last refused: the certificate check's reason when the
// chain or the name was refused, else the newest entry of the thread's error queue.
std::string TlsFailureText(SSL* ssl) {
  const long verify = ssl != nullptr ? SSL_get_verify_result(ssl) : X509_V_OK;
  if (verify != X509_V_OK) {
    ERR_clear_error();
    return std::string("certificate refused: ") + X509_verify_cert_error_string(verify);
  }
  const unsigned long err = ERR_peek_last_error();
  ERR_clear_error();
  if (err == 0) {
    return "the TLS connection failed";
  }
  if (const char* reason = ERR_reason_error_string(err); reason != nullptr) {
    return reason;
  }
  char text[256];
  ERR_error_string_n(err, text, sizeof(text));
  return text;
}

}  // namespace

struct TcpStream::Impl {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string host;  // as given to Connect: the name (or address) the certificate must carry
  std::string failureText;

  bool Fail(uint32_t error, std::string text) {
    failureText = std::move(text);
    SetLastError(error);
    return false;
  }
  bool FailErrno(int err) { return Fail(WsaErrorFromErrno(err), ErrnoText(err)); }

  bool OpenSocket(const sockaddr_in& remote, const std::optional<sockaddr_in>& local,
                  std::chrono::milliseconds timeout);
  bool Handshake(Clock::time_point deadline);
  bool SendTls(std::string_view data, std::chrono::milliseconds timeout);
  bool SendPlain(std::string_view data, std::chrono::milliseconds timeout);
  bool ReceiveTls(char* buffer, size_t size, size_t* received);
  bool ReceiveTlsPending(Clock::time_point deadline);
  void Release();
};

bool TcpStream::Impl::OpenSocket(const sockaddr_in& remote, const std::optional<sockaddr_in>& local,
                                 std::chrono::milliseconds timeout) {
  // Non-blocking from the start: the connect waits through poll with the time limit, and
  // Receive must never wait.
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return FailErrno(errno);
  }
  if (local && ::bind(fd, reinterpret_cast<const sockaddr*>(&*local), sizeof(*local)) != 0) {
    return FailErrno(errno);
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) == 0) {
    return true;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    return FailErrno(errno);
  }
  const int ready = WaitFor(fd, POLLOUT, DeadlineIn(timeout));
  if (ready == 0) {
    return Fail(kWsaErrorTimedOut, "no connection within the time limit");
  }
  if (ready < 0) {
    return FailErrno(errno);
  }
  int err = 0;
  socklen_t length = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) {
    err = errno;
  }
  return err == 0 ? true : FailErrno(err);
}

bool TcpStream::Impl::Handshake(Clock::time_point deadline) {
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_connect(ssl);
    if (rc == 1) {
      return true;
    }
    const int sslError = SSL_get_error(ssl, rc);
    const int err = errno;
    short events = 0;
    if (sslError == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (sslError == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else if (sslError == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      // The connection itself failed (or the peer hung up) in the middle of the handshake.
      return Fail(kWsaErrorSecureChannel, err != 0
                                              ? ErrnoText(err)
                                              : "the server closed the connection during the TLS "
                                                "handshake");
    } else {
      return Fail(kWsaErrorSecureChannel, TlsFailureText(ssl));
    }
    const int ready = WaitFor(fd, events, deadline);
    if (ready == 0) {
      return Fail(kWsaErrorTimedOut, "the TLS handshake did not finish within the time limit");
    }
    if (ready < 0) {
      return FailErrno(errno);
    }
  }
}

bool TcpStream::Impl::SendPlain(std::string_view data, std::chrono::milliseconds timeout) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return FailErrno(errno);
    }
    const int ready = WaitFor(fd, POLLOUT, DeadlineIn(timeout));
    if (ready == 0) {
      return Fail(kWsaErrorTimedOut, "the peer took nothing within the time limit");
    }
    if (ready < 0) {
      return FailErrno(errno);
    }
  }
  return true;
}

bool TcpStream::Impl::SendTls(std::string_view data, std::chrono::milliseconds timeout) {
  while (!data.empty()) {
    ERR_clear_error();
    size_t written = 0;
    errno = 0;
    const int rc = SSL_write_ex(ssl, data.data(), data.size(), &written);
    if (rc == 1) {
      data.remove_prefix(written);
      continue;
    }
    const int sslError = SSL_get_error(ssl, rc);
    const int err = errno;
    short events = 0;
    if (sslError == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else if (sslError == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if ((sslError == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) ||
               sslError == SSL_ERROR_ZERO_RETURN) {
      // The socket failed, or (ZERO_RETURN) the peer had sent its close notice before the
      // write that then failed on the closed connection: either way the connection is gone.
      return FailErrno(err != 0 ? err : EPIPE);
    } else {
      return Fail(kWsaErrorSecureChannel, TlsFailureText(ssl));
    }
    const int ready = WaitFor(fd, events, DeadlineIn(timeout));
    if (ready == 0) {
      return Fail(kWsaErrorTimedOut, "the peer took nothing within the time limit");
    }
    if (ready < 0) {
      return FailErrno(errno);
    }
  }
  return true;
}

bool TcpStream::Impl::ReceiveTls(char* buffer, size_t size, size_t* received) {
  ERR_clear_error();
  errno = 0;
  const int rc = SSL_read_ex(ssl, buffer, size, received);
  if (rc == 1) {
    return true;
  }
  *received = 0;
  const int sslError = SSL_get_error(ssl, rc);
  const int err = errno;
  switch (sslError) {
    case SSL_ERROR_ZERO_RETURN:
      return true;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return Fail(kWsaErrorWouldBlock, "nothing received yet");
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0) {
        return FailErrno(err != 0 ? err : ECONNRESET);
      }
      [[fallthrough]];
    default:
      return Fail(kWsaErrorSecureChannel, TlsFailureText(ssl));
  }
}

// A readable socket under TLS may carry only records that hold no data for the caller (a TLS 1.3
// session ticket arrives that way right after the handshake), so readiness is decided by peeking
// through the TLS layer: data, the peer's close or an error end the wait, "want more" does not.
bool TcpStream::Impl::ReceiveTlsPending(Clock::time_point deadline) {
  for (;;) {
    if (SSL_pending(ssl) > 0) {
      return true;
    }
    ERR_clear_error();
    char byte;
    size_t peeked = 0;
    const int rc = SSL_peek_ex(ssl, &byte, 1, &peeked);
    const int sslError = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, rc);
    ERR_clear_error();
    short events = 0;
    if (sslError == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (sslError == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else {
      return true;
    }
    const int ready = WaitFor(fd, events, deadline);
    if (ready == 0) {
      return Fail(kWsaErrorTimedOut, "nothing received within the time limit");
    }
    if (ready < 0) {
      return FailErrno(errno);
    }
  }
}

void TcpStream::Impl::Release() {
  if (ssl != nullptr) {
    // One close notice, without waiting for the peer's: the connection is going either way.
    if (SSL_is_init_finished(ssl)) {
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ssl = nullptr;
    ERR_clear_error();
  }
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

TcpStream::TcpStream() : m_impl(std::make_unique<Impl>()) {}

TcpStream::~TcpStream() {
  Close();
}

bool TcpStream::Connect(const std::string& host, uint16_t port, const std::string& localAddress,
                        std::chrono::milliseconds timeout) {
  Close();
  std::string failure;
  const std::optional<in_addr> remote = ResolveIPv4(host, &failure);
  if (!remote) {
    return m_impl->Fail(kWsaErrorInvalidArgument, failure);
  }
  std::optional<sockaddr_in> local;
  if (!localAddress.empty()) {
    const std::optional<in_addr> localIp = ResolveIPv4(localAddress, &failure);
    if (!localIp) {
      return m_impl->Fail(kWsaErrorInvalidArgument, failure);
    }
    local = SocketAddress(*localIp, 0);
  }
  if (!m_impl->OpenSocket(SocketAddress(*remote, port), local, timeout)) {
    m_impl->Release();
    return false;
  }
  m_impl->host = host;
  m_impl->failureText.clear();
  return true;
}

bool TcpStream::StartTls(std::chrono::milliseconds timeout) {
  Impl& s = *m_impl;
  if (s.fd < 0) {
    return s.Fail(kWsaErrorNotConnected, "not connected");
  }
  if (s.ssl != nullptr) {
    return true;
  }
  const auto deadline = DeadlineIn(timeout);
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    return s.Fail(kWsaErrorSecureChannel, TlsFailureText(nullptr));
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // Mail servers often hang up without a close notice; that is the end of the conversation
  // (Receive gives 0), not an error.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_default_verify_paths(context);
  if (const char* caFile = std::getenv("TULIX_CA_FILE"); caFile != nullptr && *caFile != '\0') {
    if (SSL_CTX_load_verify_locations(context, caFile, nullptr) != 1) {
      SSL_CTX_free(context);
      return s.Fail(kWsaErrorSecureChannel,
                    std::string("cannot read the authorities of ") + caFile);
    }
  }
  s.ssl = SSL_new(context);
  SSL_CTX_free(context);  // the connection holds its own reference
  BIO* bio = s.ssl != nullptr ? BIO_new(NoSignalSocketMethod()) : nullptr;
  if (bio == nullptr) {
    const std::string text = "cannot set up TLS";
    s.Release();
    return s.Fail(kWsaErrorSecureChannel, text);
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(s.fd)));
  SSL_set_bio(s.ssl, bio, bio);

  in_addr ignored{};
  if (inet_pton(AF_INET, s.host.c_str(), &ignored) == 1) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), s.host.c_str());
  } else {
    SSL_set_hostflags(s.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(s.ssl, s.host.c_str());
    SSL_set_tlsext_host_name(s.ssl, s.host.c_str());
  }
  SSL_set_connect_state(s.ssl);
  if (!s.Handshake(deadline)) {
    // A half-done handshake leaves the connection useless for plain text as well.
    const uint32_t error = GetLastError();
    s.Release();
    SetLastError(error);
    return false;
  }
  return true;
}

bool TcpStream::IsTls() const {
  return m_impl->ssl != nullptr;
}

bool TcpStream::Send(std::string_view data, std::chrono::milliseconds timeout) {
  if (m_impl->fd < 0) {
    return m_impl->Fail(kWsaErrorNotConnected, "not connected");
  }
  return m_impl->ssl != nullptr ? m_impl->SendTls(data, timeout) : m_impl->SendPlain(data, timeout);
}

bool TcpStream::WaitReadable(std::chrono::milliseconds timeout) {
  Impl& s = *m_impl;
  if (s.fd < 0) {
    return s.Fail(kWsaErrorNotConnected, "not connected");
  }
  const auto deadline = DeadlineIn(timeout);
  if (s.ssl != nullptr) {
    return s.ReceiveTlsPending(deadline);
  }
  const int ready = WaitFor(s.fd, POLLIN, deadline);
  if (ready == 0) {
    return s.Fail(kWsaErrorTimedOut, "nothing received within the time limit");
  }
  return ready > 0 ? true : s.FailErrno(errno);
}

bool TcpStream::Receive(char* buffer, size_t size, size_t* received) {
  Impl& s = *m_impl;
  *received = 0;
  if (s.fd < 0) {
    return s.Fail(kWsaErrorNotConnected, "not connected");
  }
  if (s.ssl != nullptr) {
    return s.ReceiveTls(buffer, size, received);
  }
  ssize_t n;
  do {
    n = ::recv(s.fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK
               ? s.Fail(kWsaErrorWouldBlock, "nothing received yet")
               : s.FailErrno(errno);
  }
  *received = static_cast<size_t>(n);
  return true;
}

void TcpStream::Close() {
  m_impl->Release();
}

bool TcpStream::IsOpen() const {
  return m_impl->fd >= 0;
}

const std::string& TcpStream::FailureText() const {
  return m_impl->failureText;
}

std::string LocalHostName(size_t maxLength) {
  char name[256] = "";
  if (gethostname(name, sizeof(name) - 1) != 0) {
    return {};
  }
  name[sizeof(name) - 1] = '\0';
  std::string result(name);
  if (result.size() > maxLength) {
    result.resize(maxLength);
  }
  return result;
}

}  // namespace tulix
