// The session's reuse of transfer handles between requests, and its hook for new connections.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/http.h"
#include "wire_server.h"

namespace tulix {
namespace {

using test::HttpReply;
using test::WireReply;
using test::WireRequest;
using test::WireServer;

std::string ReadAll(HttpRequest& request) {
  std::string body;
  char piece[1024];
  size_t n = 0;
  while (request.Read(piece, sizeof piece, &n) && n > 0) {
    body.append(piece, n);
  }
  return body;
}

TEST(HttpSessionReuse, NothingOfAClosedRequestCarriesOverToTheNext) {
  unsetenv("http_proxy");
  WireServer server([](const WireRequest& request, size_t) {
    if (request.requestLine.starts_with("GET /hang ")) {
      WireReply reply;
      reply.hang = true;
      return reply;
    }
    return HttpReply(200, "body of " + request.requestLine);
  });
  HttpSession session("agent/1");
  session.SetCredentialsPrompt([](const std::string&, HttpCredentials& credentials) {
    credentials = {"u", "p"};
    return true;
  });
  int connections = 0;
  session.SetConnectedHook([&] { ++connections; });

  // A post with credentials, extra headers and a small cap, then an aborted request: each
  // leaves its handles behind for the next.
  {
    auto post = session.OpenRequest("POST", "127.0.0.1", server.Port(), "/form", "http://r/", 0);
    ASSERT_EQ(post->PromptForCredentials(), kErrorInternetForceRetry);
    post->SetBodyCap(3);
    ASSERT_TRUE(post->Send("X-Extra: 1\r\nContent-Type: text/plain\r\n", "a=1"));
    EXPECT_EQ(ReadAll(*post), "bod");
  }
  {
    auto hanging = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/hang", "", 0);
    hanging->Abort();
    EXPECT_FALSE(hanging->Send());
  }
  auto get = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/plain", "", 0);
  ASSERT_TRUE(get->Send());
  EXPECT_EQ(ReadAll(*get), "body of GET /plain HTTP/1.1");

  const std::vector<WireRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u) << "the aborted request never went out";
  EXPECT_EQ(requests[0].body, "a=1");
  EXPECT_EQ(requests[1].requestLine, "GET /plain HTTP/1.1");
  EXPECT_EQ(requests[1].headerLines,
            (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(server.Port()),
                                      "User-Agent: agent/1"}));
  // The capped post gave up its connection; the plain get made a second one.
  EXPECT_EQ(connections, 2);

  // A kept-alive connection is reused without a new one being reported.
  auto again = session.OpenRequest("GET", "127.0.0.1", server.Port(), "/again", "", 0);
  ASSERT_TRUE(again->Send());
  EXPECT_EQ(ReadAll(*again), "body of GET /again HTTP/1.1");
  EXPECT_EQ(connections, 2);
}

}  // namespace
}  // namespace tulix
