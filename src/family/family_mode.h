// Family mode: the flag that hides what is not family-safe, the family policy that sets it at
// start-up, the family password and the prompt that guards leaving family mode, and entering,
// leaving and applying the mode.
//
// The flag is App().FamilyMode. The policy (Behaviour\MaxScan), the password hash
// (Behaviour\ScanKey) and the violation address (Behaviour\ScanLog) are settings.
//
// What the desktop program shows is reached through two interfaces it implements: the password
// prompt (a dialog) and FamilyModeHooks (status bar, tasks pane, trees, results pane). The
// prompt's logic (hash check, three attempts, the violation alert) lives here, so it is the same
// for every front end and can be tested. The alert itself goes out through the log's alert flag
// and the AlertSender registered with the log (base/log.h).
//
// Thread safety: IsFamilyModeOn may be called from any thread. Everything else runs on the
// user-interface thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tulix {

class CJobManager;

// Family policy values (Behaviour\MaxScan).
inline constexpr int kPolicyFullAccess = 20;
inline constexpr int kPolicyPasswordOnStartup = 30;
inline constexpr int kPolicyFamilyOnStartup = 40;

// True while family mode hides what is not family-safe; false when no application exists.
bool IsFamilyModeOn();
// Sets App().FamilyMode (1 or 0). Callers that change the mode for the user call
// ApplyFamilyMode afterwards.
void SetFamilyMode(bool on);

// The policy list of the access-control page: "Full uncontrolled access", "Password control on
// Quendral startup", "Family mode on startup" at positions 0, 1, 2; "" for another position.
const char* FamilyPolicyListText(int position);
// 20 gives 0, 30 gives 1, anything else 2.
int PolicyListPosition(int policy);
// 0 gives 20, 1 gives 30, anything else 40.
int PolicyOfListPosition(int position);
// The policy as the policy log line names it; "*** error in family policy value ***" for a
// value that is not a policy.
const char* FamilyPolicyLogText(int policy);

// The hash kept for the family password: the ELF hash, each character taken as a signed 8-bit
// value. The empty password hashes to 0, which is also "no password set", so with no password
// an empty entry is accepted.
uint32_t FamilyPasswordHash(std::string_view password);

// Logs "Family Policy:<policy> password: (set|blank) current mode: <mode>" to the status bar
// and the log.
void LogFamilyPolicy();

// The password dialog "Enter Password For full access" of the desktop program.
class PasswordPrompt {
 public:
  virtual ~PasswordPrompt() = default;
  // Shows the prompt (again, after a wrong entry) and returns the text the user entered on OK,
  // or nothing on Cancel.
  virtual std::optional<std::string> AskPassword() = 0;
};

// Drives one showing of the password dialog: a right password turns family mode off and
// returns true. A wrong one logs "Incorrect password" (status bar, message box) and asks again;
// the third wrong one turns family mode on and logs "Too many password attempts entering
// family mode" with the alert flag, which mails the violation. Cancel turns family mode on.
// Returns false in every case that leaves family mode on.
bool RunPasswordDialog(PasswordPrompt& prompt);

// Whether a family options page may open: always outside family mode; in family mode only after
// the right password, and then family mode stays on (the holder edits without leaving it).
bool MayOpenFamilyPages(PasswordPrompt& prompt);

// What family mode needs of the desktop program's views. Registered in App().familyHooks;
// called on the user-interface thread.
class FamilyModeHooks {
 public:
  virtual ~FamilyModeHooks() = default;
  // Clears the status bar text and the tasks pane (entering family mode).
  virtual void ClearStatusAndTasks() = 0;
  // Refills the category tree, the tree of searches and the quick-search category list with
  // what is visible now, and clears the results pane when the search it shows is no longer
  // visible (else redraws it).
  virtual void RefillViews() = 0;
};

// The start-up step: logs the policy, then 20 turns family mode off, 40 turns it on, and any
// other value asks for the password.
void ApplyStartupFamilyPolicy(PasswordPrompt& prompt);

// Turns family mode on, stops the jobs that are not family-safe, clears the status bar and the
// tasks pane and applies the mode. A failure is logged as "Problem entering family mode" and
// returns false.
bool EnterFamilyMode();
// Asks for the password (its outcome sets the mode) and applies the mode. A failure is logged
// as "Problem leaving family mode" and returns false.
bool LeaveFamilyMode(PasswordPrompt& prompt);
// Shows what is visible now (RefillViews) and logs the policy. Called after every change of
// the mode.
void ApplyFamilyMode();

// Stops every job of `manager` whose IsFamilySafe() is false: a running one is killed and left
// to end as an orphan, a waiting one is taken out of the list.
void StopJobsNotFamilySafe(CJobManager& manager);

}  // namespace tulix
