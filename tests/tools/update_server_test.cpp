// tulix-update-server run as a publisher runs it: a process of its own on 127.0.0.1, asked over
// real connections, ended by a signal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/token_splitter.h"
#include "platform/http.h"
#include "test_support.h"
#include "update_server_process.h"

extern char** environ;

namespace tulix {
namespace {

using test::CountOf;
using test::ReadFileBytes;
using test::ServerProcess;
using test::TempFolder;
using test::WaitReadable;
using test::WriteFileBytes;

struct Reply {
  int status = 0;
  std::string body;
};

// One GET over a plain socket, so the request target reaches the server exactly as written.
Reply RawGet(int port, std::string_view target) {
  Reply reply;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    ADD_FAILURE() << "cannot connect";
    return reply;
  }
  const std::string request =
      "GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string raw;
  char buffer[4096];
  ssize_t n = 0;
  while (WaitReadable(fd) && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
    raw.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  const size_t headersEnd = raw.find("\r\n\r\n");
  if (raw.starts_with("HTTP/1.1 ") && headersEnd != std::string::npos) {
    reply.status = std::stoi(raw.substr(9, 3));
    reply.body = raw.substr(headersEnd + 4);
  }
  return reply;
}

std::string ListTarget(std::string_view ctimestamp, std::string_view timestamp,
                       std::string_view category, std::string_view all = "0") {
  return "/tulix/getupgradelist.php?ctimestamp=" + std::string(ctimestamp) +
         "&timestamp=" + std::string(timestamp) + "&category=" + std::string(category) +
         "&v=1.500&d=&a=" + std::string(all);
}

// The list as the upgrade job reads it: the notice, then one path and stamp per line.
std::vector<std::string> ReadAsTheProgramDoes(std::string body) {
  std::vector<std::string> read = {PopToken(body, "\r\n", false)};
  while (!body.empty()) {
    std::string line = PopToken(body, "\r\n", false);
    const std::string folder = PopToken(line, "|", false);
    const std::string file = PopToken(line, "|", false);
    const std::string stamp = PopToken(line, "|", false);
    if (!stamp.empty()) {
      read.push_back((folder.empty() ? file : folder + "\\" + file) + " " + stamp);
    }
  }
  return read;
}

class UpdateServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = m_temp.File("published");
    Write("web.cat", "[main]\r\nname=Web\r\n", 1000);
    Write("web.ico", Binary(), 1000);
    Write("web/alpha.ini", "[main]\nname=Alpha\n", 1100);
    Write("web/beta.ini", "[main]\nname=Beta\n", 1200);
    Write("web/logo.gif", Binary(), 1200);
    Write("web/news.cat", "[main]\n", 1250);
    Write("web/news/gamma.ini", "[main]\nname=Gamma\n", 1300);
    Write("shop.cat", "[main]\n", 1400);
    Write("shop/delta.ini", "[main]\nname=Delta\n", 1500);
    Write("sites.sit", "[main]\n", 900);
    Write("keywords.txt", "cheap:-50\n", 1600);
    // Dated in the future: held back from the lists, as a file still being written would be.
    Write("web/later.ini", "[main]\n", 4'000'000'000);
    WriteFileBytes(m_temp.File("secret.txt"), "SECRET");
  }

