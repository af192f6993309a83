// The mail client: one session with the user's outgoing mail server, which greets it,
// authenticates (none, CRAM-MD5, AUTH LOGIN or LOGIN PLAIN), sends one message and says goodbye.
// Every step blocks until the server's reply arrives or the reply time-out passes.
//
// Beyond plain text, the session can be secured: STARTTLS after the first greeting (the server
// must offer it; a server that does not is a failure, never a silent fall-back to plain text),
// or TLS from the first byte (as on port 465). The server's certificate is always verified.
//
// Failures return false and leave the reason in the thread's last error (10060 time-out, 10043
// unexpected reply code, 10022 address that cannot be resolved, the socket layer's own numbers,
// kWsaErrorSecureChannel for TLS) and in LastCommandResponse().
//
// Ownership: the connection owns its stream; a message is only borrowed while it is sent.
// Thread safety: one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/tcp_stream.h"

namespace tulix {

class CSMTPMessage;

// The values of Email\Authenticate.
enum SmtpAuthentication : int {
  kSmtpAuthNone = 0,
  kSmtpAuthCramMd5 = 1,
  kSmtpAuthLogin = 2,
  kSmtpAuthLoginPlain = 3,
};

// The values of Email\Security, a setting of our own: how the session is protected.
enum SmtpSecurity : int {
  kSmtpSecurityNone = 0,      // plain text throughout
  kSmtpSecurityStartTls = 1,  // plain greeting, then STARTTLS and a new greeting over TLS
  kSmtpSecurityTls = 2,       // TLS from the first byte
};

inline constexpr uint32_t kDefaultSmtpTimeoutMs = 60000;

class CSMTPConnection {
 public:
  CSMTPConnection();
  // Ends a session still open (QUIT).
  ~CSMTPConnection();
  CSMTPConnection(const CSMTPConnection&) = delete;
  CSMTPConnection& operator=(const CSMTPConnection&) = delete;

  // Connects to `host` on `port` (from `localAddress` when not empty), greets the server and
  // authenticates with `method`. Any failure after the connection was made ends the session
  // (QUIT) and closes it.
  bool Connect(const std::string& host, int method, const std::string& user,
               const std::string& password, uint16_t port, const std::string& localAddress,
               int security = kSmtpSecurityNone);

  // MAIL FROM, RCPT TO for every recipient (To, then Cc, then Bcc), DATA, the message, and the
  // final dot.
  bool SendMessage(const CSMTPMessage& message);

  // QUIT, when connected, then closes. True when the server answered 221.
  bool Disconnect();

  // Reads one reply (all of it, up to its final line end) and looks for a line with
  // `expectedCode`; false with 10043 when no line has it, 10060 when the server was silent for
  // the time-out.
  bool ReadCommandResponse(int expectedCode);

  const std::string& GetLastCommandResponse() const { return m_lastCommandResponse; }
  int GetLastCommandResponseCode() const { return m_lastCommandResponseCode; }
  bool IsConnected() const { return m_connected; }

  void SetTimeout(uint32_t milliseconds) { m_timeoutMs = milliseconds; }
  uint32_t GetTimeout() const { return m_timeoutMs; }
  // "auto" (the default) greets with the local host name.
  void SetHeloHostname(std::string name) { m_heloHostname = std::move(name); }
  const std::string& GetHeloHostname() const { return m_heloHostname; }

 private:
  bool Greet(int method, int security);
  bool StartTls();
  bool Authenticate(int method, const std::string& user, const std::string& password);
  bool AuthLogin(const std::string& user, const std::string& password, bool encoded);
  bool AuthCramMd5(const std::string& user, const std::string& password);
  // Sends `data` as it is; false with the stream's error.
  bool Send(std::string_view data);
  // Sends a command line and reads its reply expecting `code`.
  bool Command(std::string_view line, int expectedCode);
  // The reply text after the code and its separator (the first four characters).
  std::string ReplyText() const;
  std::chrono::milliseconds Timeout() const { return std::chrono::milliseconds(m_timeoutMs); }

  TcpStream m_stream;
  bool m_connected = false;
  std::string m_lastCommandResponse;
  std::string m_wholeReply;  // every line of the last complete reply
  int m_lastCommandResponseCode = 0;
  uint32_t m_timeoutMs = kDefaultSmtpTimeoutMs;
  std::string m_heloHostname = "auto";
};

// Base64 with the standard alphabet and "=" padding, on one line.
std::string EncodeBase64(std::string_view bytes);
// Decodes base64, skipping characters outside the alphabet and stopping at "=".
std::string DecodeBase64(std::string_view text);

// The CRAM-MD5 answer to `challenge` (already decoded): the user name, a blank and the
// HMAC-MD5 of the challenge keyed with the password, as 32 lower-case hexadecimal digits.
std::string CramMd5Response(std::string_view user, std::string_view password,
                            std::string_view challenge);

}  // namespace tulix
