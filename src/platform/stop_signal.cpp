#include "platform/stop_signal.h"

#include <pthread.h>
#include <signal.h>

namespace tulix {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForStopSignal() {
  sigset_t set = StopSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal;
}

int TakePendingStopSignal() {
  const sigset_t set = StopSignals();
  const timespec now{0, 0};
  const int signal = sigtimedwait(&set, nullptr, &now);
  return signal > 0 ? signal : 0;
}

}  // namespace tulix
