#include "tls_certificates.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "temp_folder.h"

namespace tulix::test {
namespace {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* object) const {
    Free(object);
  }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, FreeWith<X509_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION_free>>;
using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;

constexpr long kHour = 60 * 60;
constexpr long kDay = 24 * kHour;

// Throws with what we were doing and every message OpenSSL has queued on this thread.
[[noreturn]] void Fail(const std::string& what) {
  std::string text = what;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  throw std::runtime_error(text);
}

// OpenSSL's calls answer 1 (or some other positive count) on success.
void Check(int result, const std::string& what) {
  if (result <= 0) {
    Fail(what);
  }
}

template <class T>
T* Check(T* result, const std::string& what) {
  if (result == nullptr) {
    Fail(what);
  }
  return result;
}

KeyPtr NewKey() {
  // P-256 rather than RSA: a key takes a fraction of a millisecond instead of tenths of a second.
  return KeyPtr(Check(EVP_EC_gen("P-256"), "cannot make a P-256 key"));
}

// What goes into one certificate besides its keys.
struct Profile {
  std::string commonName;
  long notBefore = 0;  // seconds from now
  long notAfter = 0;
  // In order: the authority key identifier is looked up from the subject key identifier of the
  // issuer, so for a certificate that signs itself that one has to be there first.
  std::vector<std::pair<int, std::string>> extensions;
};

Profile AuthorityProfile() {
  return {"Tulix test authority",
          -kHour,
          2 * kDay,
          {{NID_basic_constraints, "critical,CA:TRUE"},
           {NID_key_usage, "critical,keyCertSign,cRLSign"},
           {NID_subject_key_identifier, "hash"},
           {NID_authority_key_identifier, "keyid:always"}}};
}

Profile ServerProfile(const std::string& commonName, const std::string& altNames, long notBefore,
                      long notAfter) {
  return {commonName,
          notBefore,
          notAfter,
          {{NID_basic_constraints, "critical,CA:FALSE"},
           {NID_ext_key_usage, "serverAuth"},
           {NID_subject_alt_name, altNames},
           {NID_subject_key_identifier, "hash"},
           {NID_authority_key_identifier, "keyid:always"}}};
}

void AddExtensions(X509* certificate, X509* issuer, EVP_PKEY* issuerKey, const Profile& profile) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  Check(X509V3_set_issuer_pkey(&context, issuerKey), "cannot set the issuer's key");
  for (const auto& [nid, value] : profile.extensions) {
    const std::string what =
        std::string("cannot make the extension ") + OBJ_nid2sn(nid) + "=" + value;
    ExtensionPtr extension(
        Check(X509V3_EXT_nconf_nid(nullptr, &context, nid, value.c_str()), what));
    Check(X509_add_ext(certificate, extension.get(), -1), what);
  }
}

// A certificate for `key`, signed by `issuer` with `issuerKey`; with no issuer it signs itself.
CertificatePtr MakeCertificate(const Profile& profile, EVP_PKEY* key, X509* issuer,
                               EVP_PKEY* issuerKey, long serial) {
  CertificatePtr certificate(Check(X509_new(), "cannot make a certificate"));
  X509* cert = certificate.get();
  if (issuer == nullptr) {
    issuer = cert;
    issuerKey = key;
  }
  Check(X509_set_version(cert, X509_VERSION_3), "cannot set the version");
  Check(ASN1_INTEGER_set(X509_get_serialNumber(cert), serial), "cannot set the serial number");
  Check(X509_gmtime_adj(X509_getm_notBefore(cert), profile.notBefore), "cannot set notBefore");
  Check(X509_gmtime_adj(X509_getm_notAfter(cert), profile.notAfter), "cannot set notAfter");
  X509_NAME* subject = X509_get_subject_name(cert);
  Check(X509_NAME_add_entry_by_txt(
            subject, "CN", MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(profile.commonName.c_str()), -1, -1, 0),
        "cannot set the common name");
  Check(X509_set_issuer_name(cert, X509_get_subject_name(issuer)), "cannot set the issuer");
  Check(X509_set_pubkey(cert, key), "cannot set the public key");
  AddExtensions(cert, issuer, issuerKey, profile);
  Check(X509_sign(cert, issuerKey, EVP_sha256()), "cannot sign the certificate");
  return certificate;
}

BioPtr OpenForWriting(const std::string& path) {
  return BioPtr(Check(BIO_new_file(path.c_str(), "w"), "cannot create " + path));
}

void WriteCertificate(const std::string& path, X509* certificate) {
  const BioPtr out = OpenForWriting(path);
  Check(PEM_write_bio_X509(out.get(), certificate), "cannot write " + path);
}

void WriteKey(const std::string& path, EVP_PKEY* key) {
  const BioPtr out = OpenForWriting(path);
  Check(PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr),
        "cannot write " + path);
}

// Makes a key and a certificate for it and writes both as `name`.pem and `name`-key.pem.
CertificateFiles WriteServer(const std::string& folder, const std::string& name,
                             const Profile& profile, X509* issuer, EVP_PKEY* issuerKey,
                             long serial) {
  const KeyPtr key = NewKey();
  const CertificatePtr certificate = MakeCertificate(profile, key.get(), issuer, issuerKey, serial);
  CertificateFiles files{folder + "/" + name + ".pem", folder + "/" + name + "-key.pem"};
  WriteCertificate(files.certificate, certificate.get());
  WriteKey(files.key, key.get());
  return files;
}

}  // namespace

TestCertificates::TestCertificates(const std::string& folder) {
  // Leftovers of some earlier failure must not end up in our error text.
  ERR_clear_error();
  const std::string kBothNames = "DNS:localhost,IP:127.0.0.1";

  const KeyPtr caKey = NewKey();
  const CertificatePtr ca = MakeCertificate(AuthorityProfile(), caKey.get(), nullptr, nullptr, 1);
  m_caFile = folder + "/ca.pem";
  WriteCertificate(m_caFile, ca.get());

  m_good = WriteServer(folder, "good", ServerProfile("localhost", kBothNames, -kHour, kDay),
                       ca.get(), caKey.get(), 2);
  m_wrongName = WriteServer(folder, "wrong-name",
                            ServerProfile("other.invalid", "DNS:other.invalid", -kHour, kDay),
                            ca.get(), caKey.get(), 3);
  m_expired =
      WriteServer(folder, "expired", ServerProfile("localhost", kBothNames, -2 * kDay, -kDay),
                  ca.get(), caKey.get(), 4);
  m_selfSigned =
      WriteServer(folder, "self-signed", ServerProfile("localhost", kBothNames, -kHour, kDay),
                  nullptr, nullptr, 5);
}

namespace {
// The temporary folder as the program started: some tests point TMPDIR into a folder of their
// own for a while, and the shared set must outlive them.
const std::string kStartupTemporaryFolder = std::filesystem::temp_directory_path().string();
}  // namespace

const TestCertificates& TestCertificates::Shared() {
  // Members are made in order, so the folder exists before anything is written into it.
  struct Set {
    TempFolder folder{kStartupTemporaryFolder};
    TestCertificates certificates{folder.path()};
  };
  static const Set set;
  return set.certificates;
}

}  // namespace tulix::test
