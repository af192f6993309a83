// One HTTP request of a multi-step fetch (a page with its redirects, an update list, an update
// file), held open while its body is read: while it is open, terminating the worker thread that
// runs the fetch aborts its transfer at once.
//
// Ownership: the object owns its request; the session must outlive it.
// Thread safety: used by one thread; only the abort hook runs on another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "jobs/worker_thread.h"
#include "platform/http.h"
#include "platform/last_error.h"

namespace tulix {

// A failed call of the HTTP layer, with the layer's error number.
struct InternetFailure {
  uint32_t error;
};

class CurrentRequest {
 public:
  CurrentRequest() = default;
  ~CurrentRequest() { Close(); }
  CurrentRequest(const CurrentRequest&) = delete;
  CurrentRequest& operator=(const CurrentRequest&) = delete;

  // Opens a request that is never answered from a cache, over TLS when `secure`. Nothing past
  // `bodyCap` bytes of the body is received. Raises InternetFailure when the layer refuses the
  // request.
  void Open(HttpSession& session, std::string_view verb, bool secure, std::string_view host,
            uint16_t port, std::string_view object, std::string_view referer, size_t bodyCap) {
    Close();
    m_request = session.OpenRequest(verb, host, port, object, referer,
                                    kHttpFlagReload | (secure ? kHttpFlagSecure : 0));
    if (m_request == nullptr) {
      throw InternetFailure{GetLastError()};
    }
    m_request->SetBodyCap(bodyCap);
    HttpRequest* request = m_request.get();
    m_abortable.emplace([request] { request->Abort(); });
  }

  void Close() {
    // The abort hook refers to the request, so it goes first.
    m_abortable.reset();
    m_request.reset();
  }

  bool IsOpen() const { return m_request != nullptr; }
  HttpRequest& operator*() const { return *m_request; }
  HttpRequest* operator->() const { return m_request.get(); }

  // Sends and returns the status; a network failure raises InternetFailure.
  int Send(std::string_view headers = {}, std::string_view body = {}) {
    if (!m_request->Send(headers, body)) {
      throw InternetFailure{GetLastError()};
    }
    return m_request->StatusCode();
  }

 private:
  std::unique_ptr<HttpRequest> m_request;
  std::optional<AbortableWait> m_abortable;
};

}  // namespace tulix
