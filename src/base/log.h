// The log: the one call through which the program tells the user something or records it.
//
// LogMessage formats one line, puts the level's prefix in front of it and, by its flag bits,
// shows it in the status bar, shows it in a message box, sends it as a family-mode violation
// alert, writes it to the log file or ends the program. OpenLog makes the log file (tulix.log in
// the program folder, emptied at every start) the process's standard error; before it runs, log
// lines go to whatever standard error the process was started with.
//
// The status bar, the message box and the alert belong to higher parts of the program. They
// reach the log through the small interfaces below, which those parts register; until one is
// registered, the flags that need it do nothing.
//
// Ownership: the log never owns a registered object. A registered object must stay valid until
// it has been unregistered (nullptr) and no LogMessage call that may have picked it up is still
// running in another thread.
//
// Thread safety: every function may be called from any thread. Each line is written in one
// unbuffered write, so lines from different threads never mix. Message boxes are shown one at a
// time under the message-box lock.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace tulix {

// Flag bits of LogMessage, combined by OR.
inline constexpr int kLogStatusBar = 1;   // also show the line as the status bar text
inline constexpr int kLogMessageBox = 2;  // also show the line in a message box
inline constexpr int kLogBeforeExit = 4;  // write the line before a fatal exit ends the program
inline constexpr int kLogAlert = 8;       // also send the line as a family-mode violation alert

// Levels of LogMessage; each puts its prefix in front of the line.
inline constexpr int kLogPlain = 0;            // no prefix
inline constexpr int kLogWarning = 1;          // "Warning: "
inline constexpr int kLogValidationError = 2;  // "Validation Error: "
inline constexpr int kLogNotice = 3;           // "Notice: "
inline constexpr int kLogError = 4;            // "Error: "
inline constexpr int kLogFatal = 5;            // "Fatal: ", and the program ends
// Any other level gets no prefix.

// The longest line, prefix included and newline not. Longer text is cut to this length.
inline constexpr std::size_t kMaxLogLine = 10015;

// The subject of the alert sent for kLogAlert; the line is its body.
inline constexpr char kFamilyAlertSubject[] = "Family Access Violation";

// What the log needs of the user interface.
class LogUserInterface {
 public:
  virtual ~LogUserInterface() = default;
  // Sets the status bar text to the line. Called on the logging thread; must not block long.
  virtual void ShowStatus(const std::string& line) = 0;
  // Shows the line in a box with an OK button and returns when the user has closed it. Called
  // on the logging thread with MessageBoxLock() held, so it must not log with kLogMessageBox
  // itself, and if it hands the box to another thread, that thread must not wait for the lock.
  virtual void ShowMessageBox(const std::string& line) = 0;
};

// What the log needs to send a family-mode violation alert.
class AlertSender {
 public:
  virtual ~AlertSender() = default;
  // Called on the logging thread after the line has been written to the log.
  virtual void SendAlert(const std::string& subject, const std::string& body) = 0;
};

// Register (or, with nullptr, unregister) the object that shows status text and message boxes,
// and the one that sends alerts. May be called while other threads log.
void SetLogUserInterface(LogUserInterface* userInterface);
void SetAlertSender(AlertSender* sender);

// The program-wide lock that keeps message boxes from overlapping. Held while a box is shown;
// other code that raises boxes of its own takes it too.
std::mutex& MessageBoxLock();

// Opens tulix.log in the program folder, emptied, and makes it the process's standard error
// (descriptor 2, unbuffered), so that stray output to standard error lands in it too. Returns
// false, with the error logged to the old standard error and nothing redirected, when the file
// cannot be opened.
bool OpenLog(std::string_view programFolder);

// Formats the text printf-style into a line behind the level's prefix (cut at kMaxLogLine) and
// dispatches it, in this order: status bar (kLogStatusBar); message box (kLogMessageBox); the
// log file (kLogBeforeExit); for kLogFatal the end of the program with a failure status
// (EXIT_FAILURE); the log file (without
// kLogBeforeExit); the alert (kLogAlert). A fatal line without kLogBeforeExit is shown but never
// written. The fatal end does not run static destructors or atexit handlers (other threads may
// still be using those objects); the log needs none, as its lines are already written.
void LogMessage(int flags, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void LogMessageV(int flags, int level, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

}  // namespace tulix
