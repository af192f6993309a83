// A scripted TCP server for tests: it listens on 127.0.0.1 at a port the system picks, accepts
// one connection and plays a script on it, line by line, plain or after a TLS handshake of its
// own. For the replies a real server never sends.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "tls_certificates.h"

namespace tulix::test {

// The server's side of one accepted connection, blocking, with a receive limit so that a client
// that goes quiet cannot hang the test.
class Peer {
 public:
  Peer(int fd, std::string address) : m_fd(fd), m_address(std::move(address)) {
    timeval limit{10, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  }
  ~Peer() {
    if (m_ssl != nullptr) {
      SSL_shutdown(m_ssl);
      SSL_free(m_ssl);
    }
    ::close(m_fd);
  }

  const std::string& Address() const { return m_address; }

  // The server's half of a TLS handshake, presenting `files`. False when the client refused.
  bool AcceptTls(const CertificateFiles& files) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(context, files.certificate.c_str());
    SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM);
    m_ssl = SSL_new(context);
    SSL_CTX_free(context);
    SSL_set_fd(m_ssl, m_fd);
    return SSL_accept(m_ssl) == 1;
  }

  // One line without its end; "" when the client closed or went quiet.
  std::string ReadLine() {
    std::string line;
    char c = 0;
    while (Read(&c) && c != '\n') {
      line += c;
    }
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    return line;
  }

  // Reads whatever comes until the client closes (or goes quiet for the receive limit).
  void WaitForClose() {
    char c = 0;
    while (Read(&c)) {
    }
  }

  void Write(const std::string& text) {
    if (m_ssl != nullptr) {
      SSL_write(m_ssl, text.data(), static_cast<int>(text.size()));
    } else {
      (void)::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
  }

 private:
  bool Read(char* c) {
    return m_ssl != nullptr ? SSL_read(m_ssl, c, 1) == 1 : ::recv(m_fd, c, 1, 0) == 1;
  }

  int m_fd;
  std::string m_address;  // the client's, as the server sees it
  SSL* m_ssl = nullptr;
};

// Listens on 127.0.0.1 at a port the system picks and plays `script` on the first connection.
// The script's results are the test's to read after Join().
class ScriptServer {
 public:
  explicit ScriptServer(std::function<void(Peer&)> script) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listener, 1) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this, script = std::move(script)] { Serve(script); });
  }
  ~ScriptServer() {
    Join();
    ::close(m_listener);
  }

  uint16_t Port() const { return m_port; }
  void Join() {
    if (m_thread.joinable()) {
      m_thread.join();
    }
  }

 private:
  void Serve(const std::function<void(Peer&)>& script) {
    // A write to a client that has already hung up raises SIGPIPE for this thread only; blocked,
    // the write just fails.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    pollfd p{m_listener, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) {
      return;
    }
    sockaddr_in client{};
    socklen_t length = sizeof(client);
    const int fd = ::accept(m_listener, reinterpret_cast<sockaddr*>(&client), &length);
    if (fd < 0) {
      return;
    }
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &client.sin_addr, text, sizeof(text));
    Peer peer(fd, text);
    script(peer);
  }

  int m_listener = -1;
  uint16_t m_port = 0;
  std::thread m_thread;
};

}  // namespace tulix::test
