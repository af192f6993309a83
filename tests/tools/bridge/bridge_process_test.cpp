// tulix-bridge run as a browser runs it: a child process talking length-prefixed JSON over
// pipes, calling the real tulixlib registered in the test's settings store, with engines served
// by this test on loopback.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "loopback_server.h"
#include "platform/registry_store.h"
#include "test_support.h"
#include "tools/bridge/host_manifest.h"
#include "tools/bridge/json_value.h"
#include "tools/bridge/message_frame.h"

extern char** environ;

namespace tulix::bridge {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

const char kBridge[] = TULIX_BRIDGE_BINARY;

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
  // The first of two entries with one name wins, so a replaced one is left out.
  const auto overridden = [&](std::string_view entry) {
    for (const std::string& mine : extra) {
      if (entry.substr(0, entry.find('=') + 1) == mine.substr(0, mine.find('=') + 1)) {
        return true;
      }
    }
    return false;
  };
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!overridden(*entry)) {
      env.emplace_back(*entry);
    }
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// A started tulix-bridge: its standard input and output are pipes held here, its standard
// error goes to a file.
class BridgeProcess {
 public:
  BridgeProcess(const std::vector<std::string>& args, const std::string& errPath,
                const std::vector<std::string>& extraEnv = {})
      : m_errPath(errPath) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    std::vector<std::string> all = {kBridge};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = EnvironmentWith(extraEnv);
    std::vector<char*> envp;
    for (std::string& entry : env) {
      envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (posix_spawn(&m_pid, kBridge, &actions, nullptr, argv.data(), envp.data()) != 0) {
      m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    m_in = in[1];
    m_out = out[0];
  }
  ~BridgeProcess() {
    CloseInput();
    if (m_out >= 0) {
      close(m_out);
    }
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  bool started() const { return m_pid > 0; }

  void SendBytes(const std::string& bytes) {
    ASSERT_GE(m_in, 0);
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t wrote = write(m_in, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(wrote, 0) << std::strerror(errno);
      done += static_cast<size_t>(wrote);
    }
  }
  void Send(const std::string& message) { SendBytes(EncodeFrame(message)); }

  // The next answer, or nullopt when none came (end of output, or a minute without one).
  std::optional<std::string> Receive() {
    std::string header;
    if (!ReadExactly(4, header)) {
      return std::nullopt;
    }
    uint32_t length = 0;
    std::memcpy(&length, header.data(), 4);
    EXPECT_LE(length, kMaxMessageBytes);
    std::string body;
    if (!ReadExactly(length, body)) {
      return std::nullopt;
    }
    return body;
  }

  // Sends a request and reads its answer as JSON; an empty value when none came.
  JsonValue Call(const std::string& message) {
    Send(message);
    std::optional<std::string> answer = Receive();
    if (!answer) {
      ADD_FAILURE() << "no answer to " << message.substr(0, 200);
      return JsonValue();
    }
    JsonParseResult parsed = ParseJson(*answer);
    if (!parsed.value) {
      ADD_FAILURE() << "answer is no JSON: " << *answer << " (" << parsed.error << ")";
      return JsonValue();
    }
    return *parsed.value;
  }

  void CloseInput() {
    if (m_in >= 0) {
      close(m_in);
      m_in = -1;
    }
  }

  // Ends the input and waits for the exit status (-1 when it did not exit by itself within a
  // minute, or was killed by a signal).
  int Finish() {
    CloseInput();
    const auto deadline = SteadyClock::now() + std::chrono::seconds(60);
    int status = 0;
    while (m_pid > 0) {
      const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
      if (done == m_pid) {
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (SteadyClock::now() > deadline) {
        return -1;
      }
      // Draining the output keeps a chatty process from blocking on a full pipe.
      pollfd fd{m_out, POLLIN, 0};
      if (poll(&fd, 1, 50) > 0) {
        char scratch[4096];
        if (read(m_out, scratch, sizeof scratch) > 0) {
          m_extraOutput = true;
        }
      }
    }
    return -1;
  }
  bool wroteAfterLastAnswer() const { return m_extraOutput; }
  std::string Errors() const { return test::ReadFileBytes(m_errPath); }

 private:
  bool ReadExactly(size_t size, std::string& out) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(60);
    out.resize(size);
    size_t done = 0;
    while (done < size) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
      if (left.count() <= 0) {
        return false;
      }
      pollfd fd{m_out, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      const ssize_t got = read(m_out, out.data() + done, size - done);
      if (got <= 0) {
        return false;
      }
      done += static_cast<size_t>(got);
    }
    return true;
  }

  std::string m_errPath;
  pid_t m_pid = -1;
  int m_in = -1;
  int m_out = -1;
  bool m_extraOutput = false;
};

const std::string* StringOf(const JsonValue& answer, const char* member) {
  const JsonValue* value = answer.Find(member);
  return value != nullptr ? value->AsString() : nullptr;
}

std::optional<int64_t> NumberOf(const JsonValue& answer, const char* member) {
  const JsonValue* value = answer.Find(member);
  const JsonNumber* number = value != nullptr ? value->AsNumber() : nullptr;
  return number != nullptr ? number->integer : std::nullopt;
}

std::string ErrorOf(const JsonValue& answer) {
  const std::string* error = StringOf(answer, "error");
  EXPECT_NE(error, nullptr) << "no error in the answer";
  EXPECT_EQ(answer.Find("result"), nullptr);
  return error != nullptr ? *error : "";
}

// Five results on every page, the same for each engine, so every result is found by both.
std::string ResultPage() {
  std::string page = "<html><body><ul>";
  for (int i = 1; i <= 5; ++i) {
    const std::string n = std::to_string(i);
    page += "<li><a href=http://r.test/whale" + n + ">Blue whale " + n +
            "</a> the great whale of the sea</li>";
  }
  return page + "</ul></body></html>";
}

class BridgeProcessTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_server->Get(".*", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(ResultPage(), "text/html");
    });
    m_server.Start();
    // The update check is never due and no engine list is fetched.
    RegistryStore store(m_registry);
    ASSERT_TRUE(store.SetDword(std::string(kRegistryRoot) + "\\Behaviour", "UpdatePolicy", 1));
    WriteEngines(2);
  }

  void WriteEngines(int count) {
    const fs::path web = fs::path(m_home) / "categories" / "web";
    fs::create_directories(web);
    test::WriteFileBytes((web.parent_path() / "web.cat").string(),
                         "[main]\nlastupdatecheck=4000000000\n");
    for (int n = 1; n <= count; ++n) {
      const std::string engine = "engine" + std::to_string(n);
      test::WriteFileBytes((web / (engine + ".ini")).string(),
                           "[main]\nname=" + engine +
                               "\nhost=127.0.0.1\nport=" + std::to_string(m_server.Port()) +
                               "\nobject=/search?q=%Q\n"
                               "[START]\n1=TAG|RESULT|li|STARTRESULT|\n"
                               "[RESULT]\n1=TAG|START|/li|SENDRESULT|\n");
    }
  }

  // Registers the built library and the program folder through the bridge's own option.
  void RegisterLibrary() {
    BridgeProcess registering({"--register-library", TULIXLIB_PATH, "--program-folder", m_home},
                              ErrPath("register"));
    ASSERT_TRUE(registering.started());
    ASSERT_EQ(registering.Finish(), 0) << registering.Errors();
  }

  std::string ErrPath(const std::string& name) { return m_temp.path() + "/" + name + ".err"; }

  test::ScopedNoProxy m_noProxy;
  test::LoopbackServer m_server;
};

