#include "ui/tasks_pane.h"

#include <QContextMenuEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QMenu>

#include "base/application.h"
#include "engine/search_job.h"
#include "jobs/job.h"
#include "results/saved_search.h"
#include "ui/core_text.h"

namespace tulix {

namespace {

CSearchJob* SearchJobOf(const std::shared_ptr<CJob>& job) {
  return dynamic_cast<CSearchJob*>(job.get());
}

}  // namespace

TasksPane::TasksPane(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QStringLiteral("TasksPane"));
  setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Engine"), QStringLiteral("Task"),
                   QStringLiteral("Item"), QStringLiteral("State")});
  const int widths[] = {100, 100, 100, 150, 150};
  for (int column = 0; column < 5; ++column) {
    header()->resizeSection(column, widths[column]);
  }
  setRootIsDecorated(false);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformRowHeights(true);
}

void TasksPane::ShowTaskRow(const TaskRow& row) {
  QTreeWidgetItem*& item = m_rows[row.jobId];
  if (item == nullptr) {
    item = new QTreeWidgetItem(this);
    item->setData(kTimeColumn, Qt::UserRole, row.jobId);
  }
  item->setText(kTimeColumn, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
  item->setText(kEngineColumn, FromCoreText(row.name));
  item->setText(kTaskColumn, FromCoreText(row.kind));
  item->setText(kItemColumn, FromCoreText(row.detail));
  item->setText(kStateColumn, FromCoreText(row.status));
}

void TasksPane::RemoveTaskRow(int jobId) {
  auto it = m_rows.find(jobId);
  if (it != m_rows.end()) {
    delete it->second;
    m_rows.erase(it);
  }
}

void TasksPane::PruneTaskRows(const std::function<bool(int jobId)>& isListed) {
  for (auto it = m_rows.begin(); it != m_rows.end();) {
    if (isListed(it->first)) {
      ++it;
    } else {
      delete it->second;
      it = m_rows.erase(it);
    }
  }
}

void TasksPane::ClearRows() {
  m_rows.clear();
  clear();
}

QTreeWidgetItem* TasksPane::RowOfJob(int jobId) const {
  auto it = m_rows.find(jobId);
  return it == m_rows.end() ? nullptr : it->second;
}

int TasksPane::SelectedJobId() const {
  const QList<QTreeWidgetItem*> selected = selectedItems();
  return selected.isEmpty() ? -1 : selected.front()->data(kTimeColumn, Qt::UserRole).toInt();
}

void TasksPane::SelectJob(int jobId) {
  if (QTreeWidgetItem* item = RowOfJob(jobId)) {
    setCurrentItem(item);
  }
}

void TasksPane::CancelSelectedEngine() {
  CJobManager& manager = *App().jobManager;
  const std::shared_ptr<CJob> job = manager.FindById(SelectedJobId());
  CSearchJob* searchJob = SearchJobOf(job);
  if (searchJob == nullptr) {
    return;
  }
  if (!job->HasThread()) {
    // Not on a worker yet (waiting, or started and queued for one): it leaves the list and
    // counts as finished for its search, so the search completes without it.
    if (auto* search = dynamic_cast<SavedSearch*>(&searchJob->Search())) {
      search->JobFinished(*job);
    }
    manager.DeleteJob(manager.IndexOf(job.get()));
    RemoveTaskRow(job->JobId());
    return;
  }
  manager.StopJob(*job, job->StopRequested() ? 1 : 0);
}

void TasksPane::CancelSelectedSearch() {
  CSearchJob* searchJob = SearchJobOf(App().jobManager->FindById(SelectedJobId()));
  if (searchJob == nullptr) {
    return;
  }
  if (auto* search = dynamic_cast<SavedSearch*>(&searchJob->Search())) {
    search->Cancel();
  }
}

void TasksPane::contextMenuEvent(QContextMenuEvent* event) {
  if (QTreeWidgetItem* item = itemAt(viewport()->mapFromGlobal(event->globalPos()))) {
    setCurrentItem(item);
  }
  const bool isSearch = SearchJobOf(App().jobManager->FindById(SelectedJobId())) != nullptr;
  QMenu menu(this);
  menu.addAction(QStringLiteral("Cancel Searching this Engine"), this,
                 &TasksPane::CancelSelectedEngine)
      ->setEnabled(isSearch);
  menu.addAction(QStringLiteral("Cancel Search"), this, &TasksPane::CancelSelectedSearch)
      ->setEnabled(isSearch);
  menu.exec(event->globalPos());
}

}  // namespace tulix
