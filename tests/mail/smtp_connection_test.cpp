// The mail client against a real mail server started on loopback (a small aiosmtpd program,
// tests/mail/smtp_server.py), plain, with STARTTLS and with TLS from the start, and against a
// scripted server for the replies a real one never sends.
#include "mail/smtp_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "base/setting_cipher.h"
#include "jobs/job_test_support.h"
#include "mail/mail_alert.h"
#include "mail/mime_message.h"
#include "platform/last_error.h"
#include "script_server.h"
#include "test_support.h"
#include "tls_certificates.h"
#include "update_server_process.h"

namespace tulix {
namespace {

using test::Peer;
using test::ScriptServer;
using test::TestCertificates;

constexpr char kUser[] = "alert";
constexpr char kPassword[] = "s3cret";

// The mail server program on loopback; what it received is read from its folder.
class MailServer {
 public:
  explicit MailServer(const std::string& mode = "")
      : m_process("/usr/bin/python3", Arguments(mode), m_folder.File("server.log")) {}

  uint16_t Port() const { return static_cast<uint16_t>(m_process.Port()); }

  // The DATA bytes and the envelope lines of the n-th message (from 1); empty when it has not
  // come.
  std::string Data(int n) const { return Read(n, ".data"); }
  std::string Envelope(int n) const { return Read(n, ".envelope"); }

 private:
  std::vector<std::string> Arguments(const std::string& mode) const {
    std::vector<std::string> arguments = {TULIX_SMTP_SERVER_SCRIPT, m_folder.path()};
    if (!mode.empty()) {
      const test::CertificateFiles& good = TestCertificates::Shared().Good();
      arguments.insert(arguments.end(), {mode, good.certificate, good.key});
    }
    return arguments;
  }
  std::string Read(int n, const char* extension) const {
    const std::string path = m_folder.File(std::to_string(n) + extension);
    return std::filesystem::exists(path) ? test::ReadFileBytes(path) : std::string();
  }

  test::TempFolder m_folder;  // first: the server writes into it until it is killed
  test::ServerProcess m_process;
};

std::unique_ptr<CSMTPMessage> TestMessage() {
  auto message = std::make_unique<CSMTPMessage>();
  message->SetMime(true);
  message->SetFrom(CSMTPAddress("Tulix", "sender@tulix.test"));
  message->AddMultipleRecipients("Holder <holder@tulix.test>; second@tulix.test",
                                 RecipientKind::To);
  message->AddMultipleRecipients("hidden@tulix.test", RecipientKind::Bcc);
  message->SetSubject("Caf\xE9 alert");
  message->AddTextBody("First line\n.a line that starts with a stop\n.\nlast line");
  return message;
}

// What a server keeps of `message` sent with `header`: header and body, then the line end that
// comes before the final stop, and every stop that was doubled at a line start single again.
std::string AsReceived(const std::string& header, const CSMTPMessage& message) {
  std::string text = header + message.GetBodyText() + "\r\n";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '\n' && text.compare(i + 1, 2, "..") == 0) {
      ++i;
    }
  }
  return out;
}

// The Date value of a received header block.
std::string DateOf(const std::string& data) {
  const size_t start = data.find("\r\nDate: ") + 8;
  return data.substr(start, data.find("\r\n", start) - start);
}

// A port on 127.0.0.1 where nothing listens any more.
uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

class SmtpTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_noProxy.emplace();
  }
  std::optional<test::ScopedNoProxy> m_noProxy;
};

