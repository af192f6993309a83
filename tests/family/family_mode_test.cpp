#include "family/family_mode.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "jobs/job_test_support.h"

namespace tulix {
namespace {

using test::TestJob;

// Answers the password prompt from a script; nothing left means Cancel.
class ScriptedPrompt : public PasswordPrompt {
 public:
  explicit ScriptedPrompt(std::deque<std::optional<std::string>> answers)
      : m_answers(std::move(answers)) {}
  std::optional<std::string> AskPassword() override {
    ++shown;
    if (m_answers.empty()) {
      return std::nullopt;
    }
    std::optional<std::string> answer = std::move(m_answers.front());
    m_answers.pop_front();
    return answer;
  }
  int shown = 0;

 private:
  std::deque<std::optional<std::string>> m_answers;
};

class RecordingAlertSender : public AlertSender {
 public:
  void SendAlert(const std::string& subject, const std::string& body) override {
    alerts.emplace_back(subject, body);
  }
  std::vector<std::pair<std::string, std::string>> alerts;
};

class RecordingHooks : public FamilyModeHooks {
 public:
  void ClearStatusAndTasks() override { calls.push_back("clear"); }
  void RefillViews() override { calls.push_back(IsFamilyModeOn() ? "refill on" : "refill off"); }
  std::vector<std::string> calls;
};

class FamilyOnlyWhenSafeJob : public TestJob {
 public:
  FamilyOnlyWhenSafeJob(std::string name, bool safe, Body body = {})
      : TestJob(std::move(name), std::move(body)), m_safe(safe) {}
  bool IsFamilySafe() const override { return m_safe; }

 private:
  bool m_safe;
};

// A job system is built only by the tests that need one; StopJobSystem copes with none.
class FamilyModeTest : public test::JobSystemTest {
 protected:
  void SetUp() override {
    JobSystemTest::SetUp();
    SetAlertSender(&m_alerts);
    m_hooks = std::make_shared<RecordingHooks>();
    m_app->familyHooks = m_hooks;
  }
  void TearDown() override {
    SetAlertSender(nullptr);
    JobSystemTest::TearDown();
  }

  void SetPassword(std::string_view password) {
    m_app->settings().ScanKey = static_cast<int32_t>(FamilyPasswordHash(password));
  }

  RecordingAlertSender m_alerts;
  std::shared_ptr<RecordingHooks> m_hooks;
};

TEST(FamilyPassword, HashTakesCharactersAsSignedBytes) {
  EXPECT_EQ(FamilyPasswordHash(""), 0u);
  EXPECT_EQ(FamilyPasswordHash("a"), 0x61u);
  EXPECT_EQ(FamilyPasswordHash("abc"), 0x6783u);
  EXPECT_EQ(FamilyPasswordHash("password123"), 0x0E1EFEF3u);  // the high nibble folds back in
  EXPECT_EQ(FamilyPasswordHash("\xE9t\xE9"), 0x0FFF2FD9u);
}

TEST(FamilyPolicy, TextsAndListPositions) {
  EXPECT_STREQ(FamilyPolicyListText(0), "Full uncontrolled access");
  EXPECT_STREQ(FamilyPolicyListText(1), "Password control on Quendral startup");
  EXPECT_STREQ(FamilyPolicyListText(2), "Family mode on startup");
  EXPECT_STREQ(FamilyPolicyListText(3), "");
  EXPECT_EQ(PolicyListPosition(20), 0);
  EXPECT_EQ(PolicyListPosition(30), 1);
  EXPECT_EQ(PolicyListPosition(40), 2);
  EXPECT_EQ(PolicyListPosition(7), 2);
  EXPECT_EQ(PolicyOfListPosition(0), 20);
  EXPECT_EQ(PolicyOfListPosition(1), 30);
  EXPECT_EQ(PolicyOfListPosition(2), 40);
  EXPECT_STREQ(FamilyPolicyLogText(30), "password required on startup");
  EXPECT_STREQ(FamilyPolicyLogText(41), "*** error in family policy value ***");
}

TEST_F(FamilyModeTest, ThreeWrongPasswordsTurnFamilyModeOnAndSendOneAlert) {
  SetPassword("secret");
  ScriptedPrompt prompt({"guess", "Secret", "secret!", "secret"});
  EXPECT_FALSE(RunPasswordDialog(prompt));
  EXPECT_EQ(prompt.shown, 3);  // the fourth answer is never asked for
  EXPECT_TRUE(IsFamilyModeOn());
  const std::vector<std::string> boxes = m_log.Boxes();
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0], "Error: Incorrect password");
  EXPECT_EQ(boxes[2], "Error: Incorrect password");
  EXPECT_EQ(boxes[3], "Too many password attempts entering family mode");
  ASSERT_EQ(m_alerts.alerts.size(), 1u);
  EXPECT_EQ(m_alerts.alerts[0].first, "Family Access Violation");
  EXPECT_EQ(m_alerts.alerts[0].second, "Too many password attempts entering family mode");

