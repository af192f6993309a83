#include "base/log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/log_file.h"
#include "platform/paths.h"

namespace tulix {

namespace {

// A fatal message ends the program with this status: a script that started the program must
// see that it failed.
constexpr int kFatalExitStatus = EXIT_FAILURE;

std::atomic<LogUserInterface*> g_userInterface{nullptr};
std::atomic<AlertSender*> g_alertSender{nullptr};
// Constant-initialised, so it exists before any static constructor could log.
std::mutex g_messageBoxLock;

const char* LevelPrefix(int level) {
  switch (level) {
    case kLogWarning:
      return "Warning: ";
    case kLogValidationError:
      return "Validation Error: ";
    case kLogNotice:
      return "Notice: ";
    case kLogError:
      return "Error: ";
    case kLogFatal:
      return "Fatal: ";
    default:
      return "";
  }
}

// The prefix counts towards kMaxLogLine, so no line in the file is ever longer than that.
std::string FormatLine(int level, const char* format, va_list args) {
  const char* prefix = LevelPrefix(level);
  const std::size_t prefixLength = std::strlen(prefix);
  const std::size_t room = kMaxLogLine - prefixLength;
  std::string line(kMaxLogLine + 1, '\0');  // one more for vsnprintf's terminator
  std::memcpy(line.data(), prefix, prefixLength);
  if (format == nullptr) {
    format = "";
  }
  int length = std::vsnprintf(line.data() + prefixLength, room + 1, format, args);
  std::size_t textLength;
  if (length < 0) {
    // The C library could not convert an argument; the bare format still says what happened.
    textLength = std::min(std::strlen(format), room);
    std::memcpy(line.data() + prefixLength, format, textLength);
  } else {
    textLength = std::min(static_cast<std::size_t>(length), room);
  }
  line.resize(prefixLength + textLength);
  return line;
}

void WriteLine(const std::string& line) {
  std::string record;
  record.reserve(line.size() + 1);
  record.append(line).push_back('\n');
  // A failed write has nowhere left to be reported, so the line is dropped.
  WriteStandardError(record);
}

void ShowStatus(const std::string& line) {
  if (LogUserInterface* ui = g_userInterface.load(std::memory_order_acquire)) {
    ui->ShowStatus(line);
  }
}

void ShowMessageBox(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_messageBoxLock);
  if (LogUserInterface* ui = g_userInterface.load(std::memory_order_acquire)) {
    ui->ShowMessageBox(line);
  }
}

void SendAlert(const std::string& line) {
  if (AlertSender* sender = g_alertSender.load(std::memory_order_acquire)) {
    sender->SendAlert(kFamilyAlertSubject, line);
  }
}

// std::exit would run static destructors and atexit handlers while other threads may still be
// using those objects, which can crash or hang a program that is meant to end cleanly. Log lines
// are unbuffered writes and stored files are replaced atomically, so skipping them loses
// nothing; only stdout may hold output that a command-line front end has not passed on yet.
[[noreturn]] void EndProgram() {
  std::fflush(stdout);
  std::_Exit(kFatalExitStatus);
}

}  // namespace

void SetLogUserInterface(LogUserInterface* userInterface) {
  g_userInterface.store(userInterface, std::memory_order_release);
}

void SetAlertSender(AlertSender* sender) {
  g_alertSender.store(sender, std::memory_order_release);
}

std::mutex& MessageBoxLock() {
  return g_messageBoxLock;
}

bool OpenLog(std::string_view programFolder) {
  const std::string path = JoinPath(programFolder, "tulix.log");
  if (!RedirectStandardErrorToFile(path)) {
    LogMessage(0, kLogError, "Cannot open log file %s", path.c_str());
    return false;
  }
  if (std::setvbuf(stderr, nullptr, _IONBF, 0) != 0) {
    std::fputs("Unable to unbuffer stderr\n", stderr);
    std::fflush(stderr);
  }
  return true;
}

void LogMessage(int flags, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMessageV(flags, level, format, args);
  va_end(args);
}

void LogMessageV(int flags, int level, const char* format, va_list args) {
  const std::string line = FormatLine(level, format, args);
  if (flags & kLogStatusBar) {
    ShowStatus(line);
  }
  if (flags & kLogMessageBox) {
    ShowMessageBox(line);
  }
  if (flags & kLogBeforeExit) {
    WriteLine(line);
  }
  if (level == kLogFatal) {
    EndProgram();
  }
  if (!(flags & kLogBeforeExit)) {
    WriteLine(line);
  }
  if (flags & kLogAlert) {
    SendAlert(line);
  }
}

}  // namespace tulix
