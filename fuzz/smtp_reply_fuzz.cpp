// The mail client against a server that answers with arbitrary replies. The input is the
// authentication method (first byte), then the server's replies, separated by NUL bytes: the
// first is the greeting, each later one answers the client's next command (after DATA, the
// message's final dot). When the replies run out the server stops sending and closes once the
// client has. Every session must end without waiting for a time-out, whatever it was told.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "mail/mime_message.h"
#include "mail/smtp_connection.h"

namespace {

int g_listener = -1;
uint16_t g_port = 0;

void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

enum class Heard { kEnd, kQuiet, kClosed };

// Whether the client takes `sent` (what it was sent since its last command) as a whole reply:
// ended by a line end, on a last line without the hyphen of a continued one.
bool LooksComplete(std::string_view sent) {
  if (!sent.ends_with("\r\n")) {
    return false;
  }
  sent.remove_suffix(2);
  const size_t start = sent.rfind("\r\n");
  const std::string_view last = start == std::string_view::npos ? sent : sent.substr(start + 2);
  return last.size() < 4 || last[3] != '-';
}

// Reads from the client until `received` holds `end` after `from`. kQuiet when the client sent
// nothing for a while although its reply looked complete: the two rules disagreed, and the
// client still waits for the rest.
Heard ReadUntil(int fd, std::string& received, size_t from, std::string_view end) {
  char piece[4096];
  while (received.find(end, from) == std::string::npos) {
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, 1000) != 1) {
      return Heard::kQuiet;
    }
    const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
    if (n <= 0) {
      return Heard::kClosed;
    }
    received.append(piece, static_cast<size_t>(n));
    // Acknowledged at once, the client's next small write is not held back waiting for the
    // acknowledgement (40 ms a time otherwise, most of each run).
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  }
  return Heard::kEnd;
}

void Serve(int fd, const std::vector<std::string_view>& replies) {
  // Replies that follow one another at once go out at once, not after the client's delayed
  // acknowledgement of the one before.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::string received;
  std::string sent;
  size_t consumed = 0;
  bool inData = false;
  for (size_t i = 0; i < replies.size(); ++i) {
    // A client still reading a reply gets the next one as the rest of it, at once.
    if (i > 0 && LooksComplete(sent)) {
      // A command ends with its line end; the message after DATA with a line holding only a
      // full stop.
      // A client that was refused the message says QUIT instead.
      Heard heard = ReadUntil(fd, received, consumed, "\r\n");
      if (heard == Heard::kEnd && received.compare(consumed, 6, "QUIT\r\n") == 0) {
        inData = false;
      }
      const std::string_view end = inData ? "\r\n.\r\n" : "\r\n";
      if (heard == Heard::kEnd && inData) {
        heard = ReadUntil(fd, received, consumed, end);
      }
      if (heard == Heard::kClosed) {
        break;
      }
      if (heard == Heard::kEnd) {
        const size_t at = received.find(end, consumed);
        inData = !inData && received.compare(consumed, at - consumed, "DATA") == 0;
        consumed = at + end.size();
        sent.clear();
      }
    }
    SendAll(fd, replies[i]);
    sent.append(replies[i]);
  }
  ::shutdown(fd, SHUT_WR);
  char sink[4096];
  while (::recv(fd, sink, sizeof sink, 0) > 0) {
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tulix::fuzz::UsePrivateProgramFolder();
  g_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(g_listener >= 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FUZZ_CHECK(::bind(g_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
  FUZZ_CHECK(::listen(g_listener, 16) == 0);
  socklen_t length = sizeof address;
  FUZZ_CHECK(::getsockname(g_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
  g_port = ntohs(address.sin_port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const int method = data[0] % 4;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string_view> replies;
  for (size_t start = 0; start <= rest.size();) {
    const size_t end = std::min(rest.find('\0', start), rest.size());
    replies.push_back(rest.substr(start, end - start));
    start = end + 1;
  }

  std::thread server([&replies] {
    // A client that gave up before connecting must not leave the server waiting.
    pollfd waiting{g_listener, POLLIN, 0};
    if (::poll(&waiting, 1, 5000) != 1) {
      return;
    }
    const int fd = ::accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    Serve(fd, replies);
  });
  {
    tulix::CSMTPConnection connection;
    // Long enough never to be reached: the server always closes, so a wait this long is a hang.
    connection.SetTimeout(20000);
    connection.SetHeloHostname("fuzz.test");
    if (connection.Connect("127.0.0.1", method, "user", "password", g_port, "")) {
      FUZZ_CHECK(connection.IsConnected());
      tulix::CSMTPMessage message;
      message.SetFrom({"Tulix", "alerts@tulix.test"});
      message.AddRecipient({"", "parent@tulix.test"}, tulix::RecipientKind::To);
      message.SetSubject("Family alert");
      message.AddTextBody("A blocked search.\r\n.\r\nStill the body.");
      connection.SendMessage(message);
      connection.Disconnect();
    } else {
      FUZZ_CHECK(!connection.IsConnected());
    }
    FUZZ_CHECK(!connection.IsConnected());
    FUZZ_CHECK(connection.GetLastCommandResponseCode() >= 0 &&
               connection.GetLastCommandResponseCode() <= 999);
  }
  server.join();
  return 0;
}
