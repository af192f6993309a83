// LoopbackServer over TLS: an https server on 127.0.0.1 and a port the system picks, presenting
// the certificate it is given. Clients trust it only through TestCertificates::CaFile().
#pragma once

#include <stdexcept>

#include "loopback_server.h"
#include "tls_certificates.h"

namespace tulix::test {

class TlsLoopbackServer : public BasicLoopbackServer<httplib::SSLServer> {
 public:
  // Throws std::runtime_error when the server cannot load the certificate or its key.
  explicit TlsLoopbackServer(const CertificateFiles& files)
      : BasicLoopbackServer(files.certificate.c_str(), files.key.c_str()) {
    // A server without them refuses to bind, and the test would only see a port of -1; say why.
    if (!(*this)->is_valid()) {
      throw std::runtime_error("the TLS server cannot use " + files.certificate + " with " +
                               files.key);
    }
  }
};

}  // namespace tulix::test
