#include "wire_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace tulix::test {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    default:
      return "Status";
  }
}

}  // namespace

std::string WireRequest::Header(std::string_view name) const {
  for (const std::string& line : headerLines) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && EqualNoCase(Trim(line.substr(0, colon)), name)) {
      return std::string(Trim(std::string_view(line).substr(colon + 1)));
    }
  }
  return {};
}

WireReply HttpReply(int status, std::string_view body, std::vector<std::string> headers,
                    bool close) {
  std::string bytes = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  for (const std::string& line : headers) {
    bytes += line + "\r\n";
  }
  if (close) {
    bytes += "Connection: close\r\n";
  }
  bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  bytes += body;
  WireReply reply;
  reply.bytes = std::move(bytes);
  reply.close = close;
  return reply;
}

WireServer::WireServer(WireHandler handler) : m_handler(std::move(handler)) {
  m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listenFd < 0) {
    throw std::runtime_error("wire server: no socket");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_listenFd, 64) != 0 ||
      ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(m_listenFd);
    throw std::runtime_error("wire server: cannot listen");
  }
  m_port = ntohs(address.sin_port);
  m_acceptThread = std::thread([this] { AcceptLoop(); });
}

WireServer::~WireServer() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    // Shutting a socket down wakes a thread blocked in accept or recv on it.
    ::shutdown(m_listenFd, SHUT_RDWR);
    for (int fd : m_connections) {
      ::shutdown(fd, SHUT_RDWR);
    }
    m_changed.notify_all();
  }
  m_acceptThread.join();
  {
    std::lock_guard lock(m_mutex);
    threads.swap(m_threads);
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  ::close(m_listenFd);
}

std::vector<WireRequest> WireServer::Requests() const {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

size_t WireServer::RequestCount() const {
  std::lock_guard lock(m_mutex);
  return m_requests.size();
}

bool WireServer::WaitForRequests(size_t count, std::chrono::milliseconds deadline) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, deadline, [&] { return m_requests.size() >= count; });
}

void WireServer::AcceptLoop() {
  for (;;) {
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard lock(m_mutex);
    if (m_stopping) {
      if (fd >= 0) {
        ::close(fd);
      }
      return;
    }
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_connections.push_back(fd);
    m_threads.emplace_back([this, fd] { Serve(fd); });
  }
}

bool WireServer::SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool WireServer::SendMore(int fd, const WireReply& reply) {
  if (!reply.more) {
    return true;
  }
  for (;;) {
    {
      std::unique_lock lock(m_mutex);
      if (m_changed.wait_for(lock, reply.pace, [&] { return m_stopping; })) {
        return false;
      }
    }
    const std::string piece = reply.more();
    if (piece.empty()) {
      return true;
    }
    if (!SendAll(fd, piece)) {
      return false;
    }
  }
}

void WireServer::Serve(int fd) {
  std::string buffer;
  char chunk[16384];
  bool open = true;
  while (open) {
    // One request: the head up to the blank line, then Content-Length bytes of body.
    size_t headEnd = std::string::npos;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        open = false;
        break;
      }
      buffer.append(chunk, static_cast<size_t>(got));
    }
    if (!open) {
      break;
    }
    WireRequest request;
    std::string_view head(buffer.data(), headEnd);
    size_t lineEnd = head.find("\r\n");
    request.requestLine = std::string(head.substr(0, lineEnd));
    while (lineEnd != std::string_view::npos) {
      const size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      request.headerLines.emplace_back(head.substr(
          start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start));
    }
    const size_t bodyLength = std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
    const size_t total = headEnd + 4 + bodyLength;
    while (buffer.size() < total) {
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        open = false;
        break;
      }
      buffer.append(chunk, static_cast<size_t>(got));
    }
    if (!open) {
      break;
    }
    request.body = buffer.substr(headEnd + 4, bodyLength);
    request.raw = buffer.substr(0, total);
    buffer.erase(0, total);

    size_t index = 0;
    {
      std::lock_guard lock(m_mutex);
      index = m_requests.size();
      m_requests.push_back(request);
      m_changed.notify_all();
    }
    const WireReply reply = m_handler(request, index);
    const bool sent = SendAll(fd, reply.bytes) && SendMore(fd, reply);
    if (reply.reset) {
      // A zero linger time makes the close below send a reset instead of a FIN.
      const linger abort{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      break;
    }
    if (!sent || reply.close) {
      break;
    }
    if (reply.hang) {
      std::unique_lock lock(m_mutex);
      m_changed.wait(lock, [&] { return m_stopping; });
      break;
    }
  }
  std::lock_guard lock(m_mutex);
  m_connections.erase(std::find(m_connections.begin(), m_connections.end(), fd));
  ::close(fd);
}

}  // namespace tulix::test
