// A cpp-httplib server for tests, on 127.0.0.1 and a port the system picks, running on a thread
// of its own from Start() until the object goes. LoopbackServer speaks plain http;
// TlsLoopbackServer (tls_loopback_server.h) is the same over TLS.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace tulix::test {

template <class ServerType>
class BasicLoopbackServer {
 public:
  // The arguments go to the cpp-httplib server.
  template <class... Args>
  explicit BasicLoopbackServer(Args&&... args) : m_server(std::forward<Args>(args)...) {
    // Without no-delay every kept-alive request waits about 44 ms for the delayed ACK.
    m_server.set_tcp_nodelay(true);
    m_server.set_keep_alive_max_count(100);
    m_server.set_read_timeout(5, 0);
    m_server.set_write_timeout(5, 0);
  }
  ~BasicLoopbackServer() {
    m_server.stop();
    if (m_thread.joinable()) {
      m_thread.join();
    }
  }
  BasicLoopbackServer(const BasicLoopbackServer&) = delete;
  BasicLoopbackServer& operator=(const BasicLoopbackServer&) = delete;

  ServerType& operator*() { return m_server; }
  ServerType* operator->() { return &m_server; }

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
  // The server's address with `object` (which starts with "/") appended.
  std::string Address(const std::string& object) const { return Url("127.0.0.1", object); }
  // The same with the host name "localhost", which resolves to 127.0.0.1, the only address the
  // server listens on.
  std::string AddressByName(const std::string& object) const { return Url("localhost", object); }

 private:
  static constexpr bool kTls = std::is_base_of_v<httplib::SSLServer, ServerType>;

  std::string Url(const std::string& host, const std::string& object) const {
    return std::string(kTls ? "https://" : "http://") + host + ":" + std::to_string(m_port) +
           object;
  }

  ServerType m_server;
  std::thread m_thread;
  int m_port = 0;
};

using LoopbackServer = BasicLoopbackServer<httplib::Server>;

}  // namespace tulix::test
