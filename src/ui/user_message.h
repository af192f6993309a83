// Message boxes raised by the dialogs themselves (a refused field, a missing tips file). They
// go through one function so that the program shows a warning box and a test can take the text
// instead of a box that would wait for a click.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace tulix {

using UserMessageHandler = std::function<void(QWidget* parent, const QString& text)>;

// Shows `text` in a warning box over `parent`, or hands it to the handler when one is set.
void ShowUserMessage(QWidget* parent, const QString& text);

// Replaces the handler (an empty one restores the warning box) and returns the previous one.
UserMessageHandler SetUserMessageHandler(UserMessageHandler handler);

}  // namespace tulix
