// The TCP stream against small servers on 127.0.0.1: a listener thread that accepts one
// connection and plays a script on it, plain or, after a handshake of its own, over TLS with
// the test certificates.
#include "platform/tcp_stream.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "platform/last_error.h"
#include "script_server.h"
#include "test_support.h"
#include "tls_certificates.h"

namespace tulix {
namespace {

using namespace std::chrono_literals;
using test::CertificateFiles;
using test::Peer;
using test::ScriptServer;
using test::TestCertificates;

constexpr auto kLimit = 10s;  // generous: only a broken stream ever waits this long

// One line from the stream, as the mail client reads a reply; "" when the wait or the read
// failed or the peer closed first.
std::string ReadLine(TcpStream& stream) {
  std::string line;
  char c = 0;
  size_t received = 0;
  while (stream.WaitReadable(kLimit) && stream.Receive(&c, 1, &received) && received == 1) {
    if (c == '\n') {
      return line.substr(0, line.size() - (line.ends_with('\r') ? 1 : 0));
    }
    line += c;
  }
  return "";
}

// Sends until the stream fails: a peer that is gone may still take the first pieces.
uint32_t SendUntilFailure(TcpStream& stream) {
  for (int i = 0; i < 1000; ++i) {
    if (!stream.Send("NOOP\r\n", kLimit)) {
      return GetLastError();
    }
  }
  return 0;
}

TEST(TcpStream, PlainRoundTripFromALocalAddress) {
  std::string seenFrom;
  std::string seenLine;
  ScriptServer server([&](Peer& peer) {
    seenFrom = peer.Address();
    peer.Write("220 ready\r\n");
    seenLine = peer.ReadLine();
    peer.Write("250 " + seenLine + "\r\n");
    peer.ReadLine();  // until the client closes
  });
  TcpStream stream;
  ASSERT_TRUE(stream.Connect("127.0.0.1", server.Port(), "127.0.0.1", kLimit))
      << stream.FailureText();
  EXPECT_TRUE(stream.IsOpen());
  EXPECT_FALSE(stream.IsTls());
  EXPECT_EQ(ReadLine(stream), "220 ready");
  // Nothing more is there until the server answers.
  char buffer[16];
  size_t received = 99;
  EXPECT_FALSE(stream.Receive(buffer, sizeof(buffer), &received));
  EXPECT_EQ(GetLastError(), kWsaErrorWouldBlock);
  EXPECT_EQ(received, 0u);

  ASSERT_TRUE(stream.Send("HELO client\r\n", kLimit));
  // "Wait as long as it takes" is a wait, not an overflow.
  ASSERT_TRUE(stream.WaitReadable(std::chrono::milliseconds::max()));
  EXPECT_EQ(ReadLine(stream), "250 HELO client");
  stream.Close();
  stream.Close();
  EXPECT_FALSE(stream.IsOpen());
  EXPECT_FALSE(stream.Send("x", kLimit));
  EXPECT_EQ(GetLastError(), kWsaErrorNotConnected);
  server.Join();
  EXPECT_EQ(seenFrom, "127.0.0.1");
  EXPECT_EQ(seenLine, "HELO client");
}

TEST(TcpStream, ConnectFailuresCarryTheWindowsNumbers) {
  // A port that is bound but not listening refuses at once, and stays ours while the test runs.
  const int bound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(::bind(bound, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const uint16_t port = ntohs(address.sin_port);

  TcpStream stream;
  EXPECT_FALSE(stream.Connect("127.0.0.1", port, "", kLimit));
  EXPECT_EQ(GetLastError(), kWsaErrorConnectionRefused);
  EXPECT_FALSE(stream.IsOpen());
  EXPECT_FALSE(stream.FailureText().empty());

  EXPECT_FALSE(stream.Connect("no-such-host.invalid", port, "", kLimit));
  EXPECT_EQ(GetLastError(), kWsaErrorInvalidArgument);
  EXPECT_NE(stream.FailureText().find("no-such-host.invalid"), std::string::npos);

  EXPECT_FALSE(stream.Connect("127.0.0.1", port, "no-such-host.invalid", kLimit));
  EXPECT_EQ(GetLastError(), kWsaErrorInvalidArgument);

  // Nothing to receive on, nothing to secure.
  size_t received = 0;
  char c;
  EXPECT_FALSE(stream.Receive(&c, 1, &received));
  EXPECT_EQ(GetLastError(), kWsaErrorNotConnected);
  EXPECT_FALSE(stream.StartTls(kLimit));
  EXPECT_EQ(GetLastError(), kWsaErrorNotConnected);
  ::close(bound);
}

TEST(TcpStream, ASilentServerRunsTheWaitsOut) {
  ScriptServer server([](Peer& peer) { peer.WaitForClose(); });
  TcpStream stream;
  ASSERT_TRUE(stream.Connect("127.0.0.1", server.Port(), "", kLimit));
  EXPECT_FALSE(stream.WaitReadable(50ms));
  EXPECT_EQ(GetLastError(), kWsaErrorTimedOut);
  EXPECT_TRUE(stream.IsOpen());
  // A server that never answers the greeting of the handshake.
  EXPECT_FALSE(stream.StartTls(50ms));
  EXPECT_EQ(GetLastError(), kWsaErrorTimedOut);
  EXPECT_FALSE(stream.IsOpen());
}

// A server that hangs up: the stream reads the end as 0, and sending on fails with a number
// instead of a SIGPIPE that would end the test program.
TEST(TcpStream, PeerThatClosesGivesZeroAndSendFails) {
  ScriptServer server([](Peer&) {});
  TcpStream stream;
  ASSERT_TRUE(stream.Connect("127.0.0.1", server.Port(), "", kLimit));
  server.Join();
  ASSERT_TRUE(stream.WaitReadable(kLimit));
  char buffer[16];
  size_t received = 99;
  ASSERT_TRUE(stream.Receive(buffer, sizeof(buffer), &received));
  EXPECT_EQ(received, 0u);
  const uint32_t error = SendUntilFailure(stream);
  EXPECT_TRUE(error == kWsaErrorConnectionAborted || error == kWsaErrorConnectionReset)
      << error << " " << stream.FailureText();
}

TEST(TcpStream, StartTlsUpgradesAPlainConversation) {
  test::ScopedEnvironmentValue ca("TULIX_CA_FILE", TestCertificates::Shared().CaFile().c_str());
  std::string plainLine;
  std::string secureLine;
  ScriptServer server([&](Peer& peer) {
    peer.Write("220 ready\r\n");
    plainLine = peer.ReadLine();
    peer.Write("220 go ahead\r\n");
    if (!peer.AcceptTls(TestCertificates::Shared().Good())) {
      return;
    }
    secureLine = peer.ReadLine();
    peer.Write("250-first\r\n250 second\r\n");
    peer.ReadLine();
  });
  TcpStream stream;
  // Connected by address, so the certificate must name 127.0.0.1.
  ASSERT_TRUE(stream.Connect("127.0.0.1", server.Port(), "", kLimit));
  EXPECT_EQ(ReadLine(stream), "220 ready");
  ASSERT_TRUE(stream.Send("STARTTLS\r\n", kLimit));
  EXPECT_EQ(ReadLine(stream), "220 go ahead");
  ASSERT_TRUE(stream.StartTls(kLimit)) << stream.FailureText();
  EXPECT_TRUE(stream.IsTls());
  ASSERT_TRUE(stream.Send("EHLO client\r\n", kLimit));
  // Both lines come in one record: the second is buffered in the TLS layer, not on the socket.
  char buffer[11];
  size_t received = 0;
  ASSERT_TRUE(stream.WaitReadable(kLimit));
  ASSERT_TRUE(stream.Receive(buffer, sizeof(buffer), &received));
  EXPECT_EQ(std::string(buffer, received), "250-first\r\n");
  EXPECT_EQ(ReadLine(stream), "250 second");
  stream.Close();
  server.Join();
  EXPECT_EQ(plainLine, "STARTTLS");
  EXPECT_EQ(secureLine, "EHLO client");
}

TEST(TcpStream, TlsFromTheStartVerifiesTheNameLocalhost) {
  test::ScopedEnvironmentValue ca("TULIX_CA_FILE", TestCertificates::Shared().CaFile().c_str());
  std::string line;
  ScriptServer server([&](Peer& peer) {
    if (!peer.AcceptTls(TestCertificates::Shared().Good())) {
      return;
    }
    peer.Write("+OK hello\r\n");
    line = peer.ReadLine();
    // Hangs up after the close notice, as a server does after QUIT.
  });
  TcpStream stream;
  ASSERT_TRUE(stream.Connect("localhost", server.Port(), "", kLimit));
  ASSERT_TRUE(stream.StartTls(kLimit)) << stream.FailureText();
  EXPECT_EQ(ReadLine(stream), "+OK hello");
  ASSERT_TRUE(stream.Send("QUIT\r\n", kLimit));
  server.Join();
  ASSERT_TRUE(stream.WaitReadable(kLimit));
  char c;
  size_t received = 99;
  ASSERT_TRUE(stream.Receive(&c, 1, &received)) << stream.FailureText();
  EXPECT_EQ(received, 0u);
  // Through the TLS layer too, a gone peer is an error number, not a SIGPIPE.
  const uint32_t error = SendUntilFailure(stream);
  EXPECT_TRUE(error == kWsaErrorConnectionAborted || error == kWsaErrorConnectionReset)
      << error << " " << stream.FailureText();
  EXPECT_EQ(line, "QUIT");
}

TEST(TcpStream, RefusedCertificatesSayWhy) {
  const TestCertificates& certificates = TestCertificates::Shared();
  struct Case {
    const CertificateFiles* files;
    const char* host;
    bool trustTheAuthority;
    const char* reason;
  };
  const Case cases[] = {
      {&certificates.Expired(), "localhost", true, "certificate has expired"},
      {&certificates.WrongName(), "localhost", true, "hostname mismatch"},
      {&certificates.WrongName(), "127.0.0.1", true, "IP address mismatch"},
      {&certificates.SelfSigned(), "localhost", true, "self-signed certificate"},
      // Only the authority's file makes the good certificate trusted: the system store alone
      // does not know the test authority.
      {&certificates.Good(), "localhost", false, "unable to get local issuer certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files->certificate + " as " + c.host);
    test::ScopedEnvironmentValue ca("TULIX_CA_FILE",
                                    c.trustTheAuthority ? certificates.CaFile().c_str() : nullptr);
    bool accepted = true;
    ScriptServer server([&](Peer& peer) { accepted = peer.AcceptTls(*c.files); });
    TcpStream stream;
    ASSERT_TRUE(stream.Connect(c.host, server.Port(), "", kLimit));
    EXPECT_FALSE(stream.StartTls(kLimit));
    EXPECT_EQ(GetLastError(), kWsaErrorSecureChannel);
    EXPECT_NE(stream.FailureText().find(c.reason), std::string::npos) << stream.FailureText();
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_FALSE(stream.IsTls());
    server.Join();
    EXPECT_FALSE(accepted);
  }
}

TEST(TcpStream, LocalHostNameIsCutToTheLength) {
  const std::string full = LocalHostName();
  ASSERT_FALSE(full.empty());
  EXPECT_LE(full.size(), 100u);
  EXPECT_EQ(LocalHostName(2), full.substr(0, 2));
}

}  // namespace
}  // namespace tulix
