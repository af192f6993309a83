// The password dialog "Enter Password For full access", and the prompt through which family
// mode (family/family_mode.h) shows it. The checks, the count of wrong entries and the violation
// alert are family mode's; this is only the dialog.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QDialog>

#include <optional>
#include <string>

#include "family/family_mode.h"

class QLineEdit;

namespace tulix {

class PasswordDialog : public QDialog {
  Q_OBJECT
 public:
  explicit PasswordDialog(QWidget* parent);

  QLineEdit* password() const { return m_password; }

 private:
  QLineEdit* m_password = nullptr;
};

class QtPasswordPrompt : public PasswordPrompt {
 public:
  explicit QtPasswordPrompt(QWidget* parent) : m_parent(parent) {}

  // Shows a new, empty dialog each time and returns the entered text on OK.
  std::optional<std::string> AskPassword() override;

 private:
  QWidget* m_parent;
};

}  // namespace tulix
