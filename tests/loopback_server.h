// A cpp-httplib server for tests, on 127.0.0.1 and a port the system picks, running on a thread
// of its own from Start() until the object goes.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <string>
#include <thread>

namespace tulix::test {

class LoopbackServer {
 public:
  LoopbackServer() {
    // Without no-delay every kept-alive request waits about 44 ms for the delayed ACK.
    m_server.set_tcp_nodelay(true);
    m_server.set_keep_alive_max_count(100);
    m_server.set_read_timeout(5, 0);
    m_server.set_write_timeout(5, 0);
  }
  ~LoopbackServer() {
    m_server.stop();
    if (m_thread.joinable()) {
      m_thread.join();
    }
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& operator*() { return m_server; }
  httplib::Server* operator->() { return &m_server; }

  // Call after the handlers are set.
  void Start() {
    m_port = m_server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    // A stop before the accept loop runs is lost and the loop would never end.
    while (!m_server.is_running()) {
      std::this_thread::yield();
    }
  }
  uint16_t Port() const { return static_cast<uint16_t>(m_port); }
  std::string Address(const std::string& object) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + object;
  }

 private:
  httplib::Server m_server;
  std::thread m_thread;
  int m_port = 0;
};

}  // namespace tulix::test
