#include "mail/mail_alert.h"

#include <memory>

#include "base/application.h"
#include "base/setting_cipher.h"
#include "mail/mime_message.h"
#include "mail/smtp_connection.h"
#include "platform/dialup.h"
#include "platform/last_error.h"

namespace tulix {

MailAlertSettings MailAlertSettings::FromApp() {
  const AppSettings& s = App().settings();
  MailAlertSettings settings;
  settings.violationAddress = s.ScanLog.empty() ? std::string() : DecipherSetting(s.ScanLog);
  settings.address = s.Address;
  settings.name = s.Name;
  settings.host = s.Host;
  settings.port = s.Port;
  settings.authenticate = s.Authenticate;
  settings.username = s.Username;
  settings.password = s.Password;
  settings.boundIp = s.BoundIP;
  settings.charset = s.EncodingCharset;
  settings.html = s.HTML != 0;
  settings.security = s.Security;
  return settings;
}

std::unique_ptr<CSMTPMessage> BuildAlertMessage(const MailAlertSettings& settings,
                                                const std::string& recipients,
                                                const std::string& subject,
                                                const std::string& body) {
  auto message = std::make_unique<CSMTPMessage>();
  message->SetMime(true);
  message->SetCharset(settings.charset);
  message->AddMultipleRecipients(recipients, RecipientKind::To);
  message->SetSubject("Tulix Alert: " + subject);
  if (settings.html) {
    message->AddHTMLBody(body, "");
  } else {
    message->AddTextBody(body);
  }
  // A sender with a line break in it could add header lines or commands of its own.
  if (!message->SetFrom(CSMTPAddress(settings.name, settings.address)) ||
      !message->SetReplyTo(CSMTPAddress(settings.name, settings.address))) {
    return nullptr;
  }
  return message;
}

void SendAlertNow(const MailAlertSettings& settings, const std::string& subject,
                  const std::string& body) {
  const std::string& recipients =
      !settings.violationAddress.empty() ? settings.violationAddress : settings.address;
  if (recipients.empty()) {
    LogMessage(kLogStatusBar, kLogError, "No email address");
    return;
  }
  if (settings.address.empty() || settings.host.empty()) {
    return;
  }
  std::unique_ptr<CSMTPMessage> message =
      BuildAlertMessage(settings, recipients, subject, body);
  if (message == nullptr) {
    LogMessage(kLogStatusBar, kLogError,
               "Couldn't send message!\nResponse:the sender's name or address holds a line break");
    return;
  }
  // Whether a connection came up is not asked: the mail server's answer tells.
  EnsureConnected();
  CSMTPConnection connection;
  const uint16_t port = settings.port > 0 && settings.port <= 65535
                            ? static_cast<uint16_t>(settings.port)
                            : static_cast<uint16_t>(25);
  if (!connection.Connect(settings.host, settings.authenticate, settings.username,
                          settings.password, port, settings.boundIp, settings.security)) {
    const std::string text =
        "Couldn't connect to email server!, Error:" + std::to_string(GetLastError());
    LogMessage(kLogStatusBar, kLogError, "%s", text.c_str());
  } else if (!connection.SendMessage(*message)) {
    const std::string text =
        "Couldn't send message!\nResponse:" + connection.GetLastCommandResponse();
    LogMessage(kLogStatusBar, kLogError, "%s", text.c_str());
  }
  connection.Disconnect();
}

MailAlertSender::MailAlertSender() : m_thread([this] { Run(); }) {}

MailAlertSender::~MailAlertSender() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void MailAlertSender::SendAlert(const std::string& subject, const std::string& body) {
  // The settings are read here, on the thread that owns them, and travel with the alert.
  Alert alert{MailAlertSettings::FromApp(), subject, body};
  {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(std::move(alert));
  }
  m_changed.notify_all();
}

void MailAlertSender::Flush() {
  std::unique_lock lock(m_mutex);
  m_changed.wait(lock, [&] { return m_queue.empty() && !m_busy; });
}

void MailAlertSender::Run() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
    // Alerts logged before the end still go out: a violation is never dropped unsent.
    if (m_queue.empty()) {
      return;
    }
    Alert alert = std::move(m_queue.front());
    m_queue.pop_front();
    m_busy = true;
    lock.unlock();
    SendAlertNow(alert.settings, alert.subject, alert.body);
    lock.lock();
    m_busy = false;
    m_changed.notify_all();
  }
}

const char* AuthenticationMethodName(int method) {
  if (method < 0 || method >= static_cast<int>(std::size(kAuthenticationMethodNames))) {
    return "???";
  }
  return kAuthenticationMethodNames[method];
}

std::optional<MailSettingsProblem> CheckMailSettings(const std::string& address,
                                                     const std::string& host, int method,
                                                     const std::string& username, int port) {
  if (address.empty()) {
    return MailSettingsProblem{MailSettingsField::kAddress, "Please specify a valid email address"};
  }
  if (host.empty()) {
    return MailSettingsProblem{MailSettingsField::kHost, "Please specify a valid SMTP host"};
  }
  if (method != kSmtpAuthNone && username.empty()) {
    return MailSettingsProblem{MailSettingsField::kUsername, "Please specify a valid username"};
  }
  if (port < 1 || port > 32000) {
    return MailSettingsProblem{MailSettingsField::kPort,
                               "Please enter an integer between 1 and 32000."};
  }
  return std::nullopt;
}

}  // namespace tulix
