// A loopback HTTP server for tests that must see requests exactly as they arrived on the wire
// (request line, every header line in order, body) and that must answer with responses no
// well-behaved server library would send: broken status lines, huge header lines, bad chunk
// sizes, bodies cut off by a close or a reset, answers trickled or endless, no answer at all.
//
// The server listens on 127.0.0.1 on a port the system picks. Each connection runs on a thread
// of its own and may carry several requests (keep-alive); every complete request is recorded
// and handed to the handler, whose reply bytes are sent as they are.
//
// Ownership: the server owns its sockets and threads; the destructor closes every connection,
// releases replies that hang, and joins the threads.
// Thread safety: the accessors may be called from any thread while the server runs. The
// handler runs on the connection threads, possibly on several at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tulix::test {

struct WireRequest {
  std::string requestLine;               // "GET /x HTTP/1.1", without the line end
  std::vector<std::string> headerLines;  // each header line as received, without the line end
  std::string body;                      // Content-Length bytes after the blank line
  std::string raw;                       // everything as received, head and body

  // The value of the first header of that name (case ignored), trimmed; "" when absent.
  std::string Header(std::string_view name) const;
};

struct WireReply {
  std::string bytes;   // sent exactly as given
  bool close = false;  // close the connection once the bytes are out
  bool hang = false;   // then neither answer nor close until the server stops
  // Close with a reset (RST) instead of an orderly close once the bytes are out.
  bool reset = false;
  // After `bytes`, each piece `more` returns is sent, `pace` after the one before, until it
  // returns "", a send fails (the client went) or the server stops. Runs on the connection's
  // thread; `close`, `hang` and `reset` apply afterwards.
  std::function<std::string()> more = {};
  std::chrono::milliseconds pace{0};
};

// Gets each request and its number (0 for the first the server received).
using WireHandler = std::function<WireReply(const WireRequest& request, size_t index)>;

// A complete response: status line, the given header lines, Content-Length, a blank line and
// the body. With `close`, a "Connection: close" line too and the connection is closed.
WireReply HttpReply(int status, std::string_view body, std::vector<std::string> headers = {},
                    bool close = false);

class WireServer {
 public:
  explicit WireServer(WireHandler handler);
  ~WireServer();
  WireServer(const WireServer&) = delete;
  WireServer& operator=(const WireServer&) = delete;

  uint16_t Port() const { return m_port; }

  std::vector<WireRequest> Requests() const;
  size_t RequestCount() const;
  // Waits until `count` requests have arrived; false when they did not within `deadline`.
  bool WaitForRequests(size_t count,
                       std::chrono::milliseconds deadline = std::chrono::seconds(20)) const;

 private:
  void AcceptLoop();
  void Serve(int fd);
  bool SendAll(int fd, std::string_view bytes);
  // Sends what reply.more gives; false when a send failed or the server is stopping.
  bool SendMore(int fd, const WireReply& reply);

  WireHandler m_handler;
  int m_listenFd = -1;
  uint16_t m_port = 0;
  std::thread m_acceptThread;

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;  // a request arrived, or the server is stopping
  bool m_stopping = false;                    // guarded by m_mutex
  std::vector<int> m_connections;             // open connection sockets; guarded by m_mutex
  std::vector<std::thread> m_threads;         // guarded by m_mutex
  std::vector<WireRequest> m_requests;        // guarded by m_mutex
};

}  // namespace tulix::test