TEST_F(SmtpTest, EveryAuthenticationARealServerTakesDeliversTheBuiltMessage) {
  MailServer server;
  const std::unique_ptr<CSMTPMessage> message = TestMessage();
  for (int method : {kSmtpAuthNone, kSmtpAuthCramMd5, kSmtpAuthLogin}) {
    SCOPED_TRACE(method);
    CSMTPConnection connection;
    connection.SetHeloHostname("client.tulix.test");
    ASSERT_TRUE(connection.Connect("127.0.0.1", method, kUser, kPassword, server.Port(), ""))
        << connection.GetLastCommandResponse();
    ASSERT_TRUE(connection.SendMessage(*message)) << connection.GetLastCommandResponse();
    EXPECT_TRUE(connection.Disconnect());

    const int n = method + 1;
    const std::string data = server.Data(n);
    EXPECT_EQ(data, AsReceived(message->GetHeader(DateOf(data)), *message));
    EXPECT_EQ(server.Envelope(n),
              std::string("from sender@tulix.test\nrcpt holder@tulix.test\n"
                          "rcpt second@tulix.test\nrcpt hidden@tulix.test\nlogin ") +
                  (method == kSmtpAuthNone ? "" : kUser) + "\ntls 0\n");
  }
  // A wrong password is refused at the last step of the dialogue.
  CSMTPConnection refused;
  EXPECT_FALSE(refused.Connect("127.0.0.1", kSmtpAuthCramMd5, kUser, "wrong", server.Port(), ""));
  EXPECT_EQ(GetLastError(), kWsaErrorProtocolNotSupported);
  EXPECT_EQ(refused.GetLastCommandResponseCode(), 535);
  EXPECT_FALSE(refused.IsConnected());
}

TEST_F(SmtpTest, StartTlsAndTlsFromTheStartAreVerifiedAndCarryTheMessage) {
  test::ScopedEnvironmentValue caFile("TULIX_CA_FILE", TestCertificates::Shared().CaFile().c_str());
  const std::unique_ptr<CSMTPMessage> message = TestMessage();
  for (const auto& [mode, security] :
       {std::pair{"--starttls", kSmtpSecurityStartTls}, std::pair{"--tls", kSmtpSecurityTls}}) {
    SCOPED_TRACE(mode);
    MailServer server(mode);
    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("localhost", kSmtpAuthLogin, kUser, kPassword, server.Port(),
                                   "", security))
        << connection.GetLastCommandResponse();
    ASSERT_TRUE(connection.SendMessage(*message));
    connection.Disconnect();
    EXPECT_NE(server.Envelope(1).find("login alert\ntls 1\n"), std::string::npos)
        << server.Envelope(1);
  }
  // A server that offers no STARTTLS is never talked to in plain text instead.
  MailServer plain;
  CSMTPConnection connection;
  EXPECT_FALSE(connection.Connect("127.0.0.1", kSmtpAuthLogin, kUser, kPassword, plain.Port(), "",
                                  kSmtpSecurityStartTls));
  EXPECT_EQ(connection.GetLastCommandResponse(), "The server does not offer STARTTLS");
  // Nor is a certificate the client cannot verify accepted.
  test::ScopedEnvironmentValue noCa("TULIX_CA_FILE", nullptr);
  MailServer unknown("--tls");
  EXPECT_FALSE(connection.Connect("localhost", kSmtpAuthNone, "", "", unknown.Port(), "",
                                  kSmtpSecurityTls));
  EXPECT_EQ(GetLastError(), kWsaErrorSecureChannel);
  EXPECT_NE(connection.GetLastCommandResponse().find("unable to get local issuer certificate"),
            std::string::npos)
      << connection.GetLastCommandResponse();
}

TEST_F(SmtpTest, TenThousandRecipientsAndATenMegabyteBodyGoThrough) {
  MailServer server;
  CSMTPMessage message;
  message.SetMime(true);
  message.SetFrom(CSMTPAddress("", "sender@tulix.test"));
  std::string recipients;
  for (int i = 0; i < 10000; ++i) {
    recipients += "r" + std::to_string(i) + "@tulix.test;";
  }
  ASSERT_TRUE(message.AddMultipleRecipients(recipients, RecipientKind::Bcc));
  // A line break inside an address would make a command of its own: it never gets that far.
  EXPECT_FALSE(message.AddMultipleRecipients("evil@tulix.test\r\nRCPT TO:<x@tulix.test>",
                                             RecipientKind::To));
  std::string body;
  while (body.size() < 10 * 1024 * 1024) {
    body += ".a line of the body that starts with a stop, \xE9t\xE9 = summer\n";
  }
  message.AddTextBody(body);
  CSMTPConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", kSmtpAuthNone, "", "", server.Port(), ""));
  ASSERT_TRUE(connection.SendMessage(message)) << connection.GetLastCommandResponse();
  connection.Disconnect();
  const std::string envelope = server.Envelope(1);
  EXPECT_EQ(test::CountOf(envelope, "\nrcpt "), 10000u);
  EXPECT_EQ(envelope.find("x@tulix.test"), std::string::npos);
  const std::string data = server.Data(1);
  EXPECT_EQ(data, AsReceived(message.GetHeader(DateOf(data)), message));
}