TEST_F(BridgeProcessTest, RunsASearchToTheEndAndReadsItsResults) {
  RegisterLibrary();
  BridgeProcess bridge({"chrome-extension://" + std::string(kChromiumExtensionId) + "/"},
                       ErrPath("bridge"));
  ASSERT_TRUE(bridge.started());

  JsonValue answer = bridge.Call(R"({"id":1,"method":"GetStatus"})");
  EXPECT_EQ(NumberOf(answer, "id"), 1);
  ASSERT_NE(StringOf(answer, "result"), nullptr);
  EXPECT_EQ(*StringOf(answer, "result"), "uninitialised");
  // Names are taken without regard to case, as scripts call them.
  answer = bridge.Call(R"({"id":"c","method":"getcategories","params":[]})");
  EXPECT_EQ(*StringOf(answer, "id"), "c");
  ASSERT_NE(StringOf(answer, "result"), nullptr);
  EXPECT_EQ(*StringOf(answer, "result"), "web");

  answer = bridge.Call(R"({"id":2,"method":"StartSearch","params":["whale","web",-1,-1,-1]})");
  ASSERT_NE(StringOf(answer, "result"), nullptr) << bridge.Errors();
  const std::string address = *StringOf(answer, "result");
  const std::string prefix = "file:" + m_home + "/searchresults.htm?order=4&search=";
  ASSERT_EQ(address.substr(0, prefix.size()), prefix);
  const std::string name = address.substr(prefix.size());
  ASSERT_FALSE(name.empty());
  std::string nameJson;
  AppendJsonString(nameJson, name);

  // The library's own thread runs the search while the bridge waits for the next request.
  const auto deadline = SteadyClock::now() + std::chrono::seconds(60);
  std::optional<int64_t> status;
  std::set<int64_t> seen;
  while (SteadyClock::now() < deadline) {
    status =
        NumberOf(bridge.Call(R"({"id":3,"method":"GetSearchStatus","params":[)" + nameJson + "]}"),
                 "result");
    ASSERT_TRUE(status.has_value());
    seen.insert(*status);
    if (*status == 3 || *status == 5) {
      break;
    }
  }
  ASSERT_EQ(status, 3) << bridge.Errors();
  for (int64_t each : seen) {
    EXPECT_TRUE(each == 1 || each == 2 || each == 3 || each == 4) << each;
  }

  answer = bridge.Call(R"({"id":4,"method":"GetSearchText","params":[)" + nameJson + "]}");
  EXPECT_EQ(*StringOf(answer, "result"), "whale");
  answer = bridge.Call(R"({"id":5,"method":"GetSearchTotal","params":[)" + nameJson + "]}");
  ASSERT_EQ(NumberOf(answer, "result"), 5);
  std::set<std::string> urls;
  for (int i = 0; i < 5; ++i) {
    const std::string at = nameJson + ",4," + std::to_string(i);
    answer = bridge.Call(R"({"id":6,"method":"get_result_url","params":[)" + at + "]}");
    ASSERT_NE(StringOf(answer, "result"), nullptr);
    urls.insert(*StringOf(answer, "result"));
    answer = bridge.Call(R"({"id":7,"method":"get_result_text","params":[)" + at + "]}");
    const std::string text = *StringOf(answer, "result");
    EXPECT_EQ(text.substr(0, 3), "<b>") << text;
    EXPECT_NE(text.find("Blue <span class=\"hilite\">whale</span> "), std::string::npos) << text;
    EXPECT_NE(text.find("</b><p>"), std::string::npos) << text;
    answer = bridge.Call(R"({"id":8,"method":"get_result_engines","params":[)" + at + "]}");
    // Both engines found every result, in the order they answered.
    const std::string engines = *StringOf(answer, "result");
    EXPECT_TRUE(engines == "engine1 engine2" || engines == "engine2 engine1") << engines;
    answer = bridge.Call(R"({"id":9,"method":"get_result_percent","params":[)" + at + "]}");
    EXPECT_GT(NumberOf(answer, "result").value_or(0), 0);
  }
  EXPECT_EQ(urls, (std::set<std::string>{"http://r.test/whale1", "http://r.test/whale2",
                                         "http://r.test/whale3", "http://r.test/whale4",
                                         "http://r.test/whale5"}));
  // Past the end: empty, not an error.
  answer = bridge.Call(R"({"id":10,"method":"get_result_url","params":[)" + nameJson + ",4,5]}");
  EXPECT_EQ(*StringOf(answer, "result"), "");
  // A method without an [out, retval] value answers null.
  answer = bridge.Call(R"({"id":11,"method":"StopSearch","params":[)" + nameJson + "]}");
  ASSERT_NE(answer.Find("result"), nullptr);
  EXPECT_TRUE(answer.Find("result")->IsNull());
  EXPECT_EQ(answer.Find("error"), nullptr);

  EXPECT_EQ(bridge.Finish(), 0) << bridge.Errors();
  EXPECT_FALSE(bridge.wroteAfterLastAnswer());
  EXPECT_EQ(bridge.Errors().find("tulix-bridge:"), std::string::npos) << bridge.Errors();
}

