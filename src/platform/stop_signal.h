// Orderly ending of a long-running command-line program on SIGINT or SIGTERM.
//
// BlockStopSignals must run on the main thread before any other thread starts, so every thread
// inherits the blocked mask and the signals stay pending until WaitForStopSignal takes one. The
// program's threads then never see the signal in the middle of their work, and the waiting
// thread may do anything afterwards (a signal handler could only set a flag).
//
// Thread safety: call both from the main thread.
#pragma once

namespace tulix {

// Blocks SIGINT and SIGTERM for the calling thread and the threads it starts later.
void BlockStopSignals();

// Waits until SIGINT or SIGTERM arrives and returns its number.
int WaitForStopSignal();

// Takes a pending SIGINT or SIGTERM without waiting and returns its number; 0 when none is
// pending. For programs that look for the signal between rounds of their own loop.
int TakePendingStopSignal();

}  // namespace tulix