  // Each showing counts afresh: two wrong, then right.
  ScriptedPrompt again({"a", "b", "secret"});
  EXPECT_TRUE(RunPasswordDialog(again));
  EXPECT_FALSE(IsFamilyModeOn());
  EXPECT_EQ(m_alerts.alerts.size(), 1u);
}

TEST_F(FamilyModeTest, StartupFollowsThePolicy) {
  ScriptedPrompt unused({});
  m_app->settings().MaxScan = kPolicyFamilyOnStartup;
  ApplyStartupFamilyPolicy(unused);
  EXPECT_TRUE(IsFamilyModeOn());
  m_app->settings().MaxScan = kPolicyFullAccess;
  ApplyStartupFamilyPolicy(unused);
  EXPECT_FALSE(IsFamilyModeOn());
  EXPECT_EQ(unused.shown, 0);
  // The line names the mode as it was before the policy was applied.
  EXPECT_TRUE(m_log.Has("Family Policy:full access password: (blank) current mode: family mode"));

  // Policy 30: Cancel starts in family mode.
  SetPassword("secret");
  m_app->settings().MaxScan = kPolicyPasswordOnStartup;
  ScriptedPrompt cancel({std::nullopt});
  ApplyStartupFamilyPolicy(cancel);
  EXPECT_TRUE(IsFamilyModeOn());
  EXPECT_TRUE(m_log.Has(
      "Family Policy:password required on startup password: (set) current mode: full access"));
  EXPECT_TRUE(m_alerts.alerts.empty());

  // With no password set, an empty entry gives full access.
  m_app->settings().ScanKey = 0;
  ScriptedPrompt empty({""});
  ApplyStartupFamilyPolicy(empty);
  EXPECT_FALSE(IsFamilyModeOn());
}

TEST_F(FamilyModeTest, FamilyPagesOpenInFamilyModeOnlyForTheHolderAndKeepTheModeOn) {
  SetPassword("secret");
  ScriptedPrompt none({});
  EXPECT_TRUE(MayOpenFamilyPages(none));
  EXPECT_EQ(none.shown, 0);

  SetFamilyMode(true);
  ScriptedPrompt right({"secret"});
  EXPECT_TRUE(MayOpenFamilyPages(right));
  EXPECT_TRUE(IsFamilyModeOn());
  ScriptedPrompt cancel({std::nullopt});
  EXPECT_FALSE(MayOpenFamilyPages(cancel));
  EXPECT_TRUE(IsFamilyModeOn());
}

TEST_F(FamilyModeTest, EnteringStopsUnsafeJobsAndRefreshesLeavingNeedsThePassword) {
  StartSystem(2);
  auto running = std::make_shared<FamilyOnlyWhenSafeJob>("unsafe running", false, [](TestJob& job) {
    job.gate.Wait();
    job.CheckStop();
    return kResultSuccess;
  });
  auto waiting = std::make_shared<FamilyOnlyWhenSafeJob>("unsafe waiting", false);
  auto safe = std::make_shared<FamilyOnlyWhenSafeJob>("safe waiting", true);
  waiting->runnable = false;
  safe->runnable = false;
  manager().AddJob(running);
  FirstTick();
  Tick();
  ASSERT_TRUE(WaitFor([&] { return running->entered.load() == 1; }));
  manager().AddJob(waiting);
  manager().AddJob(safe);

  EXPECT_TRUE(EnterFamilyMode());
  EXPECT_TRUE(IsFamilyModeOn());
  EXPECT_TRUE(running->StopRequested());
  EXPECT_EQ(manager().RunningCount(), 0);
  ASSERT_EQ(manager().JobCount(), 1u);
  EXPECT_EQ(manager().JobAt(0), safe);
  EXPECT_EQ(m_hooks->calls, (std::vector<std::string>{"clear", "refill on"}));
  EXPECT_TRUE(m_log.Has("Family Policy:full access password: (blank) current mode: family mode"));
  running->gate.Open();

  SetPassword("secret");
  ScriptedPrompt wrong({"no", std::nullopt});
  EXPECT_TRUE(LeaveFamilyMode(wrong));
  EXPECT_TRUE(IsFamilyModeOn());
  ScriptedPrompt right({"secret"});
  EXPECT_TRUE(LeaveFamilyMode(right));
  EXPECT_FALSE(IsFamilyModeOn());
  EXPECT_EQ(m_hooks->calls,
            (std::vector<std::string>{"clear", "refill on", "refill on", "refill off"}));
}

}  // namespace
}  // namespace tulix
