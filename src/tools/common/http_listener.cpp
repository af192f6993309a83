#include "tools/common/http_listener.h"

#include <utility>

#include "tools/common/request_log.h"

namespace tulix::tools {

HttpListener::HttpListener(std::string address, int port)
    : m_address(std::move(address)), m_port(port) {
  m_http.set_logger(LogRequest);
}

int HttpListener::Bind() {
  if (m_port == 0) {
    return m_http.bind_to_any_port(m_address);
  }
  return m_http.bind_to_port(m_address, m_port) ? m_port : -1;
}

bool HttpListener::Run() {
  const bool ran = m_http.listen_after_bind();
  m_runEnded = true;
  return ran;
}

void HttpListener::Stop() {
  while (!m_http.is_running() && !m_runEnded) {
    std::this_thread::yield();
  }
  m_http.stop();
}

}  // namespace tulix::tools
