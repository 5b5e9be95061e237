#pragma once

#include "jobs/UploadJob.h"

#include <functional>

class QObject;
class QTableWidget;

// The seven-column job list: one row per job in list order, each row's last-run tooltip and
// warning mark, the selection and its mark (the current row). It shows the window's job list and
// keeps none of its own.
class JobTable
{
public:
    explicit JobTable(QTableWidget* list);

    // The columns' titles and widths; rows as high as the font's line and a little more.
    void SetUpColumns(int lineHeight);

    // Makes every row anew from `jobs`; the mark stays on its row (row 0 when it is off the
    // list), that row alone is selected and scrolled into view. Returns the marked row.
    int Fill(const JobList& jobs);

    // Puts a row's last-run outcome on its items: the tooltip (with the run going now, or the
    // next try after a failure), and the warning mark after a failure. A row the list does not
    // hold is left alone.
    void ShowLastRun(int row, const UploadJob& job);

    int Mark() const;
    // Moves the mark without touching the selection.
    void SetMark(int row);
    // Removes a row without telling the selection's watchers; the mark stays at the same index,
    // or moves to the new last row when the last row went.
    void RemoveRow(int row);

    int SelectedCount() const;
    // The next selected row after `after` (-1 = before the first), or -1 when there is none.
    int NextSelected(int after) const;

    // Calls `changed` for every row whose selected or current state changes, lost states before
    // gained ones, in the order the changes happen, for as long as `context` lives.
    void WatchRows(QObject* context, std::function<void(int row)> changed);

private:
    QTableWidget* list_;
};