  void Write(const std::string& name, std::string_view bytes, int64_t stamp) {
    const std::string path = m_root + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFileBytes(path, bytes);
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  static std::string Binary() {
    std::string bytes;
    for (int i = 0; i < 512; ++i) {
      bytes += static_cast<char>(i % 256);
    }
    return bytes + "\r\n\n\r";
  }

  TempFolder m_temp;
  std::string m_root;
};

TEST_F(UpdateServerTest, ListsWhatIsNewerForTheAskedCategories) {
  ServerProcess server({"--port", "0", m_root}, m_temp.File("log"));
  const int port = server.Port();

  // Empty stamps: everything, the other category's folder too, each category before its files.
  const std::string everything =
      "0\n"
      "|keywords.txt|1600|\n"
      "|sites.sit|900|\n"
      "|shop.cat|1400|\n"
      "|web.cat|1000|\n"
      "|web.ico|1000|\n"
      "web|news.cat|1250|\n"
      "shop|delta.ini|1500|\n"
      "web|alpha.ini|1100|\n"
      "web|beta.ini|1200|\n"
      "web|logo.gif|1200|\n"
      "web\\news|gamma.ini|1300|\n";
  Reply full = RawGet(port, ListTarget("", "", "web"));
  EXPECT_EQ(full.status, 200);
  EXPECT_EQ(full.body, everything);
  EXPECT_EQ(RawGet(port, ListTarget("5000", "5000", "web", "1")).body, everything);
  EXPECT_EQ(ReadAsTheProgramDoes(full.body)[1], "keywords.txt 1600");
  EXPECT_EQ(ReadAsTheProgramDoes(full.body).back(), "web\\news\\gamma.ini 1300");
  EXPECT_EQ(ReadAsTheProgramDoes(full.body).size(), 12u);

  // The category's stamp for its folders, the program-wide one for the rest; equal is not
  // newer. The shop category is new to this client, so its folder comes whole.
  EXPECT_EQ(RawGet(port, ListTarget("1250", "1150", "web")).body,
            "0\n"
            "|keywords.txt|1600|\n"
            "|shop.cat|1400|\n"
            "shop|delta.ini|1500|\n"
            "web|beta.ini|1200|\n"
            "web|logo.gif|1200|\n"
            "web\\news|gamma.ini|1300|\n");
  EXPECT_EQ(RawGet(port, ListTarget("1600", "1200", "web")).body, "0\nweb\\news|gamma.ini|1300|\n");
  // A sub-category is asked for by its own name.
  EXPECT_EQ(RawGet(port, ListTarget("1600", "1250", "news")).body,
            "0\nweb\\news|gamma.ini|1300|\n");
  EXPECT_EQ(RawGet(port, ListTarget("1600", "1150", "web|shop|")).body,
            "0\n"
            "shop|delta.ini|1500|\n"
            "web|beta.ini|1200|\n"
            "web|logo.gif|1200|\n"
            "web\\news|gamma.ini|1300|\n");
  EXPECT_EQ(RawGet(port, ListTarget("1600", "0", "nothing")).body, "0\n");
  EXPECT_EQ(server.StopWith(SIGTERM), 0);

  const std::string log = ReadFileBytes(m_temp.File("log"));
  EXPECT_EQ(CountOf(log, " GET /tulix/getupgradelist.php?ctimestamp="), 7u);
  EXPECT_EQ(CountOf(log, "&category=web|shop|&v=1.500&d=&a=0 200 "), 1u);
}

TEST_F(UpdateServerTest, ManifestStampsAndNoticeOverrideTheFolder) {
  const std::string manifest = m_temp.File("manifest");
  WriteFileBytes(manifest,
                 "# stamps fixed by hand\n"
                 "web/alpha.ini|2000|x\r\n"
                 "http://example.com/news.html|1700\n"
                 "web\\missing.ini|5\n"
                 "web\\beta.ini|soon\n");
  ServerProcess server({"--notice", "1", "--manifest", manifest, "--port", "0", m_root},
                       m_temp.File("log"));
  EXPECT_EQ(RawGet(server.Port(), ListTarget("1650", "1900", "web")).body,
            "1\n"
            "|http://example.com/news.html|1700|\n"
            "web|alpha.ini|2000|x\n");
  EXPECT_EQ(RawGet(server.Port(), ListTarget("5000", "5000", "nothing")).body, "1\n");
  EXPECT_EQ(server.StopWith(SIGINT), 0);

  const std::string log = ReadFileBytes(m_temp.File("log"));
  EXPECT_NE(log.find("manifest line 4: no published file web\\missing.ini"), std::string::npos);
  EXPECT_NE(log.find("manifest line 5: the stamp is not a decimal number"), std::string::npos);
}

TEST_F(UpdateServerTest, ServesFilesByteExactUnderEitherSeparator) {
  ServerProcess server({"--port", "0", m_root}, m_temp.File("log"));
  const int port = server.Port();
  for (const char* target :
       {"/tulix/categories/web\\logo.gif", "/tulix/categories/web/logo.gif",
        "/tulix/categories/web%5Clogo.gif", "/tulix/categories/web%5clogo.gif"}) {
    Reply reply = RawGet(port, target);
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, Binary()) << target;
  }
  EXPECT_EQ(RawGet(port, "/tulix/categories/web\\news/gamma.ini").body, "[main]\nname=Gamma\n");
  EXPECT_EQ(RawGet(port, "/tulix/categories/keywords.txt").body, "cheap:-50\n");
  // Held back from the lists, but there for whoever knows its name.
  EXPECT_EQ(RawGet(port, "/tulix/categories/web/later.ini").status, 200);

