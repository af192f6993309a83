#include "ui/user_message.h"

#include <QMessageBox>

#include <utility>

namespace tulix {
namespace {

UserMessageHandler& Handler() {
  static UserMessageHandler handler;
  return handler;
}

}  // namespace

void ShowUserMessage(QWidget* parent, const QString& text) {
  if (Handler()) {
    Handler()(parent, text);
    return;
  }
  QMessageBox::warning(parent, QStringLiteral("Tulix"), text);
}

UserMessageHandler SetUserMessageHandler(UserMessageHandler handler) {
  return std::exchange(Handler(), std::move(handler));
}

}  // namespace tulix