TEST_F(BridgeProcessTest, RefusesBadRequestsAndKeepsAnswering) {
  RegisterLibrary();
  BridgeProcess bridge({}, ErrPath("bridge"));
  ASSERT_TRUE(bridge.started());

  JsonValue answer = bridge.Call(R"({"id":1,"method":"NoSuchMethod","params":[]})");
  EXPECT_EQ(NumberOf(answer, "id"), 1);
  EXPECT_EQ(ErrorOf(answer), "unknown method NoSuchMethod");
  answer = bridge.Call(R"({"id":2,"method":"GetSearchStatus","params":[]})");
  EXPECT_EQ(NumberOf(answer, "id"), 2);
  EXPECT_EQ(ErrorOf(answer), "wrong number of parameters for GetSearchStatus");
  answer = bridge.Call(R"({"id":3,"method":"GetStatus","params":["extra"]})");
  EXPECT_EQ(ErrorOf(answer), "wrong number of parameters for GetStatus");
  answer = bridge.Call(R"({"id":4,"method":"get_result_url","params":["x","four",0]})");
  EXPECT_EQ(ErrorOf(answer), "parameter 2 of get_result_url has the wrong type");
  answer = bridge.Call(R"({"id":5,"method":"get_result_url","params":["x",4,true]})");
  EXPECT_EQ(ErrorOf(answer), "parameter 3 must be a string or a whole number within 32 bits");
  answer = bridge.Call(R"({"id":6,"method":"get_result_url","params":["x",4,4294967296]})");
  EXPECT_NE(ErrorOf(answer).find("parameter 3"), std::string::npos);
  answer = bridge.Call(R"({"id":7,"method":"GetSearchText","params":"x"})");
  EXPECT_EQ(ErrorOf(answer), "params must be an array");
  answer = bridge.Call(R"({"id":8,"params":[]})");
  EXPECT_EQ(ErrorOf(answer), "method must be given as a string");
  answer = bridge.Call(R"({"id":[9],"method":"GetStatus"})");
  EXPECT_EQ(ErrorOf(answer), "id must be a number, a string or null");
  EXPECT_TRUE(answer.Find("id")->IsNull());
  answer = bridge.Call(R"({"id":10,"method":"GetStatus",})");
  EXPECT_TRUE(answer.Find("id")->IsNull());
  EXPECT_EQ(ErrorOf(answer).substr(0, 15), "malformed JSON:");
  answer = bridge.Call("[\"GetStatus\"]");
  EXPECT_EQ(ErrorOf(answer), "a request must be a JSON object");
  answer = bridge.Call("\xFF\xFE");
  EXPECT_EQ(ErrorOf(answer).substr(0, 15), "malformed JSON:");

  // A request of exactly the limit is read and answered; one byte more is refused unread.
  const std::string head = R"({"id":12,"method":"GetSearchText","params":[")";
  const std::string tail = "\"]}";
  const std::string full =
      head + std::string(kMaxMessageBytes - head.size() - tail.size(), 'w') + tail;
  ASSERT_EQ(full.size(), kMaxMessageBytes);
  answer = bridge.Call(full);
  EXPECT_EQ(NumberOf(answer, "id"), 12);
  ASSERT_NE(StringOf(answer, "result"), nullptr);
  EXPECT_EQ(*StringOf(answer, "result"), "*** error ***");
  const std::string over =
      head + std::string(kMaxMessageBytes - head.size() - tail.size() + 1, 'w') + tail;
  answer = bridge.Call(over);
  EXPECT_TRUE(answer.Find("id")->IsNull());
  EXPECT_EQ(ErrorOf(answer), "message of 1048577 bytes refused: the limit is 1048576 bytes");

  // An answer longer than a browser takes is replaced by an error: the status lists the
  // words of every saved search, here two of 600,000 bytes each.
  for (char letter : {'a', 'b'}) {
    answer = bridge.Call(R"({"id":14,"method":"StartSearch","params":[")" +
                         std::string(600000, letter) + R"(","web",-1,-1,-1]})");
    ASSERT_NE(StringOf(answer, "result"), nullptr) << ErrorOf(answer);
  }
  answer = bridge.Call(R"({"id":15,"method":"GetStatus"})");
  EXPECT_EQ(NumberOf(answer, "id"), 15);
  EXPECT_NE(ErrorOf(answer).find("bytes is over the limit of 1048576 bytes"), std::string::npos);

  // Still in step after all that.
  answer = bridge.Call(R"({"id":13,"method":"GetOpenInNewWindow"})");
  EXPECT_EQ(NumberOf(answer, "id"), 13);
  EXPECT_EQ(NumberOf(answer, "result"), 1);
  EXPECT_EQ(bridge.Finish(), 0) << bridge.Errors();
}

