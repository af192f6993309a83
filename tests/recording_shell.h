// A shell launcher for tests: answers the browser lookup as told and records what would have
// been started or opened.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/shell.h"

namespace tulix::test {

// Answers the browser lookup as told and records every start and open instead of doing it.
class RecordingShell : public ShellLauncher {
 public:
  ExecutableLookup FindExecutable(const std::string& file) override {
    std::lock_guard lock(m_mutex);
    lookedUp.push_back(file);
    return answer;
  }
  bool StartProcess(const std::vector<std::string>& argv) override {
    std::lock_guard lock(m_mutex);
    started.push_back(argv);
    return true;
  }
  bool Open(const std::string& target) override {
    std::lock_guard lock(m_mutex);
    opened.push_back(target);
    return true;
  }

  ExecutableLookup answer;
  std::vector<std::string> lookedUp;
  std::vector<std::vector<std::string>> started;
  std::vector<std::string> opened;

 private:
  std::mutex m_mutex;
};

}  // namespace tulix::test
