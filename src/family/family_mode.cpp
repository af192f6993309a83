#include "family/family_mode.h"

#include <exception>
#include <memory>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "jobs/job.h"
#include "jobs/job_manager.h"

namespace tulix {

namespace {

// A wrong password may be tried this often in one showing of the dialog.
constexpr int kPasswordAttempts = 3;

const char* const kPolicyListTexts[] = {
    "Full uncontrolled access",
    "Password control on Quendral startup",
    "Family mode on startup",
};

FamilyModeHooks* Hooks() {
  return App().familyHooks.get();
}

}  // namespace

bool IsFamilyModeOn() {
  return HasApp() && App().FamilyMode.load(std::memory_order_acquire) != 0;
}

void SetFamilyMode(bool on) {
  App().FamilyMode.store(on ? 1 : 0, std::memory_order_release);
}

const char* FamilyPolicyListText(int position) {
  return position >= 0 && position < 3 ? kPolicyListTexts[position] : "";
}

int PolicyListPosition(int policy) {
  switch (policy) {
    case kPolicyFullAccess:
      return 0;
    case kPolicyPasswordOnStartup:
      return 1;
    default:
      return 2;
  }
}

int PolicyOfListPosition(int position) {
  switch (position) {
    case 0:
      return kPolicyFullAccess;
    case 1:
      return kPolicyPasswordOnStartup;
    default:
      return kPolicyFamilyOnStartup;
  }
}

const char* FamilyPolicyLogText(int policy) {
  switch (policy) {
    case kPolicyFullAccess:
      return "full access";
    case kPolicyPasswordOnStartup:
      return "password required on startup";
    case kPolicyFamilyOnStartup:
      return "start in family mode";
    default:
      return "*** error in family policy value ***";
  }
}

uint32_t FamilyPasswordHash(std::string_view password) {
  uint32_t h = 0;
  for (char c : password) {
    // The stored hashes were made with characters as signed bytes: a byte above 127 is
    // subtracted, not added.
    h = (h << 4) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) {
      h ^= g >> 24;
    }
    h ^= g;
  }
  return h;
}

void LogFamilyPolicy() {
  const AppSettings& settings = App().settings();
  LogMessage(kLogStatusBar, kLogPlain, "Family Policy:%s password: (%s) current mode: %s",
             FamilyPolicyLogText(settings.MaxScan), settings.ScanKey != 0 ? "set" : "blank",
             IsFamilyModeOn() ? "family mode" : "full access");
}

bool RunPasswordDialog(PasswordPrompt& prompt) {
  const auto stored = static_cast<uint32_t>(App().settings().ScanKey);
  for (int failures = 0;;) {
    const std::optional<std::string> entered = prompt.AskPassword();
    if (!entered) {
      SetFamilyMode(true);
      return false;
    }
    if (FamilyPasswordHash(*entered) == stored) {
      SetFamilyMode(false);
      return true;
    }
    LogMessage(kLogStatusBar | kLogMessageBox, kLogError, "Incorrect password");
    if (++failures == kPasswordAttempts) {
      SetFamilyMode(true);
      LogMessage(kLogStatusBar | kLogMessageBox | kLogAlert, kLogPlain,
                 "Too many password attempts entering family mode");
      return false;
    }
  }
}

bool MayOpenFamilyPages(PasswordPrompt& prompt) {
  if (!IsFamilyModeOn()) {
    return true;
  }
  if (!RunPasswordDialog(prompt)) {
    return false;
  }
  SetFamilyMode(true);
  return true;
}

void ApplyStartupFamilyPolicy(PasswordPrompt& prompt) {
  LogFamilyPolicy();
  switch (App().settings().MaxScan) {
    case kPolicyFullAccess:
      SetFamilyMode(false);
      break;
    case kPolicyFamilyOnStartup:
      SetFamilyMode(true);
      break;
    default:
      RunPasswordDialog(prompt);
      break;
  }
}

void StopJobsNotFamilySafe(CJobManager& manager) {
  // Stopping takes jobs out of the list, so walk a copy.
  std::vector<std::shared_ptr<CJob>> unsafe;
  for (size_t i = 0; i < manager.JobCount(); ++i) {
    std::shared_ptr<CJob> job = manager.JobAt(i);
    if (!job->IsFamilySafe()) {
      unsafe.push_back(std::move(job));
    }
  }
  for (const auto& job : unsafe) {
    if (job->HasThread()) {
      manager.StopJob(*job, 2);
    } else {
      manager.DetachOrDelete(*job);
    }
  }
}

bool EnterFamilyMode() {
  try {
    SetFamilyMode(true);
    if (CJobManager* manager = App().jobManager.get()) {
      StopJobsNotFamilySafe(*manager);
    }
    if (FamilyModeHooks* hooks = Hooks()) {
      hooks->ClearStatusAndTasks();
    }
    ApplyFamilyMode();
    return true;
  } catch (const std::exception&) {
    LogMessage(kLogStatusBar, kLogError, "Problem entering family mode");
    return false;
  }
}

bool LeaveFamilyMode(PasswordPrompt& prompt) {
  try {
    RunPasswordDialog(prompt);
    ApplyFamilyMode();
    return true;
  } catch (const std::exception&) {
    LogMessage(kLogStatusBar, kLogError, "Problem leaving family mode");
    return false;
  }
}

void ApplyFamilyMode() {
  if (FamilyModeHooks* hooks = Hooks()) {
    hooks->RefillViews();
  }
  LogFamilyPolicy();
}

}  // namespace tulix
