#include "tools/update_server/server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "definitions/safe_name.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tools/common/http_listener.h"
#include "tools/update_server/catalogue.h"
#include "tools/update_server/upgrade_list.h"

namespace tulix::update_server {

namespace {

constexpr const char kListPath[] = "/tulix/getupgradelist.php";
constexpr const char kFilePattern[] = "/tulix/categories/(.*)";

}  // namespace

struct UpdateServer::Impl {
  explicit Impl(ServerOptions serverOptions)
      : options(std::move(serverOptions)), listener(options.address, options.port) {}

  ServerOptions options;
  tools::HttpListener listener;

  Catalogue Current() const {
    return BuildCatalogue({options.folder, options.manifest, SystemClock().Now()});
  }

  // The catalogue that file requests consult. A download asks for one file after another, and
  // scanning the whole folder for each made a large upgrade cost the square of its file count;
  // a scan at most once a second is as current as the program can tell (stamps are seconds),
  // and lists are always answered from a fresh scan.
  std::shared_ptr<const Catalogue> Recent() const {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(recentLock);
    if (recent == nullptr || now - recentScanned >= std::chrono::seconds(1)) {
      recent = std::make_shared<const Catalogue>(Current());
      recentScanned = now;
    }
    return recent;
  }
  mutable std::mutex recentLock;
  mutable std::shared_ptr<const Catalogue> recent;              // guarded by recentLock
  mutable std::chrono::steady_clock::time_point recentScanned;  // guarded by recentLock

  void AnswerList(const httplib::Request& request, httplib::Response& response) const {
    const ListQuery query = ParseListQuery(request.target);
    response.set_content(BuildUpgradeList(Current(), query, options.notice), "text/plain");
  }

  void AnswerFile(const httplib::Request& request, httplib::Response& response) const {
    const std::string path = request.matches[1];
    if (!IsSafeRelativePath(path)) {
      response.status = 400;
      response.set_content("bad file name\n", "text/plain");
      return;
    }
    const std::shared_ptr<const Catalogue> catalogue = Recent();
    const CatalogueEntry* entry = catalogue->FindFile(path);
    std::optional<std::string> bytes;
    if (entry != nullptr) {
      bytes = ReadWholeFile(JoinPath(options.folder, entry->Path()));
    }
    if (!bytes) {
      response.status = 404;
      response.set_content("no such file\n", "text/plain");
      return;
    }
    response.set_content(std::move(*bytes), "application/octet-stream");
  }
};

UpdateServer::UpdateServer(ServerOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {
  httplib::Server& http = m_impl->listener.http();
  // Without no-delay every kept-alive request waits for the delayed acknowledgement; a full
  // download asks for hundreds of files on one connection.
  http.set_tcp_nodelay(true);
  http.set_keep_alive_max_count(1000);
  // A stop waits for idle kept-alive connections to time out; the program asks for its files
  // back to back, so a short idle time costs it nothing and keeps a stop quick.
  http.set_keep_alive_timeout(1);
  http.set_read_timeout(30, 0);
  http.set_write_timeout(30, 0);
  http.set_payload_max_length(64 * 1024);
  Impl* impl = m_impl.get();
  http.Get(kListPath, [impl](const httplib::Request& request, httplib::Response& response) {
    impl->AnswerList(request, response);
  });
  http.Get(kFilePattern, [impl](const httplib::Request& request, httplib::Response& response) {
    impl->AnswerFile(request, response);
  });
}

UpdateServer::~UpdateServer() = default;

int UpdateServer::Bind() {
  return m_impl->listener.Bind();
}

bool UpdateServer::Run() {
  return m_impl->listener.Run();
}

void UpdateServer::Stop() {
  m_impl->listener.Stop();
}

}  // namespace tulix::update_server
