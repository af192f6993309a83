#include "ui/known_sites_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "base/application.h"
#include "ui/core_text.h"

namespace tulix {
namespace {

constexpr int kSiteColumnWidth = 170;
constexpr int kTypeColumnWidth = 100;

QString TypeText(int type) {
  return QString::fromLatin1(SiteTypeDisplayWord(type));
}

}  // namespace

KnownSitesDialog::KnownSitesDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Known Web Sites"));
  if (HasApp() && App().sites != nullptr) {
    m_entries = App().sites->Snapshot();
  }
  m_changed.assign(m_entries.size(), false);

  m_sites = new QTreeWidget;
  m_sites->setObjectName(QStringLiteral("sites"));
  m_sites->setRootIsDecorated(false);
  m_sites->setSelectionMode(QAbstractItemView::SingleSelection);
  m_sites->setHeaderLabels({QStringLiteral("Site"), QStringLiteral("Type")});
  m_sites->header()->resizeSection(0, kSiteColumnWidth);
  m_sites->header()->resizeSection(1, kTypeColumnWidth);
  for (const SiteEntry& entry : m_entries) {
    new QTreeWidgetItem(m_sites, {FromCoreText(entry.host), TypeText(entry.type)});
  }
  connect(m_sites, &QTreeWidget::itemSelectionChanged, this, [this] { SelectionChanged(); });

  auto* typeColumn = new QVBoxLayout;
  const std::pair<int, const char*> kinds[] = {{kSiteBlacklist, "Blocked"},
                                               {kSitePShop, "Preferred Shopping"},
                                               {kSiteShop, "Shopping"},
                                               {kSiteNormal, "Normal"}};
  for (const auto& [type, text] : kinds) {
    auto* button = new QPushButton(QString::fromLatin1(text));
    button->setEnabled(false);
    connect(button, &QPushButton::clicked, this, [this, type = type] { SetSelectedType(type); });
    m_buttons[type] = button;
    typeColumn->addWidget(button);
  }
  typeColumn->addStretch();

  auto* row = new QHBoxLayout;
  row->addWidget(m_sites, 1);
  row->addLayout(typeColumn);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &KnownSitesDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &KnownSitesDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(
      QStringLiteral("Manage web sites that are marked as shopping site etc")));
  layout->addLayout(row);
  layout->addWidget(buttons);
}

QPushButton* KnownSitesDialog::typeButton(int type) const {
  return IsValidSiteType(type) ? m_buttons[type] : nullptr;
}

void KnownSitesDialog::SelectionChanged() {
  const bool selected = m_sites->currentItem() != nullptr && m_sites->currentItem()->isSelected();
  for (QPushButton* button : m_buttons) {
    button->setEnabled(selected);
  }
}

void KnownSitesDialog::SetSelectedType(int type) {
  QTreeWidgetItem* item = m_sites->currentItem();
  if (item == nullptr || !item->isSelected() || !IsValidSiteType(type)) {
    return;
  }
  const auto row = static_cast<size_t>(m_sites->indexOfTopLevelItem(item));
  m_entries[row].type = type;
  m_changed[row] = true;
  item->setText(1, TypeText(type));
}

void KnownSitesDialog::accept() {
  if (HasApp() && App().sites != nullptr) {
    // Only the hosts changed here are written: an update may have merged new hosts into the
    // list while the dialog was open, and those must stay.
    for (size_t i = 0; i < m_entries.size(); ++i) {
      if (m_changed[i]) {
        App().sites->SetHostType(m_entries[i].host, m_entries[i].type);
      }
    }
    App().sites->Save();
  }
  QDialog::accept();
}

void ShowKnownSitesDialog(QWidget* parent) {
  KnownSitesDialog dialog(parent);
  dialog.exec();
}

}  // namespace tulix
