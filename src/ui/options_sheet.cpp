#include "ui/options_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <utility>

#include "base/settings.h"
#include "family/family_mode.h"
#include "ui/family_pages.h"
#include "ui/options_pages.h"

namespace tulix {

OptionsSheet::OptionsSheet(QWidget* parent, OptionsHooks hooks)
    : QDialog(parent), m_hooks(std::move(hooks)) {
  setWindowTitle(QStringLiteral("Options"));
  m_tasks = new TasksPage;
  m_profile = new ProfilePage;
  m_email = new EmailPage;
  m_censor = new FamilyCensorPage;
  m_access = new FamilyAccessPage;
  m_browser = new BrowserIntegrationPage(m_hooks.registerBrowserComponents);

  m_tabs = new QTabWidget;
  const std::pair<OptionsPage*, const char*> pages[] = {
      {m_tasks, "Tasks"},
      {m_profile, "My Profile"},
      {m_email, "Email"},
      {m_censor, "Family Censor"},
      {m_access, "Family Access Control"},
      {m_browser, "Browser Integration"}};
  for (const auto& [page, title] : pages) {
    m_tabs->addTab(page, QString::fromLatin1(title));
    m_pages.push_back(page);
  }
  m_shown.assign(m_pages.size(), false);
  ShowPage(0);
  connect(m_tabs, &QTabWidget::currentChanged, this, &OptionsSheet::TabChosen);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                       QDialogButtonBox::Apply);
  connect(buttons, &QDialogButtonBox::accepted, this, &OptionsSheet::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &OptionsSheet::reject);
  connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
          [this] { Apply(); });
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_tabs);
  layout->addWidget(buttons);
}

int OptionsSheet::PageIndex(const OptionsPage* page) const {
  for (size_t i = 0; i < m_pages.size(); ++i) {
    if (m_pages[i] == page) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int OptionsSheet::currentPage() const {
  return m_current;
}

bool OptionsSheet::ShowPage(int index) {
  if (index < 0 || index >= static_cast<int>(m_pages.size())) {
    return false;
  }
  if (index != m_current) {
    if (m_current >= 0 && !m_pages[static_cast<size_t>(m_current)]->Check()) {
      return false;
    }
    OptionsPage* page = m_pages[static_cast<size_t>(index)];
    if (page->IsFamilyPage() && !m_familyUnlocked && IsFamilyModeOn()) {
      PasswordPrompt* prompt = m_hooks.prompt;
      if (prompt == nullptr || !MayOpenFamilyPages(*prompt)) {
        return false;
      }
      m_familyUnlocked = true;
    }
    if (!m_shown[static_cast<size_t>(index)]) {
      page->Load();
      m_shown[static_cast<size_t>(index)] = true;
    }
    m_current = index;
  }
  const QSignalBlocker quiet(m_tabs);
  m_tabs->setCurrentIndex(index);
  return true;
}

void OptionsSheet::TabChosen(int index) {
  // The tab bar has already moved: put it back when the page may not be shown.
  if (!ShowPage(index) && m_current >= 0) {
    const QSignalBlocker quiet(m_tabs);
    m_tabs->setCurrentIndex(m_current);
  }
}

bool OptionsSheet::Apply() {
  for (size_t i = 0; i < m_pages.size(); ++i) {
    if (!m_shown[i]) {
      continue;
    }
    if (!m_pages[i]->Check()) {
      if (static_cast<int>(i) != m_current) {
        const QSignalBlocker quiet(m_tabs);
        m_current = static_cast<int>(i);
        m_tabs->setCurrentIndex(m_current);
      }
      return false;
    }
  }
  for (size_t i = 0; i < m_pages.size(); ++i) {
    if (m_shown[i]) {
      m_pages[i]->Apply();
    }
  }
  SaveSettings();
  return true;
}

void OptionsSheet::accept() {
  if (Apply()) {
    QDialog::accept();
  }
}

bool ShowOptionsSheet(QWidget* parent, const OptionsHooks& hooks) {
  OptionsSheet sheet(parent, hooks);
  return sheet.exec() == QDialog::Accepted;
}

}  // namespace tulix
