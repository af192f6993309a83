// E-mail alerts: the log's alert sender, which mails a line that carries the alert flag (the
// family-mode violation) to the family password holder, and the checks and texts of the "Email"
// options page.
//
// An alert is built and sent on a thread of its own, never on the thread that logged it: that is
// the user-interface thread, and a silent mail server would hold it for a minute per reply.
// Alerts go out one after another, in the order they were logged.
//
// Ownership: the sender owns its thread; destroying it waits for the alerts already logged.
// Thread safety: SendAlert may be called from any thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/settings.h"

namespace tulix {

class CSMTPMessage;

// What one alert needs from the settings, copied when it is logged so that a later change on the
// options page cannot meet a send half way.
struct MailAlertSettings {
  std::string violationAddress;  // Behaviour\ScanLog, deciphered
  std::string address;           // Email\Address: the sender, and the recipient without the above
  std::string name;
  std::string host;
  int port = 25;
  int authenticate = 0;
  std::string username;
  std::string password;
  std::string boundIp;
  std::string charset = "iso-8859-1";
  bool html = false;
  int security = 0;

  static MailAlertSettings FromApp();
};

// The message of an alert: MIME, the charset of the settings, the recipients of `recipients`,
// subject "Tulix Alert: <subject>", the body as text or HTML, From and Reply-To the sender.
// Null when the sender's name or address holds a control character.
std::unique_ptr<CSMTPMessage> BuildAlertMessage(const MailAlertSettings& settings,
                                                const std::string& recipients,
                                                const std::string& subject,
                                                const std::string& body);

// Sends one alert now, on the calling thread, and logs what went wrong.
void SendAlertNow(const MailAlertSettings& settings, const std::string& subject,
                  const std::string& body);

class MailAlertSender : public AlertSender {
 public:
  MailAlertSender();
  ~MailAlertSender() override;
  MailAlertSender(const MailAlertSender&) = delete;
  MailAlertSender& operator=(const MailAlertSender&) = delete;

  void SendAlert(const std::string& subject, const std::string& body) override;

  // Waits until every alert logged so far has been dealt with (for tests and shutdown).
  void Flush();

 private:
  struct Alert {
    MailAlertSettings settings;
    std::string subject;
    std::string body;
  };
  void Run();

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Alert> m_queue;  // guarded by m_mutex
  bool m_busy = false;        // guarded by m_mutex
  bool m_stopping = false;    // guarded by m_mutex
  std::thread m_thread;
};

// The "Email" options page: the names of the authentication methods in list order, and the
// name shown for a value outside the list.
inline constexpr const char* kAuthenticationMethodNames[] = {"None", "CRAM MD5", "AUTH LOGIN",
                                                             "LOGIN PLAIN"};
const char* AuthenticationMethodName(int method);

// The field a check of the page puts the focus on.
enum class MailSettingsField { kAddress, kHost, kUsername, kPort };

struct MailSettingsProblem {
  MailSettingsField field;
  std::string message;
};

// The page's checks on leaving or applying, in order; the first that fails, or none.
std::optional<MailSettingsProblem> CheckMailSettings(const std::string& address,
                                                     const std::string& host, int method,
                                                     const std::string& username, int port);

}  // namespace tulix
