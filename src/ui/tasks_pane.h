// The tasks pane: one row per job the job manager shows, keyed by the job's id, with the
// commands that stop a search's engine or the whole search.
//
// Thread safety: main thread only (the job manager calls its observer there).
#pragma once

#include <QTreeWidget>

#include <functional>
#include <unordered_map>

#include "jobs/job_manager.h"

namespace tulix {

class TasksPane : public QTreeWidget {
  Q_OBJECT
 public:
  enum Column { kTimeColumn, kEngineColumn, kTaskColumn, kItemColumn, kStateColumn };

  explicit TasksPane(QWidget* parent = nullptr);

  void ShowTaskRow(const TaskRow& row);
  void RemoveTaskRow(int jobId);
  void PruneTaskRows(const std::function<bool(int jobId)>& isListed);
  void ClearRows();

  int SelectedJobId() const;
  void SelectJob(int jobId);
  int RowCount() const { return topLevelItemCount(); }
  QTreeWidgetItem* RowOfJob(int jobId) const;

  // "Cancel Searching this Engine": the first time asks the selected search job to stop; when
  // it was asked before and is still running, ends its thread.
  void CancelSelectedEngine();
  // "Cancel Search": stops every job of the selected job's search.
  void CancelSelectedSearch();

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  std::unordered_map<int, QTreeWidgetItem*> m_rows;
};

}  // namespace tulix
