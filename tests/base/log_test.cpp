#include "base/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace tulix {
namespace {

using test::ReadFileBytes;
using test::TempFolder;

// Records every call as a line in a file of its own, with the size of the log at that moment,
// so the test sees what a child process showed (and when) even after a fatal message ended it.
class RecordingUi : public LogUserInterface, public AlertSender {
 public:
  explicit RecordingUi(const TempFolder& folder)
      : m_logPath(folder.File("tulix.log")), m_eventsPath(folder.File("events")) {}

  void ShowStatus(const std::string& line) override { Record("status", line); }
  void ShowMessageBox(const std::string& line) override { Record("box", line); }
  void SendAlert(const std::string& subject, const std::string& body) override {
    Record("alert", subject + "|" + body);
  }

 private:
  void Record(const char* what, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::error_code error;
    auto size = std::filesystem::file_size(m_logPath, error);
    std::ofstream(m_eventsPath, std::ios::app)
        << what << " @" << (error ? -1 : static_cast<long>(size)) << ": " << text << "\n";
  }

  std::mutex m_mutex;
  std::string m_logPath;
  std::string m_eventsPath;
};

// Opening the log takes over standard error, so every test runs its logging in a forked child
// with the log opened in the given folder; the child must end with `status` (0 when the body
// returns; the body may end the child itself).
void RunWithLog(const TempFolder& folder, const std::function<void()>& body, int status = 0) {
  EXPECT_EXIT(
      {
        if (!OpenLog(folder.path())) {
          std::_Exit(2);
        }
        body();
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(status), "");
}

std::string ReadLog(const TempFolder& folder) {
  return ReadFileBytes(folder.File("tulix.log"));
}
std::string ReadEvents(const TempFolder& folder) {
  return std::filesystem::exists(folder.File("events")) ? ReadFileBytes(folder.File("events")) : "";
}

class LogTest : public ::testing::Test {
 protected:
  // The child must share this test's temporary folder, so it is forked, not started afresh.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }

  TempFolder m_folder;
};

TEST_F(LogTest, LinesAreShownThenWrittenThenAlerted) {
  test::WriteFileBytes(m_folder.File("tulix.log"), "left from the last run\n");
  RunWithLog(m_folder, [this] {
    RecordingUi ui(m_folder);
    SetLogUserInterface(&ui);
    SetAlertSender(&ui);
    LogMessage(kLogStatusBar | kLogMessageBox, kLogError, "Cannot open %s (%d)", "a.ini", 5);
    LogMessage(kLogStatusBar | kLogAlert, kLogPlain, "Too many attempts");
    LogMessage(kLogBeforeExit, kLogWarning, "written once");
    LogMessage(0, kLogValidationError, "v");
    LogMessage(0, kLogNotice, "n");
    LogMessage(0, 7, "unknown level");
    std::fprintf(stderr, "stray\n");
    SetLogUserInterface(nullptr);
    SetAlertSender(nullptr);
  });
  EXPECT_EQ(ReadLog(m_folder),
            "Error: Cannot open a.ini (5)\nToo many attempts\nWarning: written once\n"
            "Validation Error: v\nNotice: n\nunknown level\nstray\n");
  // The log's size at each call shows the order: shown, then written, then alerted.
  EXPECT_EQ(ReadEvents(m_folder),
            "status @0: Error: Cannot open a.ini (5)\n"
            "box @0: Error: Cannot open a.ini (5)\n"
            "status @29: Too many attempts\n"
            "alert @47: Family Access Violation|Too many attempts\n");
}

TEST_F(LogTest, FatalEndsWithAFailureStatusAndIsWrittenOnlyWithItsFlag) {
  TempFolder unwritten;
  for (const TempFolder* folder : {&m_folder, &unwritten}) {
    int flags = kLogStatusBar | kLogMessageBox | (folder == &m_folder ? kLogBeforeExit : 0);
    // A script that started the program must see the failure in the exit status.
    RunWithLog(
        *folder,
        [folder, flags] {
          RecordingUi ui(*folder);
          SetLogUserInterface(&ui);
          LogMessage(flags, kLogFatal, "Cannot create thread");
          LogMessage(kLogStatusBar, kLogPlain, "still running");
        },
        EXIT_FAILURE);
    EXPECT_EQ(ReadEvents(*folder),
              "status @0: Fatal: Cannot create thread\nbox @0: Fatal: Cannot create thread\n");
  }
  EXPECT_EQ(ReadLog(m_folder), "Fatal: Cannot create thread\n");
  EXPECT_EQ(ReadLog(unwritten), "");
}

TEST_F(LogTest, LongLinesAreCutWithThePrefixCounted) {
  const std::string fits(kMaxLogLine - 7, 'x');  // with "Error: " exactly the longest line
  const std::string tooLong(3 * kMaxLogLine, 'y');
  RunWithLog(m_folder, [&] {
    RecordingUi ui(m_folder);
    SetLogUserInterface(&ui);
    LogMessage(0, kLogError, "%s", fits.c_str());
    LogMessage(kLogStatusBar, kLogError, "%s", tooLong.c_str());
    LogMessage(0, kLogPlain, "%s", tooLong.c_str());
  });
  const std::string cutError = "Error: " + std::string(kMaxLogLine - 7, 'y');
  EXPECT_EQ(ReadLog(m_folder),
            "Error: " + fits + "\n" + cutError + "\n" + std::string(kMaxLogLine, 'y') + "\n");
  EXPECT_EQ(ReadEvents(m_folder),
            "status @" + std::to_string(kMaxLogLine + 1) + ": " + cutError + "\n");
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kLines = 1000;
  const std::string padding(200, '.');
  RunWithLog(m_folder, [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &padding] {
        for (int n = 0; n < kLines; ++n) {
          LogMessage(0, kLogWarning, "thread %d line %d %s end", t, n, padding.c_str());
        }
      });
    }
    for (auto& thread : threads) {
      thread.join();
    }
  });
  std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kLines, 0));
  std::istringstream log(ReadLog(m_folder));
  int count = 0;
  for (std::string line; std::getline(log, line); ++count) {
    int t = -1;
    int n = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "Warning: thread %d line %d", &t, &n), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads && n >= 0 && n < kLines) << line;
    ASSERT_EQ(line, "Warning: thread " + std::to_string(t) + " line " + std::to_string(n) + " " +
                        padding + " end");
    ++seen[t][n];
  }
  EXPECT_EQ(count, kThreads * kLines);
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kLines; ++n) {
      ASSERT_EQ(seen[t][n], 1) << "thread " << t << " line " << n;
    }
  }
}