TEST_F(BridgeProcessTest, EndsWithAnErrorOnCutInputAndAnswersWhenTheLibraryIsMissing) {
  // Not registered yet: every request is answered with the reason.
  {
    BridgeProcess bridge({}, ErrPath("missing"));
    ASSERT_TRUE(bridge.started());
    JsonValue answer = bridge.Call(R"({"id":1,"method":"GetStatus"})");
    EXPECT_EQ(NumberOf(answer, "id"), 1);
    EXPECT_NE(ErrorOf(answer).find("Tulixlib.TulixExp cannot be created"), std::string::npos);
    EXPECT_EQ(bridge.Finish(), 0);
  }
  RegisterLibrary();
  struct Cut {
    std::string bytes;
    const char* says;
  };
  std::string header(4, '\0');
  const uint32_t length = 100;
  std::memcpy(header.data(), &length, 4);
  for (const Cut& cut : {Cut{header + "{\"id\":1,", "input ended inside a message: 8 of 100 bytes"},
                         Cut{header.substr(0, 3), "input ended inside a message's length"}}) {
    BridgeProcess bridge({}, ErrPath("cut"));
    ASSERT_TRUE(bridge.started());
    // A whole request first, so the library is loaded and running when the input breaks off.
    JsonValue answer = bridge.Call(R"({"id":1,"method":"GetCategories"})");
    EXPECT_EQ(*StringOf(answer, "result"), "web");
    bridge.SendBytes(cut.bytes);
    EXPECT_EQ(bridge.Finish(), 1);
    EXPECT_FALSE(bridge.wroteAfterLastAnswer());
    EXPECT_NE(bridge.Errors().find(cut.says), std::string::npos) << bridge.Errors();
  }
}

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  std::string hex;
  for (unsigned char c : digest) {
    hex += "0123456789abcdef"[c >> 4];
    hex += "0123456789abcdef"[c & 15];
  }
  return hex;
}

