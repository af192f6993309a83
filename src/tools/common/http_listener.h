// The listening side shared by the tools' HTTP servers (the update server, the demo engines):
// one httplib server on one address and port, with the request log, bound before it runs so
// that a port the system picks can be told to the caller, and stopped from another thread.
//
// Thread safety: Bind, then Run on a thread of its own; Stop from any other thread.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/stop_signal.h"

namespace tulix::tools {

class HttpListener {
 public:
  // Port 0 lets the system pick one. Every request is logged on standard error.
  HttpListener(std::string address, int port);

  httplib::Server& http() { return m_http; }

  // Binds the listening socket; returns the port, or -1 when the address cannot be bound.
  int Bind();
  // Answers requests until Stop; returns false when the server could not run.
  bool Run();
  // Ends Run. Waits for Run to have started, since a stop before that would be lost.
  void Stop();

 private:
  const std::string m_address;
  const int m_port;
  httplib::Server m_http;
  std::atomic<bool> m_runEnded{false};
};

// A tool's main loop: binds `server` (anything with Bind, Run and Stop), prints the port on
// standard output, calls `announce` with it, serves until SIGINT or SIGTERM (blocked before any
// thread started, BlockStopSignals) and stops. Returns the exit status.
template <typename Server, typename Announce>
int ServeUntilStopSignal(const char* tool, Server& server, const std::string& address,
                         int port, Announce announce) {
  const int bound = server.Bind();
  if (bound < 0) {
    std::fprintf(stderr, "%s: cannot listen on %s port %d\n", tool, address.c_str(), port);
    return 1;
  }
  std::fprintf(stdout, "%d\n", bound);
  std::fflush(stdout);
  announce(bound);
  bool ran = true;
  std::thread listener([&server, &ran] { ran = server.Run(); });
  const int signal = WaitForStopSignal();
  server.Stop();
  listener.join();
  std::fprintf(stderr, "%s: stopped by signal %d\n", tool, signal);
  return ran ? 0 : 1;
}

}  // namespace tulix::tools