// Counts boxes that overlapped or ran without the shared message-box lock held.
class BoxChecker : public LogUserInterface {
 public:
  void ShowStatus(const std::string&) override {}
  void ShowMessageBox(const std::string&) override {
    if (m_inside.fetch_add(1) != 0) {
      ++m_overlaps;
    }
    bool lockFree = false;
    std::thread([&lockFree] {
      if (MessageBoxLock().try_lock()) {
        lockFree = true;
        MessageBoxLock().unlock();
      }
    }).join();
    m_unguarded += lockFree ? 1 : 0;
    std::this_thread::yield();
    m_inside.fetch_sub(1);
    ++m_boxes;
  }
  std::string Summary() const {
    return "boxes " + std::to_string(m_boxes) + " overlaps " + std::to_string(m_overlaps) +
           " unguarded " + std::to_string(m_unguarded);
  }

 private:
  std::atomic<int> m_inside{0};
  std::atomic<int> m_overlaps{0};
  std::atomic<int> m_unguarded{0};
  std::atomic<int> m_boxes{0};
};

TEST_F(LogTest, MessageBoxesTakeTurnsUnderTheSharedLock) {
  RunWithLog(m_folder, [this] {
    BoxChecker boxes;
    SetLogUserInterface(&boxes);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int n = 0; n < 50; ++n) {
          LogMessage(kLogMessageBox, kLogNotice, "box %d", n);
        }
      });
    }
    for (auto& thread : threads) {
      thread.join();
    }
    SetLogUserInterface(nullptr);
    test::WriteFileBytes(m_folder.File("events"), boxes.Summary());
  });
  EXPECT_EQ(ReadEvents(m_folder), "boxes 200 overlaps 0 unguarded 0");
}

TEST_F(LogTest, WithNothingRegisteredOnlyTheLogIsWritten) {
  RunWithLog(m_folder, [] {
    SetLogUserInterface(nullptr);
    SetAlertSender(nullptr);
    LogMessage(kLogStatusBar | kLogMessageBox | kLogAlert, kLogError, "alone");
  });
  EXPECT_EQ(ReadLog(m_folder), "Error: alone\n");
}

TEST_F(LogTest, UnopenableLogLeavesStandardErrorAlone) {
  const std::string missing = m_folder.File("missing/folder");
  EXPECT_EXIT(
      {
        bool opened = OpenLog(missing);
        LogMessage(0, kLogPlain, "opened %d", opened ? 1 : 0);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "Error: Cannot open log file .*missing.*\nopened 0\n");
}

}  // namespace
}  // namespace tulix