TEST_F(BridgeProcessTest, InstallsManifestsThatNameThisProgramAndTheExtension) {
  const std::string home = m_temp.path() + "/home";
  const std::string profile = m_temp.path() + "/profile";
  BridgeProcess install({"--install", "all", "--user-data-dir", profile}, ErrPath("install"),
                        {"HOME=" + home, "XDG_CONFIG_HOME="});
  ASSERT_TRUE(install.started());
  ASSERT_EQ(install.Finish(), 0) << install.Errors();
  // No second browser folder is touched when a profile is named.
  EXPECT_FALSE(fs::exists(home + "/.config/chromium"));

  const std::string chromiumPath = profile + "/NativeMessagingHosts/org.tulix.bridge.json";
  const std::string firefoxPath = home + "/.mozilla/native-messaging-hosts/org.tulix.bridge.json";
  for (const std::string& path : {chromiumPath, firefoxPath}) {
    JsonParseResult manifest = ParseJson(test::ReadFileBytes(path));
    ASSERT_TRUE(manifest.value) << path << ": " << manifest.error;
    EXPECT_EQ(*StringOf(*manifest.value, "name"), "org.tulix.bridge");
    EXPECT_EQ(*StringOf(*manifest.value, "type"), "stdio");
    EXPECT_EQ(*StringOf(*manifest.value, "path"), fs::canonical(kBridge).string());
  }
  JsonParseResult chromium = ParseJson(test::ReadFileBytes(chromiumPath));
  const JsonValue* origins = chromium.value->Find("allowed_origins");
  ASSERT_NE(origins, nullptr);
  ASSERT_EQ(origins->AsArray()->size(), 1u);
  EXPECT_EQ(*(*origins->AsArray())[0].AsString(),
            "chrome-extension://" + std::string(kChromiumExtensionId) + "/");
  EXPECT_EQ(chromium.value->Find("allowed_extensions"), nullptr);
  JsonParseResult firefox = ParseJson(test::ReadFileBytes(firefoxPath));
  const JsonValue* extensions = firefox.value->Find("allowed_extensions");
  ASSERT_NE(extensions, nullptr);
  EXPECT_EQ(*(*extensions->AsArray())[0].AsString(), kFirefoxExtensionId);

  // Without a profile, Chromium's own folder under the home folder; only that one is written.
  BridgeProcess again({"--install", "chromium"}, ErrPath("again"),
                      {"HOME=" + home, "XDG_CONFIG_HOME="});
  ASSERT_EQ(again.Finish(), 0) << again.Errors();
  EXPECT_TRUE(fs::exists(home + "/.config/chromium/NativeMessagingHosts/org.tulix.bridge.json"));
  BridgeProcess wrong({"--install", "netscape"}, ErrPath("wrong"), {"HOME=" + home});
  EXPECT_EQ(wrong.Finish(), 2);

  // The extension's id is what Chromium derives from the key in its manifest: the first half
  // of the key's SHA-256, each hex digit written as a letter from 'a'.
  JsonParseResult extension =
      ParseJson(test::ReadFileBytes(TULIX_BROWSER_EXTENSION_DIR "/manifest.json"));
  ASSERT_TRUE(extension.value) << extension.error;
  const std::string key = *StringOf(*extension.value, "key");
  std::string der(key.size(), '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                      reinterpret_cast<const unsigned char*>(key.data()),
                                      static_cast<int>(key.size()));
  ASSERT_GT(decoded, 0);
  der.resize(static_cast<size_t>(decoded) - (key.ends_with("==") ? 2 : key.ends_with("=") ? 1 : 0));
  std::string id;
  for (char c : Sha256Hex(der).substr(0, 32)) {
    id += static_cast<char>('a' + (c <= '9' ? c - '0' : c - 'a' + 10));
  }
  EXPECT_EQ(id, kChromiumExtensionId);
  const JsonValue* gecko = extension.value->Find("browser_specific_settings")->Find("gecko");
  ASSERT_NE(gecko, nullptr);
  EXPECT_EQ(*StringOf(*gecko, "id"), kFirefoxExtensionId);
}

}  // namespace
}  // namespace tulix::bridge
