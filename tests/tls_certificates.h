// Certificates for tests that talk TLS to a server on 127.0.0.1: a throw-away certificate
// authority and server certificates it signed (or did not), made at run time so no private key is
// ever checked in. Everything is written as PEM files into a folder the caller owns.
//
// Making keys takes a noticeable moment, so tests normally share the one set that Shared() makes
// for the whole test program. A made set never changes, so any thread may read it.
#pragma once

#include <string>

namespace tulix::test {

// The PEM files of a server: its certificate and its unencrypted private key.
struct CertificateFiles {
  std::string certificate;
  std::string key;
};

class TestCertificates {
 public:
  // Makes every key and certificate and writes them into `folder`, which must exist and stay
  // as long as the files are used. Throws std::runtime_error, with OpenSSL's own error text,
  // when anything cannot be made or written.
  explicit TestCertificates(const std::string& folder);

  // One set for the whole test program, made on first use in a folder of its own that is removed
  // when the program ends. Throws as the constructor does (on every call, if the first failed).
  static const TestCertificates& Shared();

  // The authority's certificate: the only one a client should trust.
  const std::string& CaFile() const { return m_caFile; }

  // Signed by the authority, valid now, for DNS:localhost and IP:127.0.0.1.
  const CertificateFiles& Good() const { return m_good; }
  // Signed by the authority and valid now, but only for DNS:other.invalid.
  const CertificateFiles& WrongName() const { return m_wrongName; }
  // Signed by the authority for localhost and 127.0.0.1, but it ran out a day ago.
  const CertificateFiles& Expired() const { return m_expired; }
  // Valid now for localhost and 127.0.0.1, but signed by its own key, not the authority's.
  const CertificateFiles& SelfSigned() const { return m_selfSigned; }

 private:
  std::string m_caFile;
  CertificateFiles m_good;
  CertificateFiles m_wrongName;
  CertificateFiles m_expired;
  CertificateFiles m_selfSigned;
};

}  // namespace tulix::test
