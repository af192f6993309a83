#include "update/update_fetch.h"

#include <optional>

#include "base/log.h"
#include "engine/current_request.h"
#include "engine/page_fetcher.h"
#include "platform/http.h"
#include "platform/url.h"
#include "update/upgrade_list.h"

namespace tulix {
namespace {

constexpr size_t kReadBlock = 1024;

struct OutOfTime {};
struct TooLarge {};
struct Refused {};

bool IsFollowedRedirect(int status) {
  return status == 301 || status == 302 || status == 303;
}

class UpdateFetch {
 public:
  UpdateFetch(size_t cap, UpdateClock::time_point deadline) : m_cap(cap), m_deadline(deadline) {}

  void Run(const UpdateServerAddress& server, const std::string& object, std::string& body) {
    int status = OpenAndSend(server.secure, server.host, server.port, object);
    if (status == 401) {
      if (m_http->PromptForCredentials() != kErrorInternetForceRetry) {
        throw Refused{};
      }
      status = m_http.Send();
    }
    if (IsFollowedRedirect(status)) {
      const std::optional<std::string> location = m_http->QueryResponseHeader("Location");
      ParsedUrl url;
      if (!location || !IsWebAddressToFollow(*location) || !ParseUrl(*location, &url)) {
        throw Refused{};
      }
      status = OpenAndSend(url.serviceType == kServiceHttps, url.server, url.port, url.object);
    }
    if (status != 200) {
      throw Refused{};
    }
    ReadBody(body);
  }

  // The network library's words for the failure that ended the fetch; "" when none.
  std::string FailureText() const { return m_http.IsOpen() ? m_http->FailureText() : ""; }

 private:
  void CheckTime() const {
    if (UpdateClock::now() >= m_deadline) {
      throw OutOfTime{};
    }
  }

  int OpenAndSend(bool secure, const std::string& host, uint16_t port,
                  const std::string& object) {
    CheckTime();
    // One byte past the cap is enough to tell a body that is too long.
    m_http.Open(GetSession(), "GET", secure, host, port, object, "", m_cap + 1);
    for (const char* line : kUpdateHeaderLines) {
      m_http->AddRequestHeaders(line, HeaderMode::kAddIfNew);
    }
    return m_http.Send();
  }

  void ReadBody(std::string& body) {
    body.clear();
    char block[kReadBlock];
    for (;;) {
      CheckTime();
      size_t read = 0;
      if (!m_http->Read(block, sizeof block, &read)) {
        throw InternetFailure{GetLastError()};
      }
      if (read == 0) {
        break;
      }
      body.append(block, read);
      if (body.size() > m_cap) {
        throw TooLarge{};
      }
    }
    // A body shorter than the server announced was cut off on the way.
    if (const auto length = m_http->QueryResponseHeader("Content-Length");
        length && *length != std::to_string(body.size())) {
      throw InternetFailure{kErrorInternetConnectionAborted};
    }
  }

  const size_t m_cap;
  const UpdateClock::time_point m_deadline;
  CurrentRequest m_http;
};

}  // namespace

UpdateFetchResult FetchFromUpdateServer(const std::string& object, size_t cap,
                                        UpdateClock::time_point deadline, std::string& body) {
  const std::string setting = UpdateServerSetting();
  const std::optional<UpdateServerAddress> server = ParseUpdateServer(setting);
  if (!server) {
    LogMessage(0, kLogError, "The update server \"%s\" is not a host or host:port",
               setting.c_str());
    return UpdateFetchResult::kFailed;
  }
  UpdateFetch fetch(cap, deadline);
  try {
    fetch.Run(*server, object, body);
    return UpdateFetchResult::kOk;
  } catch (const InternetFailure& failure) {
    if (IsSecureConnectionError(failure.error)) {
      LogMessage(0, kLogError, "Cannot make a secure connection to the update server %s (%s)",
                 server->host.c_str(), fetch.FailureText().c_str());
    }
  } catch (const Refused&) {
  } catch (const OutOfTime&) {
    return UpdateFetchResult::kOutOfTime;
  } catch (const TooLarge&) {
    return UpdateFetchResult::kTooLarge;
  }
  return UpdateFetchResult::kFailed;
}

}  // namespace tulix
