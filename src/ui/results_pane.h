// The results pane: the merged result list of the search the window shows, drawn with the
// entries' own mark-up, sorted by one of the five keys, with the result commands (open, marks,
// delete, site type, copy).
//
// The pane never reads a list while a job writes it: every read takes the results lock, copies
// what the rows show, and lets go. Jobs tell the pane of a change from their own threads
// (SearchChangeListener); the pane only notes it and refreshes on the main thread, at most a few
// times a second, so a flood of results cannot keep the window busy.
//
// Thread safety: main thread, except SearchChanged.
#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "results/saved_search.h"
#include "ui/result_markup.h"

namespace tulix {

// A result's marked-up text, copied out under the results lock, and the lines drawn from it,
// made only when the row is first drawn: a list of thousands shows a few dozen at a time.
class ResultText {
 public:
  explicit ResultText(std::string text) : m_text(std::move(text)) {}
  size_t size() const { return m_text.size(); }
  // Main thread.
  const std::vector<MarkupLine>& Lines() const;

 private:
  std::string m_text;
  mutable std::optional<std::vector<MarkupLine>> m_lines;
};

// What a row of the pane shows of one result, copied out under the results lock.
struct ResultRow {
  std::string href;
  std::shared_ptr<const ResultText> text;  // title, then summary
  int percent = -1;
  int mark = kMarkRanked;
  QString engines;
};

class ResultsModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { kResultColumn, kPercentColumn, kEnginesColumn, kColumnCount };

  explicit ResultsModel(QObject* parent = nullptr);

  // The search shown (null: none); its rows are read at once.
  void Show(SavedSearch* search);
  SavedSearch* Shown() const { return m_search; }
  // Reads the shown search's rows again, sorted by the current key.
  void Refill();
  // Sets the key (1..5, negative for ascending) and re-sorts.
  void SetSortKey(int key);
  int SortKey() const { return m_sortKey; }
  // Re-reads the scores of one row in place, without moving it (a mark changes the order only
  // at the next sort).
  void RefreshRow(int row);

  const ResultRow& RowAt(int row) const { return m_rows.at(static_cast<size_t>(row)); }
  int RowOf(const std::string& href) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  ResultRow MakeRow(const SearchResult& result);

  SavedSearch* m_search = nullptr;
  int m_sortKey;
  std::vector<ResultRow> m_rows;
  // The drawn text of each address, kept while its text stays the same, so a refresh does
  // not read thousands of entries' mark-up again.
  std::unordered_map<std::string, std::shared_ptr<const ResultText>> m_prepared;
};

// Draws the first column's entries: the title in bold on the first line, the summary below.
class ResultDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

class ResultsPane : public QTreeView, public SearchChangeListener {
  Q_OBJECT
 public:
  explicit ResultsPane(QWidget* parent = nullptr);
  ~ResultsPane() override;

  // Shows the search (null: empties the pane) and listens for its changes.
  void Show(SavedSearch* search);
  SavedSearch* Shown() const { return m_model->Shown(); }
  ResultsModel& model() const { return *m_model; }

  // The selected result's address; empty when none is selected.
  std::string SelectedHref() const;
  void SelectHref(const std::string& href);

  // The commands, on the selected result.
  void OpenSelected();
  void MarkSelected(int mark);
  void DeleteSelected();
  void SetSelectedSiteType(int siteType);
  void CopySelected();
  void ModifySearch();
  void SortBy(int key);

  // A job's change of the shown search: refreshed soon, not now.
  void SearchChanged(SavedSearch& search) override;
  // Starts the refresh timer unless it runs (a job reported progress on the shown search).
  void RestartRefreshTimer();
  // Refreshes now (tests, and the timer).
  void RefreshNow();

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void ShowHeaderMenu(const QPoint& at);
  // The selected result, looked up by address in the shown search; the results lock must be
  // held by the caller while it is used.
  SearchResult* SelectedResult() const;

  ResultsModel* m_model;
  QTimer m_refreshTimer;
  std::atomic<bool> m_refreshQueued{false};
};

}  // namespace tulix
