// Builds and tears down the job machinery of an application object: the run queue (with the
// orphan list and the exiting flag), the worker pool, the job manager with its window on an event
// loop, and the dispatcher thread. The program, the library, the command-line tools, the tests and
// the benchmarks all build it through here.
//
// Thread safety: both calls run on the thread that runs the loop (the main thread), the first
// before any job is added and the second after the loop has stopped delivering job messages.
#pragma once

#include <chrono>

#include "jobs/job_manager.h"

namespace tulix {

class EventLoop;
class TulixApplication;

struct JobSystemOptions {
  JobManagerOptions manager;
  // The dispatcher's pause after each job it takes off the run queue.
  std::chrono::milliseconds dispatcherPause{1000};
  // Without the thread, the caller dispatches by hand (Dispatcher::DispatchOne).
  bool startDispatcher = true;
};

// Fills app.runQueue, app.threadPool, app.jobManager and app.dispatcher, in that order, and
// starts the dispatcher thread. The job manager's timer is left to the caller (StartTimer).
void StartJobSystem(TulixApplication& app, EventLoop& loop, const JobSystemOptions& options = {});

// Sets the exiting flag, waits for the dispatcher, ends every worker and waits for its thread,
// then drops the dispatcher, the job manager (and with it the jobs), the pool and the run queue.
// A work routine still running is ended at its next CheckStop, report or abortable wait
// (AbortableWait); one blocked elsewhere holds this call up until it gets there.
void StopJobSystem(TulixApplication& app);

}  // namespace tulix
