// What the dialogs' tests share: files written into a test's program folder, the messages the
// dialogs and the log would show in boxes (taken instead of boxes that wait for a click), and a
// driver that answers a dialog some code shows modally.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "ui/user_message.h"

namespace tulix::test {

inline void WriteTextFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Takes what ShowUserMessage and the log's status bar and message boxes would show, for its
// lifetime.
class ShownMessages : public LogUserInterface {
 public:
  ShownMessages() {
    m_previous = SetUserMessageHandler(
        [this](QWidget*, const QString& text) { boxes.push_back(text.toStdString()); });
    SetLogUserInterface(this);
  }
  ~ShownMessages() override {
    SetLogUserInterface(nullptr);
    SetUserMessageHandler(m_previous);
  }
  void ShowStatus(const std::string& line) override {
    std::lock_guard lock(m_lock);
    status.push_back(line);
  }
  void ShowMessageBox(const std::string& line) override {
    std::lock_guard lock(m_lock);
    boxes.push_back(line);
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (const std::string& box : boxes) {
      n += box.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
  }

  std::vector<std::string> boxes;
  std::vector<std::string> status;

 private:
  std::mutex m_lock;
  UserMessageHandler m_previous;
};

// Whenever a modal dialog of type T is the active modal widget, hands it to `answer`, which
// fills it and closes it. Lives as long as the object.
template <typename T>
class ModalAnswerer {
 public:
  explicit ModalAnswerer(std::function<void(T&)> answer) : m_answer(std::move(answer)) {
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
        ++answered;
        m_answer(*dialog);
      }
    });
    m_timer.start();
  }
  int answered = 0;

 private:
  std::function<void(T&)> m_answer;
  QTimer m_timer;
};

}  // namespace tulix::test
