// Jobs started and finished per second through the whole job path: the timer's choice and start,
// the run queue, the dispatcher, a pooled worker, the finished and released messages, and the
// deletion of the job. The tick and the dispatcher's pause are set to zero, so what is measured
// is the machinery itself, not the rates the program normally keeps (one start per 500 ms tick,
// one dequeue per second).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "base/application.h"
#include "jobs/job.h"
#include "jobs/job_manager.h"
#include "jobs/job_system.h"
#include "jobs/thread_pool.h"
#include "platform/event_loop.h"

namespace tulix {
namespace {

// A job that does nothing but report success.
class EmptyJob : public CJob {
 public:
  int Start(WindowHandle notifyWindow) override {
    SetNotifyWindow(notifyWindow);
    Init(&Run);
    Submit();
    return 1;
  }

 private:
  static void Run(CJob& job) {
    job.CheckStop();
    job.PostFinished(kResultSuccess);
  }
};

void BM_JobsThroughTheWholePath(benchmark::State& state) {
  const int maxTasks = static_cast<int>(state.range(0));
  constexpr int kJobsPerRound = 500;

  std::string folder = (std::filesystem::temp_directory_path() / "tulix-bench-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    state.SkipWithError("cannot make a temporary folder");
    return;
  }
  {
    TulixApplication app(folder, folder + "/registry.db");
    ScopedApplication scope(app);
    app.settings().MaxTasks = maxTasks;
    StdEventLoop loop;
    JobSystemOptions options;
    options.manager.firstTickMs = 0;
    options.manager.tickMs = 0;
    options.dispatcherPause = std::chrono::milliseconds(0);
    StartJobSystem(app, loop, options);
    CJobManager& manager = *app.jobManager;
    manager.StartTimer();

    for (auto _ : state) {
      for (int i = 0; i < kJobsPerRound; ++i) {
        manager.AddJob(std::make_shared<EmptyJob>());
      }
      if (!loop.RunUntil([&] { return manager.JobCount() == 0; }, std::chrono::seconds(60))) {
        state.SkipWithError("jobs did not finish within a minute");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations() * kJobsPerRound);
    state.counters["workers"] = app.threadPool->all().Count();
    StopJobSystem(app);
  }
  std::filesystem::remove_all(folder);
}

BENCHMARK(BM_JobsThroughTheWholePath)
    ->Arg(3)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tulix

BENCHMARK_MAIN();
