// Shared test helpers: every test that touches files gets a fresh temporary folder of its own,
// with TULIX_HOME and TULIX_REGISTRY pointing into it, and leaves nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "temp_folder.h"

namespace tulix {
class ScopedApplication;
class TulixApplication;
}  // namespace tulix

namespace tulix::test {

// Base fixture: a fresh program folder and registry for each test.
class TulixTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  TempFolder m_temp;
  std::string m_home;      // $TULIX_HOME, created
  std::string m_registry;  // $TULIX_REGISTRY, not created
};

// Reads or writes a whole file as bytes; failures fail the test.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, std::string_view bytes);

// The words of `text` separated by single spaces, nothing around them (every byte up to a blank
// separates).
std::string SingleSpaced(std::string_view text);

// How often `part` occurs in `text`, overlapping occurrences included.
size_t CountOf(std::string_view text, std::string_view part);

// Switches the C library of the whole process to a locale whose decimal point is a comma (a
// German one, as a desktop user's may be) and restores the previous locale when it goes.
// active() is false, nothing switched, when the machine has no such locale installed.
class CommaDecimalLocale {
 public:
  CommaDecimalLocale();
  ~CommaDecimalLocale();
  CommaDecimalLocale(const CommaDecimalLocale&) = delete;
  CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

  bool active() const { return m_active; }

 private:
  std::string m_previous;
  bool m_active = false;
};

// Clears the proxy variables of the environment (http_proxy, no_proxy, NO_PROXY), so loopback
// requests go straight to the test's server, and puts back the values they had when it goes.
class ScopedNoProxy {
 public:
  ScopedNoProxy();
  ~ScopedNoProxy();
  ScopedNoProxy(const ScopedNoProxy&) = delete;
  ScopedNoProxy& operator=(const ScopedNoProxy&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> m_saved;
};

// Runs this test program again as a child process with the given gtest filter and extra
// environment ("NAME=value" entries); returns its exit status (-1 when it could not start).
int RunChildTest(const std::string& filter, const std::vector<std::string>& env = {});

// Sets an environment variable for the scope (or removes it, for a null value) and puts back
// what it was when it goes.
class ScopedEnvironmentValue {
 public:
  ScopedEnvironmentValue(const char* name, const char* value);
  ~ScopedEnvironmentValue();
  ScopedEnvironmentValue(const ScopedEnvironmentValue&) = delete;
  ScopedEnvironmentValue& operator=(const ScopedEnvironmentValue&) = delete;

 private:
  std::string m_name;
  std::optional<std::string> m_previous;
};

// Sets the SecureWeb setting for the scope and puts the old value back when it goes. Without an
// application object it installs one of its own, in a temporary folder, for the scope.
class ScopedSecureWeb {
 public:
  explicit ScopedSecureWeb(bool on);
  ~ScopedSecureWeb();
  ScopedSecureWeb(const ScopedSecureWeb&) = delete;
  ScopedSecureWeb& operator=(const ScopedSecureWeb&) = delete;

 private:
  std::optional<TempFolder> m_folder;
  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
  int m_previous = 1;
};

// For tests that fetch from their own servers on 127.0.0.1: an application object on the test's
// folder, and no proxy from the machine's environment to take the requests elsewhere.
class LoopbackApplicationTest : public TulixTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::optional<ScopedNoProxy> m_noProxy;
  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

}  // namespace tulix::test
