// The update server's HTTP side: answers the program's list request and file requests from the
// served folder, and writes one line per request to standard error.
//
// Every request builds the catalogue afresh, so a change of the folder or the manifest shows in
// the next answer. Only files the catalogue names are ever read, which keeps every request
// inside the served folder whatever its path says.
//
// Thread safety: the HTTP library answers requests on a pool of threads; they share only the
// options, which do not change once the server runs. Stop may be called from any thread.
#pragma once

#include <memory>
#include <string>

namespace tulix::update_server {

struct ServerOptions {
  std::string folder;    // the served folder
  std::string manifest;  // empty for none
  std::string address = "127.0.0.1";
  int port = 8080;  // 0 lets the system pick one
  int notice = 0;   // the first line of every list
};

class UpdateServer {
 public:
  explicit UpdateServer(ServerOptions options);
  ~UpdateServer();
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Binds the listening socket; returns the port, or -1 when the address cannot be bound.
  int Bind();
  // Answers requests until Stop; returns false when the server could not run.
  bool Run();
  // Ends Run. Waits for Run to have started, since a stop before that would be lost.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tulix::update_server
