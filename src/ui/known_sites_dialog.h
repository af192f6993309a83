// "Known Web Sites": the known-site list (App().sites) with each host's type, and four buttons
// that set the selected host's type. The changes are kept in the dialog until OK, which writes
// them into the list and saves it to its file; Cancel leaves the list as it was.
//
// Thread safety: user-interface thread only (the list itself may be read by search jobs
// meanwhile; it guards itself).
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "definitions/site_list.h"

class QPushButton;
class QTreeWidget;

namespace tulix {

class KnownSitesDialog : public QDialog {
  Q_OBJECT
 public:
  explicit KnownSitesDialog(QWidget* parent);

  // Columns "Site" and "Type", one row per host in list order.
  QTreeWidget* sites() const { return m_sites; }
  // The buttons that set the selected entry's type: kSiteBlacklist ("Blocked"), kSitePShop,
  // kSiteShop, kSiteNormal. Enabled only while an entry is selected.
  QPushButton* typeButton(int type) const;

  // Sets the type of the selected entry (nothing when none is selected).
  void SetSelectedType(int type);

  // Writes the changed types into App().sites and saves it; closes.
  void accept() override;

 private:
  void SelectionChanged();

  std::vector<SiteEntry> m_entries;  // the list as shown, with the changes made here
  std::vector<bool> m_changed;
  QTreeWidget* m_sites = nullptr;
  QPushButton* m_buttons[4] = {};
};

void ShowKnownSitesDialog(QWidget* parent);

}  // namespace tulix
