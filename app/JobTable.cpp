#include "app/JobTable.h"

#include "app/Resources.h"
#include "app/WidgetText.h"
#include "engine/ActivityLogText.h"

#include <QHeaderView>
#include <QIcon>
#include <QTableWidget>
#include <algorithm>
#include <ctime>
#include <set>

JobTable::JobTable(QTableWidget* list) : list_(list) {}

void JobTable::SetUpColumns(int lineHeight)
{
    list_->setColumnCount(7);
    const struct
    {
        const char* title;
        int width;
    } columns[] = {
        {"web", 150},       {"user name", 100}, {"source file", 100}, {"destination file", 150},
        {"time (sec)", 65}, {"port", 65},       {"passive mode", 100}};
    for (int i = 0; i < 7; ++i) {
        auto* header = new QTableWidgetItem(QString::fromLatin1(columns[i].title));
        header->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        list_->setHorizontalHeaderItem(i, header);
        list_->setColumnWidth(i, columns[i].width);
    }
    list_->verticalHeader()->setVisible(false);
    list_->verticalHeader()->setDefaultSectionSize(lineHeight + 4);
    list_->horizontalHeader()->setHighlightSections(false);
}

int JobTable::Fill(const JobList& jobs)
{
    const int count = static_cast<int>(jobs.size());
    int current = Mark();
    list_->clearSelection();
    list_->setRowCount(0);
    list_->setRowCount(count);
    for (int i = 0; i < count; ++i) {
        const UploadJob& job = jobs[static_cast<std::size_t>(i)];
        const QString cells[7] = {FromText(job.webAddress),
                                  FromText(job.userName),
                                  FromText(job.sourceFile),
                                  FromText(job.destinationFile),
                                  QString::number(job.intervalSeconds),
                                  QString::number(job.port),
                                  job.passiveMode != 0 ? QStringLiteral("TRUE")
                                                       : QStringLiteral("FALSE")};
        for (int column = 0; column < 7; ++column) {
            list_->setItem(i, column, new QTableWidgetItem(cells[column]));
        }
        ShowLastRun(i, job);
    }
    if (current < 0 || current >= count) {
        current = 0;
    }
    const QModelIndex index = list_->model()->index(current, 0);
    list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                        QItemSelectionModel::Rows);
    list_->scrollTo(index, QAbstractItemView::EnsureVisible);
    return current;
}

void JobTable::ShowLastRun(int row, const UploadJob& job)
{
    if (row < 0 || row >= list_->rowCount()) {
        return;
    }
    const UploadJob::LastRun& last = job.lastRun;
    QString tip = QStringLiteral("Not run yet");
    if (last.when != 0) {
        QString text = FromText(last.text).trimmed();
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        tip = QStringLiteral("Last run %1: %2")
                  .arg(FromText(ActivityLogText::Stamp(static_cast<std::time_t>(last.when))), text);
    }
    if (job.runState == UploadJob::RunState::Running) {
        tip += QStringLiteral("\nRunning now");
    } else if (job.runState == UploadJob::RunState::Waiting) {
        tip += QStringLiteral("\nDue now, waiting while another job's run uses the same server");
    } else if (job.retryDue != 0) {
        tip += QStringLiteral("\nNext try due %1")
                   .arg(FromText(ActivityLogText::Stamp(static_cast<std::time_t>(job.retryDue))));
    }
    // Drawn once; the list shows it at its own icon size.
    static const QIcon failedMark(RenderSvg(QStringLiteral(":/job_failed.svg"), 16, 16));
    for (int column = 0; column < list_->columnCount(); ++column) {
        if (QTableWidgetItem* item = list_->item(row, column)) {
            item->setToolTip(tip);
        }
    }
    if (QTableWidgetItem* first = list_->item(row, 0)) {
        first->setIcon(last.failed ? failedMark : QIcon());
    }
}

int JobTable::Mark() const
{
    return list_->currentRow();
}

void JobTable::SetMark(int row)
{
    list_->selectionModel()->setCurrentIndex(list_->model()->index(row, 0),
                                             QItemSelectionModel::NoUpdate);
}

void JobTable::RemoveRow(int row)
{
    const QSignalBlocker blocker(list_->selectionModel());
    list_->removeRow(row);
    SetMark(std::min(row, list_->rowCount() - 1));
}

int JobTable::SelectedCount() const
{
    return static_cast<int>(list_->selectionModel()->selectedRows().size());
}

int JobTable::NextSelected(int after) const
{
    for (int row = after + 1; row < list_->rowCount(); ++row) {
        if (list_->selectionModel()->isRowSelected(row)) {
            return row;
        }
    }
    return -1;
}

void JobTable::WatchRows(QObject* context, std::function<void(int row)> changed)
{
    QItemSelectionModel* selection = list_->selectionModel();
    QObject::connect(selection, &QItemSelectionModel::selectionChanged, context,
                     [changed](const QItemSelection& selected, const QItemSelection& deselected) {
                         for (const QItemSelection* rows : {&deselected, &selected}) {
                             std::set<int> seen;
                             for (const QItemSelectionRange& range : *rows) {
                                 for (int row = range.top(); row <= range.bottom(); ++row) {
                                     if (seen.insert(row).second) {
                                         changed(row);
                                     }
                                 }
                             }
                         }
                     });
    QObject::connect(selection, &QItemSelectionModel::currentRowChanged, context,
                     [changed](const QModelIndex& current, const QModelIndex& previous) {
                         if (previous.isValid()) {
                             changed(previous.row());
                         }
                         if (current.isValid()) {
                             changed(current.row());
                         }
                     });
}
