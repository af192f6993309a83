// The options sheet "Options" with its pages, in this order: "Tasks", "My Profile", "Email",
// "Family Censor", "Family Access Control", "Browser Integration".
//
// A page is loaded from the settings when it is first shown and applied only when it has been
// shown. Leaving a page runs its checks; a refused field keeps the page open. Opening a family
// page while family mode is on asks for the family password first (once per showing of the
// sheet); without it the page does not open. Applying applies every shown page and then stores
// all settings.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QDialog>

#include <functional>
#include <vector>

class QTabWidget;

namespace tulix {

class BrowserIntegrationPage;
class EmailPage;
class FamilyAccessPage;
class FamilyCensorPage;
class OptionsPage;
class PasswordPrompt;
class ProfilePage;
class TasksPage;

struct OptionsHooks {
  // Registers (true) or unregisters (false) the browser components; called when the "Browser
  // Integration" page is applied. May be empty.
  std::function<void(bool)> registerBrowserComponents;
  // Asks for the family password; null counts as cancelled. Not owned.
  PasswordPrompt* prompt = nullptr;
};

class OptionsSheet : public QDialog {
  Q_OBJECT
 public:
  OptionsSheet(QWidget* parent, OptionsHooks hooks);

  // Switches to page `index` (in the order above): false when the current page refuses to be
  // left or a family page may not open, and the current page stays.
  bool ShowPage(int index);
  // Checks and applies every page shown so far, then stores the settings. False when a page
  // refused a field (that page is then shown).
  bool Apply();

  QTabWidget* tabs() const { return m_tabs; }
  int PageIndex(const OptionsPage* page) const;
  int currentPage() const;
  TasksPage* tasksPage() const { return m_tasks; }
  ProfilePage* profilePage() const { return m_profile; }
  EmailPage* emailPage() const { return m_email; }
  FamilyCensorPage* censorPage() const { return m_censor; }
  FamilyAccessPage* accessPage() const { return m_access; }
  BrowserIntegrationPage* browserPage() const { return m_browser; }

  void accept() override;

 private:
  void TabChosen(int index);

  OptionsHooks m_hooks;
  QTabWidget* m_tabs = nullptr;
  std::vector<OptionsPage*> m_pages;
  std::vector<bool> m_shown;
  int m_current = -1;
  bool m_familyUnlocked = false;
  TasksPage* m_tasks = nullptr;
  ProfilePage* m_profile = nullptr;
  EmailPage* m_email = nullptr;
  FamilyCensorPage* m_censor = nullptr;
  FamilyAccessPage* m_access = nullptr;
  BrowserIntegrationPage* m_browser = nullptr;
};

// Shows the sheet over `parent`; true when it was closed with OK (its pages then applied).
bool ShowOptionsSheet(QWidget* parent, const OptionsHooks& hooks);

}  // namespace tulix
