// The TLS test servers and certificates, checked with libcurl alone so that a fault in them is not
// mistaken for one in our http layer: the good certificate is accepted under both of its names,
// and each bad one is refused for its own reason.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "test_support.h"
#include "tls_certificates.h"
#include "tls_loopback_server.h"

namespace tulix {
namespace {

struct Outcome {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::string error;  // libcurl's error text
};

size_t Append(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

// A GET that trusts nothing but `caFile`, checks the peer and its name, and uses no proxy.
// "localhost" is pinned to 127.0.0.1 so the request never tries another address.
Outcome Fetch(const std::string& url, uint16_t port, const std::string& caFile) {
  Outcome outcome;
  char error[CURL_ERROR_SIZE] = "";
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    ADD_FAILURE() << "curl_easy_init failed";
    return outcome;
  }
  curl_slist* resolve =
      curl_slist_append(nullptr, ("localhost:" + std::to_string(port) + ":127.0.0.1").c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  // Without this the system's authorities would be trusted as well.
  curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &outcome.body);
  outcome.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.status);
  outcome.error = error;
  curl_easy_cleanup(curl);
  curl_slist_free_all(resolve);
  return outcome;
}

void ServeHello(test::TlsLoopbackServer& server) {
  server->Get("/hello", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("hello from " + req.remote_addr, "text/plain");
  });
  server.Start();
}

TEST(TlsLoopback, GoodCertificateIsTrustedAndMistakesFailLoudly) {
  test::ScopedNoProxy noProxy;
  const auto& certificates = test::TestCertificates::Shared();
  test::TlsLoopbackServer server(certificates.Good());
  ServeHello(server);
  EXPECT_EQ(server.Address("/hello"),
            "https://127.0.0.1:" + std::to_string(server.Port()) + "/hello");

  for (const std::string& url : {server.Address("/hello"), server.AddressByName("/hello")}) {
    SCOPED_TRACE(url);
    const Outcome outcome = Fetch(url, server.Port(), certificates.CaFile());
    EXPECT_EQ(outcome.code, CURLE_OK) << outcome.error;
    EXPECT_EQ(outcome.status, 200);
    EXPECT_EQ(outcome.body, "hello from 127.0.0.1");
  }

  // A key that does not belong to the certificate stops the test at once, not at the first
  // handshake.
  EXPECT_THROW(
      test::TlsLoopbackServer({certificates.Good().certificate, certificates.SelfSigned().key}),
      std::runtime_error);
  // A set that cannot be written says so instead of leaving tests with missing files.
  try {
    test::TestCertificates("/nonexistent-tulix-folder");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-tulix-folder/ca.pem"), std::string::npos)
        << e.what();
  }
}

TEST(TlsLoopback, BadCertificatesAreRefusedWithTheReason) {
  test::ScopedNoProxy noProxy;
  const auto& certificates = test::TestCertificates::Shared();
  struct Case {
    const char* what;
    const test::CertificateFiles& files;
    bool byName;
    std::string reason;
  };
  const Case cases[] = {
      {"wrong name, by address", certificates.WrongName(), false,
       "no alternative certificate subject name matches target host name '127.0.0.1'"},
      {"wrong name, by name", certificates.WrongName(), true,
       "no alternative certificate subject name matches target host name 'localhost'"},
      {"expired", certificates.Expired(), true, "certificate has expired"},
      {"self-signed", certificates.SelfSigned(), true, "self-signed certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TlsLoopbackServer server(c.files);
    ServeHello(server);
    const std::string url = c.byName ? server.AddressByName("/hello") : server.Address("/hello");
    const Outcome outcome = Fetch(url, server.Port(), certificates.CaFile());
    EXPECT_EQ(outcome.code, CURLE_PEER_FAILED_VERIFICATION) << curl_easy_strerror(outcome.code);
    EXPECT_NE(outcome.error.find(c.reason), std::string::npos) << outcome.error;
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.body, "");
  }
}

}  // namespace
}  // namespace tulix
