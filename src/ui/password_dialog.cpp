#include "ui/password_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "ui/core_text.h"

namespace tulix {

PasswordDialog::PasswordDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Enter Password For full access"));
  m_password = new QLineEdit;
  m_password->setObjectName(QStringLiteral("password"));
  m_password->setEchoMode(QLineEdit::Password);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_password);
  layout->addWidget(new QLabel(QStringLiteral(
      "Failed attempts will be notified via email to the family password holder.")));
  layout->addWidget(buttons);
}

std::optional<std::string> QtPasswordPrompt::AskPassword() {
  PasswordDialog dialog(m_parent);
  if (dialog.exec() != QDialog::Accepted) {
    return std::nullopt;
  }
  return ToCoreText(dialog.password()->text());
}

}  // namespace tulix
