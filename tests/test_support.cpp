#include "test_support.h"

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

#include "base/application.h"
#include "base/settings.h"

namespace tulix::test {

void TulixTest::SetUp() {
  m_home = m_temp.File("home");
  m_registry = m_temp.File("registry.db");
  std::filesystem::create_directories(m_home);
  setenv("TULIX_HOME", m_home.c_str(), 1);
  setenv("TULIX_REGISTRY", m_registry.c_str(), 1);
}

void TulixTest::TearDown() {
  unsetenv("TULIX_HOME");
  unsetenv("TULIX_REGISTRY");
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

std::string SingleSpaced(std::string_view text) {
  std::string out;
  bool gap = false;
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) <= ' ') {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) {
      out += ' ';
    }
    gap = false;
    out += ch;
  }
  return out;
}

size_t CountOf(std::string_view text, std::string_view part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

ScopedNoProxy::ScopedNoProxy() {
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"}) {
    if (const char* value = std::getenv(name)) {
      m_saved.emplace_back(name, value);
    }
    unsetenv(name);
  }
}

ScopedNoProxy::~ScopedNoProxy() {
  for (const auto& [name, value] : m_saved) {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

CommaDecimalLocale::CommaDecimalLocale() : m_previous(std::setlocale(LC_ALL, nullptr)) {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      if (std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
        m_active = true;
        return;
      }
      std::setlocale(LC_ALL, m_previous.c_str());
    }
  }
}

CommaDecimalLocale::~CommaDecimalLocale() {
  if (m_active) {
    std::setlocale(LC_ALL, m_previous.c_str());
  }
}

int RunChildTest(const std::string& filter, const std::vector<std::string>& env) {
  std::string filterArg = "--gtest_filter=" + filter;
  std::vector<char*> argv = {const_cast<char*>(TULIX_TEST_BINARY), filterArg.data(), nullptr};
  std::vector<std::string> envStore;
  auto overridden = [&env](std::string_view entry) {
    std::string_view name = entry.substr(0, entry.find('='));
    for (const auto& e : env) {
      if (std::string_view(e).substr(0, e.find('=')) == name) {
        return true;
      }
    }
    return false;
  };
  for (char** e = environ; *e != nullptr; ++e) {
    if (!overridden(*e)) {
      envStore.emplace_back(*e);
    }
  }
  envStore.insert(envStore.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envStore) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, TULIX_TEST_BINARY, nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

ScopedEnvironmentValue::ScopedEnvironmentValue(const char* name, const char* value)
    : m_name(name) {
  if (const char* previous = std::getenv(name)) {
    m_previous = previous;
  }
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnvironmentValue::~ScopedEnvironmentValue() {
  if (m_previous) {
    setenv(m_name.c_str(), m_previous->c_str(), 1);
  } else {
    unsetenv(m_name.c_str());
  }
}

ScopedSecureWeb::ScopedSecureWeb(bool on) {
  if (!HasApp()) {
    m_folder.emplace();
    m_app = std::make_unique<TulixApplication>(m_folder->path(), m_folder->File("registry.db"));
    m_scope = std::make_unique<ScopedApplication>(*m_app);
  }
  m_previous = App().settings().SecureWeb;
  App().settings().SecureWeb = on ? 1 : 0;
}

ScopedSecureWeb::~ScopedSecureWeb() {
  App().settings().SecureWeb = m_previous;
  m_scope.reset();
  m_app.reset();
}

void LoopbackApplicationTest::SetUp() {
  TulixTest::SetUp();
  m_noProxy.emplace();
  m_app = std::make_unique<TulixApplication>(m_home, m_registry);
  m_scope = std::make_unique<ScopedApplication>(*m_app);
}

void LoopbackApplicationTest::TearDown() {
  m_scope.reset();
  m_app.reset();
  m_noProxy.reset();
  TulixTest::TearDown();
}

}  // namespace tulix::test