  // As the upgrade job asks: through the program's HTTP layer, the backslash as it is.
  HttpSession session("");
  auto list = session.OpenRequest("GET", "127.0.0.1", static_cast<uint16_t>(port),
                                  ListTarget("1600", "1150", "web|shop|"), "", kHttpFlagReload);
  ASSERT_TRUE(list->Send());
  EXPECT_EQ(list->StatusCode(), 200);
  auto file = session.OpenRequest("GET", "127.0.0.1", static_cast<uint16_t>(port),
                                  "/tulix/categories/web\\news\\gamma.ini", "", kHttpFlagReload);
  ASSERT_TRUE(file->Send());
  EXPECT_EQ(file->StatusCode(), 200);
  std::string body(64, '\0');
  size_t read = 0;
  ASSERT_TRUE(file->Read(body.data(), body.size(), &read));
  EXPECT_EQ(body.substr(0, read), "[main]\nname=Gamma\n");
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
}

TEST_F(UpdateServerTest, RefusesEveryPathOutsideTheFolder) {
  ServerProcess server({"--port", "0", m_root}, m_temp.File("log"));
  const std::string secret = m_temp.File("secret.txt");
  const std::vector<std::string> attempts = {
      "/tulix/categories/../secret.txt",
      "/tulix/categories/..\\secret.txt",
      "/tulix/categories/%2E%2E%2Fsecret.txt",
      "/tulix/categories/..%5Csecret.txt",
      "/tulix/categories/web/../../secret.txt",
      "/tulix/categories/web\\..\\..\\secret.txt",
      "/tulix/categories/web/%2e%2e/%2e%2e/secret.txt",
      "/tulix/categories/" + secret,
      "/tulix/categories/%2F" + secret.substr(1),
      "/tulix/categories/\\" + secret.substr(1),
      "/tulix/categories/web/logo.gif%00.txt",
      "/tulix/categories/web%00/../../secret.txt",
      "/tulix/categories/c:\\secret.txt",
      "/tulix/categories/web",
      "/tulix/categories/web/",
      "/tulix/categories/",
      "/tulix/categories/web/missing.ini",
      "/tulix/secret.txt",
  };
  for (const std::string& target : attempts) {
    Reply reply = RawGet(server.Port(), target);
    EXPECT_TRUE(reply.status == 400 || reply.status == 404) << target << " " << reply.status;
    EXPECT_EQ(reply.body.find("SECRET"), std::string::npos) << target;
  }
  // Still answering after all that.
  EXPECT_EQ(RawGet(server.Port(), "/tulix/categories/web.cat").body, "[main]\r\nname=Web\r\n");
  EXPECT_EQ(server.StopWith(SIGTERM), 0);
}

}  // namespace
}  // namespace tulix
