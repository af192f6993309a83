// Helpers for the job tests: a gate a work routine can block on (and that a terminated worker
// is pulled out of), a job whose work the test controls, a recorder of status-bar log lines, and
// a fixture that builds a whole job system on a manual clock with ticks driven by hand.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "jobs/job.h"
#include "jobs/job_manager.h"
#include "jobs/job_system.h"
#include "jobs/run_queue.h"
#include "jobs/thread_pool.h"
#include "jobs/worker_thread.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "test_support.h"

namespace tulix::test {

// A one-way gate. Wait blocks until the gate is opened or, on a worker, until the worker is
// terminated (the way a network transfer is aborted).
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }
  // True when the gate was opened, false when the wait was aborted.
  bool Wait() {
    bool aborted = false;
    AbortableWait abortable([this, &aborted] {
      std::lock_guard<std::mutex> lock(m_mutex);
      aborted = true;
      m_changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_open || aborted; });
    return m_open;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_open = false;
};

// A job whose work routine runs `body`. The body returns the code the routine posts, or
// kNoPost when it posted (or must not post) itself; it may block, raise or call CheckStop.
class TestJob : public CJob {
 public:
  static constexpr int kNoPost = -1000;
  using Body = std::function<int(TestJob&)>;

  explicit TestJob(std::string name, Body body = {})
      : m_name(std::move(name)), m_body(std::move(body)) {}

  std::string GetName() const override { return m_name; }
  // startResult 1 queues the job as a real job does; 0 and 2 queue nothing.
  int Start(WindowHandle notifyWindow) override {
    if (startResult == 0) {
      return 0;
    }
    SetNotifyWindow(notifyWindow);
    Init(&TestJob::Routine);
    if (startResult == 1) {
      Submit();
    }
    return startResult;
  }
  void OnFinished(int code) override {
    finishedCodes.push_back(code);
    CJob::OnFinished(code);
  }
  bool IsRunnable() const override { return runnable; }
  int GetResultCount() const override { return 4; }
  int GetDesiredResultCount() const override { return 10; }

  void AttachWindow(WindowHandle window) { SetNotifyWindow(window); }
  std::vector<std::string> Statuses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_statuses;
  }
  std::string LastStatus() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_statuses.empty() ? std::string() : m_statuses.back();
  }

  Gate gate;
  std::atomic<int> entered{0};
  std::atomic<CWorkerThread*> ranOn{nullptr};
  std::vector<int> finishedCodes;  // main thread
  int startResult = 1;
  bool runnable = true;

 protected:
  void ShowStatusText(const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_statuses.push_back(text);
  }

 private:
  static void Routine(CJob& job) {
    auto& self = static_cast<TestJob&>(job);
    self.ranOn.store(CWorkerThread::Current());
    self.entered.fetch_add(1);
    const int code = self.m_body ? self.m_body(self) : kResultSuccess;
    if (code != kNoPost) {
      self.PostFinished(code);
    }
  }

  const std::string m_name;
  const Body m_body;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_statuses;
};

// Records the lines the log shows in the status bar and in message boxes.
class LogRecorder : public LogUserInterface {
 public:
  void ShowStatus(const std::string& line) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
  }
  void ShowMessageBox(const std::string& line) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back(line);
  }
  int Count(const std::string& line) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count(m_lines.begin(), m_lines.end(), line));
  }
  bool Has(const std::string& line) const { return Count(line) > 0; }
  int CountContaining(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(), [&](const auto& l) {
      return l.find(text) != std::string::npos;
    }));
  }
  std::vector<std::string> Boxes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
  std::vector<std::string> m_boxes;
};

// A fresh application with a job system on a manual clock. Ticks are driven by moving the clock
// and running the loop; the dispatcher runs without a pause.
class JobSystemTest : public TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scopedApp.emplace(*m_app);
    m_scopedClock.emplace(m_clock);
    SetLogUserInterface(&m_log);
  }

  void TearDown() override {
    StopJobSystem(*m_app);
    SetLogUserInterface(nullptr);
    m_scopedClock.reset();
    m_scopedApp.reset();
    m_app.reset();
    TulixTest::TearDown();
  }

  void StartSystem(int maxTasks, bool startDispatcher = true, bool startAllDue = false) {
    m_app->settings().MaxTasks = maxTasks;
    JobSystemOptions options;
    options.manager.startAllDue = startAllDue;
    options.dispatcherPause = std::chrono::milliseconds(0);
    options.startDispatcher = startDispatcher;
    StartJobSystem(*m_app, m_loop, options);
    manager().StartTimer();
  }

  CJobManager& manager() { return *m_app->jobManager; }
  CThreadPool& pool() { return *m_app->threadPool; }
  RunQueue& queue() { return *m_app->runQueue; }

  std::shared_ptr<TestJob> AddJob(const std::string& name, TestJob::Body body = {}) {
    auto job = std::make_shared<TestJob>(name, std::move(body));
    manager().AddJob(job);
    return job;
  }

  // The first tick comes 4000 ms after the timer started, then one every 500 ms.
  void FirstTick() {
    m_clock.AdvanceMs(4000);
    m_loop.ProcessPending();
  }
  void Tick(int count = 1) {
    for (int i = 0; i < count; ++i) {
      m_clock.AdvanceMs(500);
      m_loop.ProcessPending();
    }
  }
  // Ticks until the manager's tick counter is a multiple of `n`.
  void TickToMultipleOf(int n) {
    do {
      Tick();
    } while (manager().TickCount() % n != 0);
  }

  // Runs the loop (messages only: the clock stands still) until `done` or a generous deadline.
  bool WaitFor(const std::function<bool()>& done) {
    return m_loop.RunUntil(done, std::chrono::seconds(20));
  }

  // True when the next tick will start or choose a job, or nothing is left: a chosen job is
  // waiting, or a slot is free and a job that may be chosen waits for it.
  bool NextTickHasWork(int maxTasks) {
    if (manager().JobCount() == 0 || manager().Pending()) {
      return true;
    }
    if (manager().RunningCount() + manager().ReturningWorkers() >= maxTasks) {
      return false;
    }
    for (size_t i = 0; i < manager().JobCount(); ++i) {
      const auto job = manager().JobAt(i);
      if (!job->IsActive() && job->wait > job->waitThreshold && job->IsRunnable()) {
        return true;
      }
    }
    return false;
  }

  ManualClock m_clock;
  StdEventLoop m_loop;
  LogRecorder m_log;
  std::unique_ptr<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scopedApp;
  std::optional<ScopedClock> m_scopedClock;
};

}  // namespace tulix::test
