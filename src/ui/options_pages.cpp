#include "ui/options_pages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

#include <iterator>
#include <utility>

#include "base/application.h"
#include "base/settings.h"
#include "mail/mail_alert.h"
#include "platform/registry_store.h"
#include "ui/core_text.h"
#include "ui/user_message.h"

namespace tulix {
namespace {

QSpinBox* Spin(const char* objectName, int low, int high) {
  auto* spin = new QSpinBox;
  spin->setObjectName(QString::fromLatin1(objectName));
  spin->setRange(low, high);
  return spin;
}

QLineEdit* Line(const char* objectName) {
  auto* line = new QLineEdit;
  line->setObjectName(QString::fromLatin1(objectName));
  return line;
}

QCheckBox* CheckBox(const char* text, const char* objectName) {
  auto* box = new QCheckBox(QString::fromLatin1(text));
  box->setObjectName(QString::fromLatin1(objectName));
  return box;
}

int32_t Flag(const QCheckBox* box) {
  return box->isChecked() ? 1 : 0;
}

// The values of Email\Security, in list order.
const char* const kSecurityNames[] = {"Plain text", "STARTTLS", "TLS"};
constexpr int kMaxPort = 32000;

}  // namespace

TasksPage::TasksPage(QWidget* parent) : OptionsPage(parent) {
  auto* form = new QFormLayout(this);
  m_maxTasks = Spin("maxTasks", 1, 100);
  form->addRow(QStringLiteral("Maximum Tasks"), m_maxTasks);
  m_newWindow = CheckBox("Open Browser in new window", "browserNewWindow");
  form->addRow(m_newWindow);
  m_engines = Spin("defaultEngineCount", 1, 100);
  form->addRow(QStringLiteral("Default number of engines to search"), m_engines);
  m_results = Spin("defaultResultCount", 1, 1000);
  form->addRow(QStringLiteral("Default number of results per engine"), m_results);
  m_update = new QComboBox;
  m_update->setObjectName(QStringLiteral("updatePolicy"));
  m_update->addItems({QStringLiteral("Every Search"), QStringLiteral("Once per category")});
  form->addRow(QStringLiteral("Check for engine updates"), m_update);
}

void TasksPage::Load() {
  const AppSettings& s = App().settings();
  m_maxTasks->setValue(s.MaxTasks);
  m_newWindow->setChecked(s.BrowserNewWindow != 0);
  m_engines->setValue(s.DefaultEngineCount);
  m_results->setValue(s.DefaultResultCount);
  m_update->setCurrentIndex(s.UpdatePolicy == 1 ? 1 : 0);
}

void TasksPage::Apply() {
  AppSettings& s = App().settings();
  s.MaxTasks = m_maxTasks->value();
  s.BrowserNewWindow = Flag(m_newWindow);
  s.DefaultEngineCount = m_engines->value();
  s.DefaultResultCount = m_results->value();
  s.UpdatePolicy = m_update->currentIndex();
}

ProfilePage::ProfilePage(QWidget* parent) : OptionsPage(parent) {
  auto* form = new QFormLayout(this);
  m_domains = Line("domains");
  form->addRow(QStringLiteral("Domains"), m_domains);
  auto* hint = new QLabel(QStringLiteral(
      "The endings of the domains you want results from, separated by commas (for example "
      "uk,com)."));
  hint->setWordWrap(true);
  form->addRow(hint);
}

void ProfilePage::Load() {
  m_domains->setText(FromCoreText(App().settings().MyDomains));
}

void ProfilePage::Apply() {
  App().settings().MyDomains = ToCoreText(m_domains->text().trimmed());
}

EmailPage::EmailPage(QWidget* parent) : OptionsPage(parent) {
  auto* sender = new QGroupBox(QStringLiteral("Sender"));
  auto* senderForm = new QFormLayout(sender);
  m_name = Line("name");
  senderForm->addRow(QStringLiteral("&Name:"), m_name);
  m_address = Line("address");
  senderForm->addRow(QStringLiteral("&Address:"), m_address);
  m_method = new QComboBox;
  m_method->setObjectName(QStringLiteral("authentication"));
  for (const char* method : kAuthenticationMethodNames) {
    m_method->addItem(QString::fromLatin1(method));
  }
  senderForm->addRow(QStringLiteral("Authentication Method:"), m_method);
  m_username = Line("username");
  m_usernameLabel = new QLabel(QStringLiteral("&Username:"));
  m_usernameLabel->setBuddy(m_username);
  senderForm->addRow(m_usernameLabel, m_username);
  m_password = Line("password");
  m_password->setEchoMode(QLineEdit::Password);
  m_passwordLabel = new QLabel(QStringLiteral("&Password:"));
  m_passwordLabel->setBuddy(m_password);
  senderForm->addRow(m_passwordLabel, m_password);

  auto* server = new QGroupBox(QStringLiteral("Outgoing Mail Server"));
  auto* serverForm = new QFormLayout(server);
  m_host = Line("host");
  serverForm->addRow(QStringLiteral("&SMTP Server"), m_host);
  m_port = Spin("port", 1, kMaxPort);
  serverForm->addRow(QStringLiteral("P&ort Number:"), m_port);
  serverForm->addRow(QString(), new QLabel(QStringLiteral("Normally 25")));
  m_security = new QComboBox;
  m_security->setObjectName(QStringLiteral("security"));
  for (const char* security : kSecurityNames) {
    m_security->addItem(QString::fromLatin1(security));
  }
  serverForm->addRow(QStringLiteral("Connection security:"), m_security);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(sender);
  layout->addWidget(server);
  layout->addStretch();
  connect(m_method, &QComboBox::currentIndexChanged, this, [this] { MethodChosen(); });
}

void EmailPage::Load() {
  const AppSettings& s = App().settings();
  m_name->setText(FromCoreText(s.Name));
  m_address->setText(FromCoreText(s.Address));
  // A method outside the list is shown as "???" and kept as it is unless another is chosen.
  const auto known = static_cast<int>(std::size(kAuthenticationMethodNames));
  while (m_method->count() > known) {
    m_method->removeItem(known);
  }
  if (s.Authenticate >= 0 && s.Authenticate < known) {
    m_method->setCurrentIndex(s.Authenticate);
  } else {
    m_unknownMethod = s.Authenticate;
    m_method->addItem(QString::fromLatin1(AuthenticationMethodName(s.Authenticate)));
    m_method->setCurrentIndex(known);
  }
  m_username->setText(FromCoreText(s.Username));
  m_password->setText(FromCoreText(s.Password));
  m_host->setText(FromCoreText(s.Host));
  m_port->setValue(s.Port);
  m_security->setCurrentIndex(s.Security >= 0 && s.Security < 3 ? s.Security : 0);
  MethodChosen();
}

int EmailPage::SelectedMethod() const {
  const int index = m_method->currentIndex();
  return index < static_cast<int>(std::size(kAuthenticationMethodNames)) ? index
                                                                          : m_unknownMethod;
}

void EmailPage::MethodChosen() {
  const bool needsUser = SelectedMethod() != 0;
  for (QWidget* widget :
       {static_cast<QWidget*>(m_usernameLabel), static_cast<QWidget*>(m_username),
        static_cast<QWidget*>(m_passwordLabel), static_cast<QWidget*>(m_password)}) {
    widget->setEnabled(needsUser);
  }
}

bool EmailPage::Check() {
  const std::string address = ToCoreText(m_address->text().trimmed());
  const std::string host = ToCoreText(m_host->text().trimmed());
  const std::string username = ToCoreText(m_username->text());
  if (address.empty() && host.empty() && username.empty()) {
    return true;
  }
  const auto problem =
      CheckMailSettings(address, host, SelectedMethod(), username, m_port->value());
  if (!problem) {
    return true;
  }
  ShowUserMessage(this, FromCoreText(problem->message));
  switch (problem->field) {
    case MailSettingsField::kAddress:
      m_address->setFocus();
      break;
    case MailSettingsField::kHost:
      m_host->setFocus();
      break;
    case MailSettingsField::kUsername:
      m_username->setFocus();
      break;
    case MailSettingsField::kPort:
      m_port->setFocus();
      break;
  }
  return false;
}

void EmailPage::Apply() {
  AppSettings& s = App().settings();
  s.Name = ToCoreText(m_name->text().trimmed());
  s.Address = ToCoreText(m_address->text().trimmed());
  s.Authenticate = SelectedMethod();
  s.Username = ToCoreText(m_username->text());
  s.Password = ToCoreText(m_password->text());
  s.Host = ToCoreText(m_host->text().trimmed());
  s.Port = m_port->value();
  s.Security = m_security->currentIndex();
  // The settings record never writes this value of our own, so the page stores it.
  App().registry().SetDword(std::string(kRegistryRoot) + "\\Email", "Security",
                            static_cast<uint32_t>(s.Security));
}

BrowserIntegrationPage::BrowserIntegrationPage(std::function<void(bool)> registerComponents,
                                               QWidget* parent)
    : OptionsPage(parent), m_register(std::move(registerComponents)) {
  auto* layout = new QVBoxLayout(this);
  m_toolbar = CheckBox("Tulix Search Toolbar", "toolbar");
  layout->addWidget(m_toolbar);
  m_newWindow = CheckBox("Open results in new browser window", "openInNewWindow");
  layout->addWidget(m_newWindow);
  layout->addStretch();
}

void BrowserIntegrationPage::Load() {
  const AppSettings& s = App().settings();
  m_toolbar->setChecked(s.ExplorerIntegration == 1);
  m_newWindow->setChecked(s.OpenInNewWindow != 0);
}

void BrowserIntegrationPage::Apply() {
  AppSettings& s = App().settings();
  s.ExplorerIntegration = Flag(m_toolbar);
  s.OpenInNewWindow = Flag(m_newWindow);
  SaveSettings();
  if (m_register) {
    m_register(m_toolbar->isChecked());
  }
}

}  // namespace tulix