// A scripted server: the greeting, then one reply per line received, from `replies` by the
// line's start; a line no entry matches ends the script. Records what it received.
struct Dialogue {
  Dialogue(std::string greeting_, std::vector<std::pair<std::string, std::string>> replies_)
      : greeting(std::move(greeting_)), replies(std::move(replies_)) {}

  std::string greeting;
  std::vector<std::pair<std::string, std::string>> replies;
  std::vector<std::string> received;

  void Play(Peer& peer) {
    peer.Write(greeting);
    for (std::string line = peer.ReadLine(); !line.empty(); line = peer.ReadLine()) {
      received.push_back(line);
      const auto reply = std::find_if(replies.begin(), replies.end(), [&](const auto& entry) {
        return line.rfind(entry.first, 0) == 0;
      });
      if (reply == replies.end()) {
        return;
      }
      if (!reply->second.empty()) {
        peer.Write(reply->second);
      }
    }
  }
};

TEST_F(SmtpTest, LoginDialoguesMultiLineRepliesAndWrongCodes) {
  // A greeting of two lines in one piece; AUTH LOGIN with base64 both ways.
  Dialogue login{"220-first line\r\n220 second line\r\n",
                 {{"EHLO", "250-tulix.test\r\n250 AUTH LOGIN CRAM-MD5\r\n"},
                  {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
                  {"YWxlcnQ=", "334 UGFzc3dvcmQ6\r\n"},
                  {"czNjcmV0", "235 ok\r\n"},
                  {"QUIT", "221 bye\r\n"}}};
  {
    ScriptServer server([&](Peer& peer) { login.Play(peer); });
    CSMTPConnection connection;
    connection.SetHeloHostname("me");
    ASSERT_TRUE(connection.Connect("127.0.0.1", kSmtpAuthLogin, kUser, kPassword, server.Port(),
                                   "127.0.0.1"));
    EXPECT_TRUE(connection.Disconnect());
  }
  EXPECT_EQ(login.received, (std::vector<std::string>{"EHLO me", "AUTH LOGIN", "YWxlcnQ=",
                                                      "czNjcmV0", "QUIT"}));

  // LOGIN PLAIN: the same dialogue in clear; a challenge other than "Username:" ends it.
  Dialogue plain{"220 hi\r\n",
                 {{"EHLO", "250 ok\r\n"},
                  {"AUTH LOGIN PLAIN", "334 Username:\r\n"},
                  {"alert", "334 Secret:\r\n"},
                  {"QUIT", "221 bye\r\n"}}};
  {
    ScriptServer server([&](Peer& peer) { plain.Play(peer); });
    CSMTPConnection connection;
    connection.SetHeloHostname("me");
    EXPECT_FALSE(connection.Connect("127.0.0.1", kSmtpAuthLoginPlain, kUser, kPassword,
                                    server.Port(), ""));
    EXPECT_EQ(connection.GetLastCommandResponse(), "334 Secret:");
  }
  EXPECT_EQ(plain.received, (std::vector<std::string>{"EHLO me", "AUTH LOGIN PLAIN", "alert",
                                                      "QUIT"}));

  // A recipient answered 251 fails the send, and nothing more goes out but QUIT.
  Dialogue rcpt{"220 hi\r\n",
                {{"HELO", "250 ok\r\n"},
                 {"MAIL FROM:<sender@tulix.test>", "250 ok\r\n"},
                 {"RCPT TO:<holder@tulix.test>", "251 forwarded\r\n"},
                 {"QUIT", "221 bye\r\n"}}};
  {
    ScriptServer server([&](Peer& peer) { rcpt.Play(peer); });
    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", kSmtpAuthNone, "", "", server.Port(), ""));
    EXPECT_FALSE(connection.SendMessage(*TestMessage()));
    EXPECT_EQ(GetLastError(), kWsaErrorProtocolNotSupported);
    EXPECT_EQ(connection.GetLastCommandResponseCode(), 251);
    EXPECT_TRUE(connection.Disconnect());
  }
  EXPECT_EQ(rcpt.received.size(), 4u);
  EXPECT_EQ(rcpt.received.back(), "QUIT");
}

TEST_F(SmtpTest, SilentResetAndHugeRepliesEndCleanly) {
  // A server that never greets is given up after the time-out.
  {
    ScriptServer server([](Peer& peer) { peer.WaitForClose(); });
    CSMTPConnection connection;
    connection.SetTimeout(300);
    EXPECT_FALSE(connection.Connect("127.0.0.1", kSmtpAuthNone, "", "", server.Port(), ""));
    EXPECT_EQ(GetLastError(), kWsaErrorTimedOut);
  }
  // A connection reset in the middle of DATA fails the send.
  {
    ScriptServer server([](Peer& peer) {
      Dialogue dialogue{"220 hi\r\n",
                        {{"HELO", "250 ok\r\n"}, {"MAIL", "250 ok\r\n"}, {"RCPT", "250 ok\r\n"},
                         {"DATA", "354 go on\r\n"}}};
      dialogue.Play(peer);  // ends at the first line of the message: no entry matches it
    });
    CSMTPConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", kSmtpAuthNone, "", "", server.Port(), ""));
    EXPECT_FALSE(connection.SendMessage(*TestMessage()));
    // The session is over: no QUIT waits out another time-out.
    EXPECT_FALSE(connection.IsConnected());
  }
  // A reply of a megabyte is read whole; one without end is cut off, not kept growing.
  {
    ScriptServer server([](Peer& peer) {
      peer.Write("220 " + std::string(1024 * 1024, 'x') + "\r\n");
      if (peer.ReadLine() == "HELO me") {
        peer.Write("250 " + std::string(5 * 1024 * 1024, 'y'));
        peer.WaitForClose();
      }
    });
    CSMTPConnection connection;
    connection.SetHeloHostname("me");
    EXPECT_FALSE(connection.Connect("127.0.0.1", kSmtpAuthNone, "", "", server.Port(), ""));
    EXPECT_EQ(GetLastError(), kWsaErrorConnectionAborted);
  }
  // Connecting to nothing, and from an address that cannot be resolved.
  CSMTPConnection connection;
  EXPECT_FALSE(connection.Connect("127.0.0.1", kSmtpAuthNone, "", "", ClosedPort(), ""));
  EXPECT_EQ(GetLastError(), kWsaErrorConnectionRefused);
  EXPECT_FALSE(connection.Connect("127.0.0.1", kSmtpAuthNone, "", "", ClosedPort(),
                                  "no-such-host.invalid"));
  EXPECT_EQ(GetLastError(), kWsaErrorInvalidArgument);
}

TEST(SmtpEncodings, Base64AndTheCramMd5ExampleOfItsRfc) {
  EXPECT_EQ(EncodeBase64("Username:"), "VXNlcm5hbWU6");
  EXPECT_EQ(EncodeBase64(""), "");
  EXPECT_EQ(EncodeBase64("a"), "YQ==");
  EXPECT_EQ(EncodeBase64("ab"), "YWI=");
  EXPECT_EQ(DecodeBase64("UGFzc3dvcmQ6"), "Password:");
  EXPECT_EQ(DecodeBase64(EncodeBase64(std::string("\0\xFF\x80z", 4))), std::string("\0\xFF\x80z", 4));
  const std::string challenge =
      DecodeBase64("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
  EXPECT_EQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
  const std::string response = CramMd5Response("tim", "tanstaaftanstaaf", challenge);
  EXPECT_EQ(response, "tim b913a602c7eda7a495b4e6e7334d3890");
  EXPECT_EQ(EncodeBase64(response), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

// The alert of a family-mode violation, end to end: logged, sent from the sender's own thread
// to the violation address (not the sender's), and failures logged with their texts.
class MailAlertTest : public SmtpTest {
 protected:
  void SetUp() override {
    SmtpTest::SetUp();
    m_app.emplace(m_home, m_registry);
    m_scope.emplace(*m_app);
    SetLogUserInterface(&m_log);
    AppSettings& s = m_app->settings();
    s.Address = "sender@tulix.test";
    s.Name = "Tulix";
    s.Host = "127.0.0.1";
    s.Authenticate = kSmtpAuthCramMd5;
    s.Username = kUser;
    s.Password = kPassword;
  }
  void TearDown() override {
    SetAlertSender(nullptr);
    SetLogUserInterface(nullptr);
    m_scope.reset();
    m_app.reset();
    SmtpTest::TearDown();
  }

  std::optional<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scope;
  test::LogRecorder m_log;
};

TEST_F(MailAlertTest, AViolationIsMailedToTheViolationAddressFromAThreadOfItsOwn) {
  MailServer server;
  AppSettings& s = m_app->settings();
  s.Port = server.Port();
  s.ScanLog = EncipherSetting("Holder <holder@tulix.test>; second@tulix.test");
  MailAlertSender sender;
  SetAlertSender(&sender);
  LogMessage(kLogAlert, kLogPlain, "Too many password attempts entering family mode");
  sender.Flush();
  EXPECT_EQ(server.Envelope(1), "from sender@tulix.test\nrcpt holder@tulix.test\n"
                                "rcpt second@tulix.test\nlogin alert\ntls 0\n");
  const std::string data = server.Data(1);
  EXPECT_NE(data.find("\r\nTo: Holder <holder@tulix.test>,second@tulix.test\r\n"),
            std::string::npos) << data;
  EXPECT_NE(data.find("\r\nSubject: Tulix Alert: Family Access Violation\r\n"), std::string::npos);
  EXPECT_NE(data.find("Content-Type: multipart/mixed; boundary="), std::string::npos);
  EXPECT_NE(data.find("Content-Type: text/plain; charset=iso-8859-1\r\n"
                      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                      "Too many password attempts entering family mode"),
            std::string::npos) << data;

  // HTML: one text/html part of a multipart/related message, to the sender without a violation
  // address.
  s.ScanLog.clear();
  s.HTML = 1;
  SendAlertNow(MailAlertSettings::FromApp(), "Family Access Violation", "<b>attempts</b>");
  EXPECT_EQ(server.Envelope(2), "from sender@tulix.test\nrcpt sender@tulix.test\nlogin alert\ntls 0\n");
  EXPECT_NE(server.Data(2).find("Content-Type: multipart/related; boundary="), std::string::npos);
  EXPECT_NE(server.Data(2).find("Content-Type: text/html; charset=iso-8859-1\r\n"),
            std::string::npos);
}

TEST_F(MailAlertTest, FailuresAreLoggedWithTheirTexts) {
  AppSettings& s = m_app->settings();
  s.Port = ClosedPort();
  SendAlertNow(MailAlertSettings::FromApp(), "Family Access Violation", "body");
  EXPECT_TRUE(m_log.Has("Error: Couldn't connect to email server!, Error:10061"));

  MailServer server;
  s.Port = server.Port();
  s.Address = "sender@tulix.test";
  s.ScanLog = EncipherSetting("nobody@refused.test");
  SendAlertNow(MailAlertSettings::FromApp(), "Family Access Violation", "body");
  EXPECT_EQ(m_log.CountContaining("Error: Couldn't send message!\nResponse:5"), 1);

  s.ScanLog.clear();
  s.Address.clear();
  SendAlertNow(MailAlertSettings::FromApp(), "Family Access Violation", "body");
  EXPECT_TRUE(m_log.Has("Error: No email address"));
  EXPECT_EQ(server.Envelope(1), "");
}

TEST(MailSettingsPage, ChecksInOrderAndMethodNames) {
  EXPECT_EQ(CheckMailSettings("", "", 1, "", 0)->message, "Please specify a valid email address");
  EXPECT_EQ(CheckMailSettings("a@b", "", 1, "", 0)->field, MailSettingsField::kHost);
  EXPECT_EQ(CheckMailSettings("a@b", "smtp", 1, "", 25)->message,
            "Please specify a valid username");
  EXPECT_FALSE(CheckMailSettings("a@b", "smtp", 0, "", 25));
  EXPECT_EQ(CheckMailSettings("a@b", "smtp", 0, "", 32001)->field, MailSettingsField::kPort);
  EXPECT_STREQ(AuthenticationMethodName(1), "CRAM MD5");
  EXPECT_STREQ(AuthenticationMethodName(4), "???");
}

}  // namespace
}  // namespace tulix
