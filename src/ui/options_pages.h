// The general pages of the options sheet: "Tasks", "My Profile", "Email" and "Browser
// Integration" (options_page.h says how a page is loaded, checked and applied). Each edits
// fields of App().settings().
//
// Thread safety: user-interface thread only.
#pragma once

#include <functional>

#include "ui/options_page.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

namespace tulix {

// MaxTasks, BrowserNewWindow, DefaultEngineCount, DefaultResultCount, UpdatePolicy.
class TasksPage : public OptionsPage {
  Q_OBJECT
 public:
  explicit TasksPage(QWidget* parent = nullptr);
  void Load() override;
  void Apply() override;

  QSpinBox* maxTasks() const { return m_maxTasks; }
  QCheckBox* browserNewWindow() const { return m_newWindow; }
  QSpinBox* defaultEngineCount() const { return m_engines; }
  QSpinBox* defaultResultCount() const { return m_results; }
  // "Every Search" (0), "Once per category" (1).
  QComboBox* updatePolicy() const { return m_update; }

 private:
  QSpinBox* m_maxTasks = nullptr;
  QCheckBox* m_newWindow = nullptr;
  QSpinBox* m_engines = nullptr;
  QSpinBox* m_results = nullptr;
  QComboBox* m_update = nullptr;
};

// MyDomains.
class ProfilePage : public OptionsPage {
  Q_OBJECT
 public:
  explicit ProfilePage(QWidget* parent = nullptr);
  void Load() override;
  void Apply() override;

  QLineEdit* domains() const { return m_domains; }

 private:
  QLineEdit* m_domains = nullptr;
};

// The mail settings of the alerts: sender, authentication, server and port, and the connection
// security (Email\Security, which the page stores itself as the settings record does not).
class EmailPage : public OptionsPage {
  Q_OBJECT
 public:
  explicit EmailPage(QWidget* parent = nullptr);
  void Load() override;
  // The mail checks in order (address, server, user name, port), the first failure shown with
  // the focus on its field. A page left wholly empty passes: alerts are optional, and a user
  // who only looked at the page must be able to leave it.
  bool Check() override;
  void Apply() override;

  QLineEdit* name() const { return m_name; }
  QLineEdit* address() const { return m_address; }
  // "None", "CRAM MD5", "AUTH LOGIN", "LOGIN PLAIN", and "???" as a fifth entry while the
  // stored method is none of them.
  QComboBox* authentication() const { return m_method; }
  QLineEdit* username() const { return m_username; }
  QLineEdit* password() const { return m_password; }
  QLineEdit* host() const { return m_host; }
  QSpinBox* port() const { return m_port; }
  // "Plain text", "STARTTLS", "TLS".
  QComboBox* security() const { return m_security; }

 private:
  // The method value of the list's current entry (the stored unknown value for "???").
  int SelectedMethod() const;
  void MethodChosen();

  int m_unknownMethod = 0;
  QLineEdit* m_name = nullptr;
  QLineEdit* m_address = nullptr;
  QComboBox* m_method = nullptr;
  QLabel* m_usernameLabel = nullptr;
  QLineEdit* m_username = nullptr;
  QLabel* m_passwordLabel = nullptr;
  QLineEdit* m_password = nullptr;
  QLineEdit* m_host = nullptr;
  QSpinBox* m_port = nullptr;
  QComboBox* m_security = nullptr;
};

// ExplorerIntegration ("Tulix Search Toolbar") and OpenInNewWindow. Applying registers or
// unregisters the browser components through the given call.
class BrowserIntegrationPage : public OptionsPage {
  Q_OBJECT
 public:
  explicit BrowserIntegrationPage(std::function<void(bool)> registerComponents,
                                  QWidget* parent = nullptr);
  void Load() override;
  void Apply() override;

  QCheckBox* toolbar() const { return m_toolbar; }
  QCheckBox* openInNewWindow() const { return m_newWindow; }

 private:
  std::function<void(bool)> m_register;
  QCheckBox* m_toolbar = nullptr;
  QCheckBox* m_newWindow = nullptr;
};

}  // namespace tulix
