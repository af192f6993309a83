#include "ui/results_pane.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>

#include <mutex>

#include "base/application.h"
#include "base/log.h"
#include "definitions/site_list.h"
#include "results/result_sort.h"
#include "results/search_result.h"
#include "ui/core_text.h"

namespace tulix {

namespace {

// How long after a change the pane refreshes: short enough to look live, long enough that a
// flood of hits costs a handful of refreshes a second.
constexpr int kRefreshDelayMs = 200;

std::recursive_mutex& ResultsLock() {
  return App().resultsLock;
}

}  // namespace

// ---- the model ----

const std::vector<MarkupLine>& ResultText::Lines() const {
  if (!m_lines) {
    m_lines = ParseResultMarkup(DisplayHtmlOf(m_text));
  }
  return *m_lines;
}

ResultsModel::ResultsModel(QObject* parent) : QAbstractTableModel(parent), m_sortKey(kDefaultSortKey) {}

void ResultsModel::Show(SavedSearch* search) {
  if (search != m_search) {
    m_prepared.clear();
  }
  m_search = search;
  Refill();
}

ResultRow ResultsModel::MakeRow(const SearchResult& result) {
  ResultRow row;
  row.href = result.href;
  // A merge only ever replaces the text with a longer one, so an unchanged size is the same text.
  std::shared_ptr<const ResultText>& prepared = m_prepared[result.href];
  if (!prepared || prepared->size() != result.text.size()) {
    prepared = std::make_shared<const ResultText>(result.text);
  }
  row.text = prepared;
  row.percent = result.score.percent;
  row.mark = result.score.mark;
  row.engines = FromCoreText(result.EngineNames(" "));
  return row;
}

void ResultsModel::Refill() {
  std::vector<ResultRow> rows;
  if (m_search != nullptr) {
    std::lock_guard lock(ResultsLock());
    const std::vector<SearchResult*> sorted = SortedResults(m_search->current(), m_sortKey);
    rows.reserve(sorted.size());
    for (const SearchResult* result : sorted) {
      rows.push_back(MakeRow(*result));
    }
  }
  beginResetModel();
  m_rows = std::move(rows);
  endResetModel();
  emit headerDataChanged(Qt::Horizontal, kResultColumn, kResultColumn);
}

void ResultsModel::SetSortKey(int key) {
  m_sortKey = key;
  Refill();
}

void ResultsModel::RefreshRow(int row) {
  if (m_search == nullptr || row < 0 || row >= rowCount()) {
    return;
  }
  {
    std::lock_guard lock(ResultsLock());
    const SearchResult* result = m_search->current().FindFirst(m_rows[static_cast<size_t>(row)].href);
    if (result == nullptr) {
      return;
    }
    m_rows[static_cast<size_t>(row)] = MakeRow(*result);
  }
  emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

int ResultsModel::RowOf(const std::string& href) const {
  for (size_t i = 0; i < m_rows.size(); ++i) {
    if (m_rows[i].href == href) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) {
    return {};
  }
  const ResultRow& row = m_rows[static_cast<size_t>(index.row())];
  if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
    switch (index.column()) {
      case kResultColumn:
        return role == Qt::ToolTipRole ? FromCoreText(row.href) : PlainTextOf(row.text->Lines());
      case kPercentColumn:
        return row.percent < 0 ? QString() : QStringLiteral("%1%").arg(row.percent);
      case kEnginesColumn:
        return row.engines;
    }
  }
  if (role == Qt::ForegroundRole && row.mark == kMarkIrrelevant) {
    return QColor(Qt::gray);
  }
  if (role == Qt::BackgroundRole && row.mark == kMarkRelevant) {
    return QColor(0xE8, 0xF5, 0xE0);
  }
  return {};
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
    return {};
  }
  switch (section) {
    case kResultColumn:
      return QString::fromStdString(SortHeadingText(m_sortKey));
    case kPercentColumn:
      return QStringLiteral("%");
    case kEnginesColumn:
      return QStringLiteral("Engines");
  }
  return {};
}

// ---- drawing ----

void ResultDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
  if (index.column() != ResultsModel::kResultColumn) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  const auto* model = qobject_cast<const ResultsModel*>(index.model());
  QStyleOptionViewItem background = option;
  initStyleOption(&background, index);
  background.text.clear();
  QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);

  const ResultRow& row = model->RowAt(index.row());
  const bool selected = (option.state & QStyle::State_Selected) != 0;
  const QColor plain = selected ? option.palette.color(QPalette::HighlightedText)
                       : row.mark == kMarkIrrelevant ? QColor(Qt::gray)
                                                     : option.palette.color(QPalette::Text);
  painter->save();
  const QRect area = option.rect.adjusted(4, 2, -4, -2);
  const int lineHeight = QFontMetrics(option.font).height();
  int y = area.top();
  const std::vector<MarkupLine>& lines = row.text->Lines();
  for (size_t i = 0; i < lines.size() && i < 2; ++i) {
    int x = area.left();
    for (const MarkupRun& run : lines[i]) {
      QFont font = option.font;
      font.setBold(run.bold);
      font.setItalic(run.italic);
      painter->setFont(font);
      painter->setPen(run.color.isValid() && !selected ? run.color : plain);
      const QFontMetrics metrics(font);
      const int room = area.right() - x;
      if (room <= 0) {
        break;
      }
      const QString shown = metrics.elidedText(run.text, Qt::ElideRight, room);
      painter->drawText(QRect(x, y, room, lineHeight), Qt::AlignLeft | Qt::AlignVCenter, shown);
      x += metrics.horizontalAdvance(shown);
      if (shown != run.text) {
        break;
      }
    }
    y += lineHeight;
  }
  painter->restore();
}

QSize ResultDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  if (index.column() != ResultsModel::kResultColumn) {
    return QStyledItemDelegate::sizeHint(option, index);
  }
  // Every entry is two lines high, so the view never measures thousands of entries.
  return QSize(400, 2 * QFontMetrics(option.font).height() + 6);
}

// ---- the pane ----

ResultsPane::ResultsPane(QWidget* parent) : QTreeView(parent), m_model(new ResultsModel(this)) {
  setObjectName(QStringLiteral("ResultsPane"));
  setModel(m_model);
  setItemDelegate(new ResultDelegate(this));
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAlternatingRowColors(true);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(ResultsModel::kResultColumn, QHeaderView::Stretch);
  header()->resizeSection(ResultsModel::kPercentColumn, 50);
  header()->resizeSection(ResultsModel::kEnginesColumn, 160);
  header()->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(header(), &QHeaderView::customContextMenuRequested, this,
          &ResultsPane::ShowHeaderMenu);
  connect(this, &QTreeView::doubleClicked, this, [this] { OpenSelected(); });
  m_refreshTimer.setSingleShot(true);
  m_refreshTimer.setInterval(kRefreshDelayMs);
  connect(&m_refreshTimer, &QTimer::timeout, this, &ResultsPane::RefreshNow);
}

ResultsPane::~ResultsPane() {
  Show(nullptr);
}

void ResultsPane::Show(SavedSearch* search) {
  SavedSearch* old = m_model->Shown();
  if (old != nullptr && old != search) {
    old->SetChangeListener(nullptr);
  }
  if (search != nullptr) {
    {
      std::lock_guard lock(ResultsLock());
      search->LoadResults();
    }
    search->SetChangeListener(this);
  }
  m_refreshTimer.stop();
  m_model->Show(search);
}

std::string ResultsPane::SelectedHref() const {
  const QModelIndexList rows = selectionModel()->selectedRows();
  if (rows.isEmpty()) {
    return {};
  }
  return m_model->RowAt(rows.front().row()).href;
}

void ResultsPane::SelectHref(const std::string& href) {
  const int row = m_model->RowOf(href);
  if (row >= 0) {
    setCurrentIndex(m_model->index(row, 0));
  }
}

SearchResult* ResultsPane::SelectedResult() const {
  const std::string href = SelectedHref();
  if (href.empty() || Shown() == nullptr) {
    return nullptr;
  }
  return Shown()->current().FindFirst(href);
}

void ResultsPane::OpenSelected() {
  SearchResult* result = nullptr;
  {
    std::lock_guard lock(ResultsLock());
    result = SelectedResult();
  }
  // Results leave a list only on this thread, so the result outlives the visit.
  if (result != nullptr) {
    result->Visit();
  }
}

void ResultsPane::MarkSelected(int mark) {
  std::lock_guard lock(ResultsLock());
  SearchResult* result = SelectedResult();
  if (result != nullptr && Shown()->MarkResult(*result, mark)) {
    m_model->RefreshRow(m_model->RowOf(result->href));
  }
}

void ResultsPane::DeleteSelected() {
  std::lock_guard lock(ResultsLock());
  SearchResult* result = SelectedResult();
  if (result != nullptr) {
    Shown()->DeleteResult(*result, false);
    RefreshNow();
  }
}

