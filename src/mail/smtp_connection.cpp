#include "mail/smtp_connection.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "base/ascii_case.h"
#include "mail/mime_message.h"
#include "platform/last_error.h"
#include "platform/trace.h"

namespace tulix {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A reply longer than this is no mail server's: the session is given up rather than let a
// server fill the memory with one endless line.
constexpr size_t kMaxReplyBytes = 4 * 1024 * 1024;
constexpr size_t kReceivePiece = 4096;

// The three-digit code at the start of a reply line; 0 when the line does not start with one.
int ReplyCode(std::string_view line) {
  // A reply code is three digits; from_chars alone would also take "-25" or "4".
  if (line.size() < 3 || !std::all_of(line.begin(), line.begin() + 3,
                                      [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  int code = 0;
  std::from_chars(line.data(), line.data() + 3, code);
  return code;
}

// Whether `received` ends with the last line of a reply. A multi-line reply marks every line
// but its last with a hyphen after the code; servers often send each line on its own, and a
// reply taken as complete after its first line would leave the rest to be read as the reply to
// the next command.
bool IsCompleteReply(std::string_view received) {
  if (!received.ends_with("\r\n")) {
    return false;
  }
  received.remove_suffix(2);
  const size_t start = received.rfind("\r\n");
  const std::string_view last =
      start == std::string_view::npos ? received : received.substr(start + 2);
  return last.size() < 4 || last[3] != '-';
}

// Failures after which the session is out of step or gone: nothing more is said in it.
bool IsBrokenSession(uint32_t error) {
  return error == kWsaErrorTimedOut || error == kWsaErrorConnectionAborted ||
         error == kWsaErrorConnectionReset || error == kWsaErrorSecureChannel;
}

// Whether an EHLO reply lists the STARTTLS extension on one of its lines.
bool OffersStartTls(std::string_view reply) {
  while (!reply.empty()) {
    const size_t end = reply.find("\r\n");
    std::string_view line = reply.substr(0, end);
    reply = end == std::string_view::npos ? std::string_view() : reply.substr(end + 2);
    if (line.size() >= 12 && EqualsIgnoringCase(line.substr(4, 8), "STARTTLS") &&
        (line.size() == 12 || line[12] == ' ')) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64Alphabet[n >> 18];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += kBase64Alphabet[(n >> 6) & 63];
    out += kBase64Alphabet[n & 63];
  }
  const size_t left = bytes.size() - i;
  if (left > 0) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left == 2) {
      n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    }
    out += kBase64Alphabet[n >> 18];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += left == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string DecodeBase64(std::string_view text) {
  std::array<int, 256> values;
  values.fill(-1);
  for (int i = 0; i < 64; ++i) {
    values[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
  }
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') {
      break;
    }
    const int value = values[static_cast<unsigned char>(c)];
    if (value < 0) {
      continue;
    }
    bits = bits << 6 | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string CramMd5Response(std::string_view user, std::string_view password,
                            std::string_view challenge) {
  // HMAC takes care of a key longer than the block: it is replaced by its MD5 first.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_md5(), password.data(), static_cast<int>(password.size()),
       reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(), digest,
       &length);
  static const char kHex[] = "0123456789abcdef";
  std::string response(user);
  response += ' ';
  for (unsigned int i = 0; i < length; ++i) {
    response += kHex[digest[i] >> 4];
    response += kHex[digest[i] & 15];
  }
  return response;
}

CSMTPConnection::CSMTPConnection() = default;

CSMTPConnection::~CSMTPConnection() {
  Disconnect();
}

bool CSMTPConnection::Connect(const std::string& host, int method, const std::string& user,
                              const std::string& password, uint16_t port,
                              const std::string& localAddress, int security) {
  Disconnect();
  m_lastCommandResponse.clear();
  m_lastCommandResponseCode = 0;
  if (!m_stream.Connect(host, port, localAddress, Timeout())) {
    Trace("Could not connect to the SMTP server\n");
    return false;
  }
  m_connected = true;
  if (security == kSmtpSecurityTls && !m_stream.StartTls(Timeout())) {
    const uint32_t error = GetLastError();
    m_lastCommandResponse = m_stream.FailureText();
    m_stream.Close();
    m_connected = false;
    SetLastError(error);
    return false;
  }
  if (!ReadCommandResponse(220)) {
    Trace("An unexpected SMTP login response was received\n");
  } else if (m_heloHostname == "auto" && (m_heloHostname = LocalHostName(100)).empty()) {
    m_heloHostname = "localhost";
  }
  if (m_lastCommandResponseCode == 220 && Greet(method, security) &&
      Authenticate(method, user, password)) {
    return true;
  }
  // QUIT goes out whatever went wrong; the error of the step that failed is what counts.
  const uint32_t error = GetLastError();
  const std::string response = m_lastCommandResponse;
  const int code = m_lastCommandResponseCode;
  Disconnect();
  m_lastCommandResponse = response;
  m_lastCommandResponseCode = code;
  SetLastError(error);
  return false;
}

bool CSMTPConnection::Greet(int method, int security) {
  const std::string helo = (method == kSmtpAuthNone ? "HELO " : "EHLO ") + m_heloHostname + "\r\n";
  if (security != kSmtpSecurityStartTls) {
    return Command(helo, 250);
  }
  // The extensions come with EHLO only; after the handshake everything learnt before it is
  // forgotten and the server is greeted again.
  if (!Command("EHLO " + m_heloHostname + "\r\n", 250)) {
    return false;
  }
  return StartTls() && Command("EHLO " + m_heloHostname + "\r\n", 250);
}

bool CSMTPConnection::StartTls() {
  // The offer may stand on any line of the EHLO reply, also before the line with the code.
  if (!OffersStartTls(m_wholeReply)) {
    Trace("Server does not support STARTTLS!\n");
    m_lastCommandResponse = "The server does not offer STARTTLS";
    SetLastError(kWsaErrorProtocolNotSupported);
    return false;
  }
  if (!Command("STARTTLS\r\n", 220)) {
    return false;
  }
  if (!m_stream.StartTls(Timeout())) {
    const uint32_t error = GetLastError();
    m_lastCommandResponse = m_stream.FailureText();
    SetLastError(error);
    return false;
  }
  return true;
}

bool CSMTPConnection::Authenticate(int method, const std::string& user,
                                   const std::string& password) {
  switch (method) {
    case kSmtpAuthCramMd5:
      return AuthCramMd5(user, password);
    case kSmtpAuthLogin:
      return AuthLogin(user, password, true);
    case kSmtpAuthLoginPlain:
      return AuthLogin(user, password, false);
    default:
      return true;
  }
}

bool CSMTPConnection::AuthLogin(const std::string& user, const std::string& password,
                                bool encoded) {
  auto code = [&](const std::string& text) { return encoded ? EncodeBase64(text) : text; };
  auto decode = [&](const std::string& text) { return encoded ? DecodeBase64(text) : text; };
  if (!Command(encoded ? "AUTH LOGIN\r\n" : "AUTH LOGIN PLAIN\r\n", 334)) {
    Trace("Server does not support AUTH LOGIN!\n");
    return false;
  }
  if (decode(ReplyText()) != "Username:") {
    Trace("An unexpected AUTH LOGIN username challenge was received\n");
    SetLastError(kWsaErrorProtocolNotSupported);
    return false;
  }
  if (!Command(code(user) + "\r\n", 334)) {
    return false;
  }
  if (decode(ReplyText()) != "Password:") {
    Trace("An unexpected AUTH LOGIN password challenge was received\n");
    SetLastError(kWsaErrorProtocolNotSupported);
    return false;
  }
  return Command(code(password) + "\r\n", 235);
}

bool CSMTPConnection::AuthCramMd5(const std::string& user, const std::string& password) {
  if (!Command("AUTH CRAM-MD5\r\n", 334)) {
    Trace("Server does not support CRAM-MD5!\n");
    return false;
  }
  const std::string challenge = DecodeBase64(ReplyText());
  return Command(EncodeBase64(CramMd5Response(user, password, challenge)) + "\r\n", 235);
}

bool CSMTPConnection::SendMessage(const CSMTPMessage& message) {
  if (!m_connected) {
    SetLastError(kWsaErrorNotConnected);
    return false;
  }
  if (!Command("MAIL FROM:<" + message.GetFrom().m_emailAddress + ">\r\n", 250)) {
    Trace("An unexpected MAIL response was received\n");
    return false;
  }
  for (const RecipientKind kind : {RecipientKind::To, RecipientKind::Cc, RecipientKind::Bcc}) {
    for (const CSMTPAddress& recipient : message.GetRecipients(kind)) {
      if (!Command("RCPT TO:<" + recipient.m_emailAddress + ">\r\n", 250)) {
        Trace("An unexpected RCPT response was received\n");
        return false;
      }
    }
  }
  if (!Command("DATA\r\n", 354)) {
    Trace("An unexpected DATA response was received\n");
    return false;
  }
  if (!Send(message.GetHeader()) || !Send(message.GetBodyText())) {
    return false;
  }
  if (!Command("\r\n.\r\n", 250)) {
    Trace("An unexpected end of message response was received\n");
    return false;
  }
  return true;
}

bool CSMTPConnection::Disconnect() {
  bool ok = true;
  if (m_connected) {
    ok = Command("QUIT\r\n", 221);
    if (!ok) {
      Trace("An unexpected QUIT response was received\n");
    }
    m_connected = false;
  }
  m_stream.Close();
  return ok;
}

bool CSMTPConnection::Send(std::string_view data) {
  if (!m_stream.Send(data, Timeout())) {
    Trace("Failed to send data to the SMTP server\n");
    if (IsBrokenSession(GetLastError())) {
      m_connected = false;
    }
    return false;
  }
  return true;
}

bool CSMTPConnection::Command(std::string_view line, int expectedCode) {
  if (Send(line) && ReadCommandResponse(expectedCode)) {
    return true;
  }
  // After a silent or broken server nothing more is said in the session: a QUIT would only
  // keep the user waiting out another time-out.
  if (IsBrokenSession(GetLastError())) {
    m_connected = false;
  }
  return false;
}

std::string CSMTPConnection::ReplyText() const {
  return m_lastCommandResponse.size() > 4 ? m_lastCommandResponse.substr(4) : std::string();
}

bool CSMTPConnection::ReadCommandResponse(int expectedCode) {
  std::string received;
  char piece[kReceivePiece];
  while (!IsCompleteReply(received)) {
    // The time-out counts from the last data that arrived.
    if (!m_stream.WaitReadable(Timeout())) {
      const uint32_t error = GetLastError();
      m_lastCommandResponse = received;
      Trace("Timed Out waiting for response from SMTP server\n");
      SetLastError(error);
      return false;
    }
    size_t count = 0;
    if (!m_stream.Receive(piece, sizeof piece, &count)) {
      if (GetLastError() == kWsaErrorWouldBlock) {
        continue;
      }
      const uint32_t error = GetLastError();
      m_lastCommandResponse = received;
      SetLastError(error);
      return false;
    }
    if (count == 0) {
      m_lastCommandResponse = received;
      SetLastError(kWsaErrorConnectionReset);
      return false;
    }
    received.append(piece, count);
    if (received.size() > kMaxReplyBytes) {
      m_lastCommandResponse = received.substr(0, 1024);
      SetLastError(kWsaErrorConnectionAborted);
      return false;
    }
  }
  received.resize(received.size() - 2);
  m_wholeReply = received;
  size_t start = 0;
  while (true) {
    const std::string_view rest = std::string_view(received).substr(start);
    m_lastCommandResponseCode = ReplyCode(rest);
    if (m_lastCommandResponseCode == expectedCode) {
      m_lastCommandResponse = std::string(rest);
      SetLastError(kErrorSuccess);
      return true;
    }
    const size_t end = received.find("\r\n", start);
    if (end == std::string::npos) {
      m_lastCommandResponse = std::string(rest);
      break;
    }
    start = end + 2;
  }
  SetLastError(kWsaErrorProtocolNotSupported);
  return false;
}

}  // namespace tulix
