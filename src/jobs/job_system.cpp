#include "jobs/job_system.h"

#include "base/application.h"
#include "jobs/dispatcher.h"
#include "jobs/run_queue.h"
#include "jobs/thread_pool.h"

namespace tulix {

void StartJobSystem(TulixApplication& app, EventLoop& loop, const JobSystemOptions& options) {
  app.runQueue = std::make_shared<RunQueue>();
  app.threadPool = std::make_shared<CThreadPool>(app.runQueue->ExitingFlag());
  app.jobManager =
      std::make_shared<CJobManager>(loop, *app.runQueue, *app.threadPool, options.manager);
  app.dispatcher = std::make_shared<Dispatcher>(*app.runQueue, *app.jobManager, *app.threadPool,
                                                options.dispatcherPause);
  if (options.startDispatcher) {
    app.dispatcher->Start();
  }
}

void StopJobSystem(TulixApplication& app) {
  if (app.runQueue) {
    app.runQueue->SetExiting();
  }
  if (app.dispatcher) {
    app.dispatcher->Join();
  }
  // Workers go before the manager, so that no job is still running when the list is dropped.
  if (app.threadPool) {
    app.threadPool->Shutdown();
  }
  app.dispatcher.reset();
  app.jobManager.reset();
  app.threadPool.reset();
  app.runQueue.reset();
}

}  // namespace tulix