void ResultsPane::SetSelectedSiteType(int siteType) {
  const std::string href = SelectedHref();
  if (!href.empty()) {
    SetSiteTypeAndSave(href, siteType);
  }
}

void ResultsPane::CopySelected() {
  std::string link;
  {
    std::lock_guard lock(ResultsLock());
    const SearchResult* result = SelectedResult();
    if (result == nullptr) {
      return;
    }
    link = result->LinkHtml();
  }
  QClipboard* clipboard = QApplication::clipboard();
  if (clipboard == nullptr) {
    LogMessage(kLogMessageBox, kLogPlain, "Cannot open the Clipboard");
    return;
  }
  clipboard->setText(FromCoreText(link));
  if (clipboard->text() != FromCoreText(link)) {
    LogMessage(kLogMessageBox, kLogPlain, "Unable to set Clipboard data");
  }
}

void ResultsPane::ModifySearch() {
  if (Shown() != nullptr) {
    Shown()->EditProperties();
  }
}

void ResultsPane::SortBy(int key) {
  const std::string selected = SelectedHref();
  m_model->SetSortKey(key);
  SelectHref(selected);
}

void ResultsPane::SearchChanged(SavedSearch& search) {
  (void)search;
  // A worker thread with the results lock held: note it and let the main thread refresh.
  if (!m_refreshQueued.exchange(true)) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          m_refreshQueued = false;
          if (!m_refreshTimer.isActive()) {
            m_refreshTimer.start();
          }
        },
        Qt::QueuedConnection);
  }
}

void ResultsPane::RestartRefreshTimer() {
  // Started, never pushed back: engines that report without pause would otherwise keep the
  // list from refreshing until the whole search is over.
  if (!m_refreshTimer.isActive()) {
    m_refreshTimer.start();
  }
}

void ResultsPane::RefreshNow() {
  m_refreshTimer.stop();
  const std::string selected = SelectedHref();
  const int scroll = verticalScrollBar()->value();
  m_model->Refill();
  SelectHref(selected);
  verticalScrollBar()->setValue(scroll);
}

void ResultsPane::contextMenuEvent(QContextMenuEvent* event) {
  const QModelIndex at = indexAt(viewport()->mapFromGlobal(event->globalPos()));
  if (at.isValid()) {
    setCurrentIndex(at);
  }
  const bool haveResult = !SelectedHref().empty();
  QMenu menu(this);
  menu.addAction(QStringLiteral("Open in Browser"), this, &ResultsPane::OpenSelected)
      ->setEnabled(haveResult);
  menu.addSeparator();
  menu.addAction(QStringLiteral("Mark as relevant"), this, [this] { MarkSelected(kMarkRelevant); })
      ->setEnabled(haveResult);
  menu.addAction(QStringLiteral("Mark as ranked"), this, [this] { MarkSelected(kMarkRanked); })
      ->setEnabled(haveResult);
  menu.addAction(QStringLiteral("Mark as irrelevant"), this,
                 [this] { MarkSelected(kMarkIrrelevant); })
      ->setEnabled(haveResult);
  menu.addAction(QStringLiteral("Delete Result"), this, &ResultsPane::DeleteSelected)
      ->setEnabled(haveResult);
  QMenu* site = menu.addMenu(QStringLiteral("Site"));
  site->setEnabled(haveResult);
  site->addAction(QStringLiteral("Normal"), this, [this] { SetSelectedSiteType(kSiteNormal); });
  site->addAction(QStringLiteral("Preferred Shopping Site"), this,
                  [this] { SetSelectedSiteType(kSitePShop); });
  site->addAction(QStringLiteral("Shopping Site"), this, [this] { SetSelectedSiteType(kSiteShop); });
  site->addAction(QStringLiteral("Blacklist Site"), this,
                  [this] { SetSelectedSiteType(kSiteBlacklist); });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Modify Search"), this, &ResultsPane::ModifySearch)
      ->setEnabled(Shown() != nullptr);
  menu.exec(event->globalPos());
}

void ResultsPane::ShowHeaderMenu(const QPoint& at) {
  QMenu menu(this);
  for (const SortCommand& command : kSortCommands) {
    QAction* action = menu.addAction(QString::fromLatin1(command.text), this,
                                     [this, key = command.key] { SortBy(key); });
    action->setCheckable(true);
    action->setChecked(m_model->SortKey() == command.key);
  }
  menu.exec(header()->mapToGlobal(at));
}

}  // namespace tulix
