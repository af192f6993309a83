// A blocking TCP client stream, plain or over TLS, for protocols that talk line by line (the
// mail client): connect from an optional local address, send everything, receive what is there,
// wait for data with a time limit, and switch an open connection to TLS (STARTTLS) or start
// with TLS at once.
//
// Failures return false and set the thread's last error (last_error.h) to the Windows socket
// error numbers the callers were written against: kWsaErrorTimedOut when a wait runs out,
// kWsaErrorInvalidArgument for an address that cannot be resolved, and for everything else the
// nearest Windows socket number of the system's error (kWsaErrorConnectionRefused,
// kWsaErrorConnectionReset, ...). A TLS failure (handshake, certificate) sets
// kWsaErrorSecureChannel; FailureText() then says why in the TLS library's words.
//
// TLS always verifies the server's certificate chain against the system's store (plus the
// authorities of the file $TULIX_CA_FILE names, when set) and the certificate's name against
// the host name given to Connect (or its address, when that was an address).
//
// Ownership: the object owns its socket and TLS state; both go when it does.
// Thread safety: one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tulix {

inline constexpr uint32_t kWsaErrorAccessDenied = 10013;
inline constexpr uint32_t kWsaErrorInvalidArgument = 10022;
inline constexpr uint32_t kWsaErrorWouldBlock = 10035;
inline constexpr uint32_t kWsaErrorProtocolNotSupported = 10043;
inline constexpr uint32_t kWsaErrorAddressInUse = 10048;
inline constexpr uint32_t kWsaErrorAddressNotAvailable = 10049;
inline constexpr uint32_t kWsaErrorNetworkUnreachable = 10051;
inline constexpr uint32_t kWsaErrorConnectionAborted = 10053;
inline constexpr uint32_t kWsaErrorConnectionReset = 10054;
inline constexpr uint32_t kWsaErrorNotConnected = 10057;
inline constexpr uint32_t kWsaErrorTimedOut = 10060;
inline constexpr uint32_t kWsaErrorConnectionRefused = 10061;
inline constexpr uint32_t kWsaErrorHostUnreachable = 10065;
// Not a Windows socket number of its own: the TLS layer (SEC_E_* on Windows) in one value.
inline constexpr uint32_t kWsaErrorSecureChannel = 0x80090326;

class TcpStream {
 public:
  TcpStream();
  ~TcpStream();
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Resolves `host` (a dotted IPv4 address, else a name looked up for IPv4) and connects to it
  // on `port`, from `localAddress` (same forms; empty: any) when one is given, bound with port 0.
  // Waits at most `timeout` for the connection. An unresolvable host or local address fails
  // with kWsaErrorInvalidArgument before anything is connected.
  bool Connect(const std::string& host, uint16_t port, const std::string& localAddress,
               std::chrono::milliseconds timeout);

  // Runs the TLS handshake on the open connection (for STARTTLS, or at once for a server that
  // speaks TLS from the start), verifying the certificate for the host given to Connect. From
  // then on Send and Receive go through TLS. Waits at most `timeout` (kWsaErrorTimedOut).
  // A failed handshake closes the connection: it is no use for plain text any more either.
  bool StartTls(std::chrono::milliseconds timeout);
  bool IsTls() const;

  // Sends all of `data` (waiting as long as the peer takes it, at most `timeout` without
  // progress).
  bool Send(std::string_view data, std::chrono::milliseconds timeout);

  // Waits until data can be received or `timeout` passes. True when there is data (or the peer
  // closed: Receive then gives 0); false with kWsaErrorTimedOut when the time ran out, or the
  // socket's error. Under TLS, data already decrypted counts, and records that carry nothing
  // for the caller (session tickets) do not end the wait.
  bool WaitReadable(std::chrono::milliseconds timeout);

  // Receives what is there without waiting, at most `size` bytes, into `buffer`; `*received`
  // is 0 when the peer closed the connection. False on an error (kWsaErrorWouldBlock when
  // nothing is there yet).
  bool Receive(char* buffer, size_t size, size_t* received);

  // Closes the connection (sending the TLS close notice first when TLS is on). Safe to call
  // more than once.
  void Close();
  bool IsOpen() const;

  // The TLS library's or the system's words for the last failure; "" when none.
  const std::string& FailureText() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// The local computer's host name, at most `maxLength` characters.
std::string LocalHostName(size_t maxLength = 100);

}  // namespace tulix
