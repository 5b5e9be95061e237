#pragma once

#include "app/DesktopNotifier.h"
#include "app/JobForm.h"
#include "app/JobTable.h"
#include "app/StoreTrouble.h"
#include "app/TransferCaption.h"
#include "engine/FailureNotices.h"
#include "engine/ScheduleRunner.h"
#include "jobs/JobStore.h"
#include "jobs/UploadJob.h"

#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class HistoryFile;
class LogPane;
class WindowMenu;
class QTableWidget;
class SettingsStore;

namespace Ui {
class MainDialog;
}

// The program's one window: the job form, the job list, the schedule's buttons, the status
// picture and the log pane. It owns the job list and the running flag for the whole run, loads
// them when it is made and saves them whenever a command changes them and when it ends.
//
// The schedule itself runs in a ScheduleRunner on the window's job list and running flag; the
// window hands it the timer's ticks and its commands and shows what it reports. The files go out
// through a RunTransport on threads of their own, so no server ever holds the window, and no
// handler of the window waits for one.
class MainDialog : public QDialog
{
    Q_OBJECT
public:
    // `store` defaults to the user's own settings.
    explicit MainDialog(std::shared_ptr<SettingsStore> store = {}, QWidget* parent = nullptr);
    ~MainDialog() override;

    // Runs the window modally; when it ends the destroy handling runs (timer off, save).
    int DoModal();
    // Brings the window to the front, out of the task bar: another start of the program wants it.
    void Present();

    const JobList& Jobs() const { return jobs_; }
    int Running() const { return running_; }
    bool TimerActive() const { return timer_.isActive(); }
    bool Destroyed() const { return destroyed_; }
    // A transfer was still stuck past the time the ending gives it (in a name look-up, say): the
    // program then leaves without waiting for its threads.
    bool TransfersLeftRunning() const { return transfersLeft_; }

    // Test hooks: replace the transport the runs go through, and deliver one expiry of the
    // running timer.
    void SetTransportForTesting(std::unique_ptr<RunTransport> transport);
    void FireTimerForTesting();
    const ScheduleRunner& RunnerForTesting() const { return *runner_; }
    JobList& JobsForTesting() { return jobs_; }

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void customEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Start-up, end, window commands.
    void OnInitDialog();
    void RunStartUpStep();
    void OnOK();
    void OnDestroy();
    void OnAbout();

    // The job form and the job list.
    void RefreshJobView(bool rebuild, int row = -1);
    // Puts a row's last-run outcome on its items: the tooltip, and the warning mark after a
    // failure.
    void ShowLastRun(int row);
    void OnItemChanged(int row);
    void OnLoadRow(int row);
    void OnAdd();
    void OnChange();
    void OnDelete();
    void OnFile();

    // The schedule.
    void OnStart();
    void OnStop();
    void OnTimer(int timerId);
    void OnUpdateNow();
    void ShowStepError(const std::optional<StepError>& error);
    // What the schedule's runs reach in the window: the selection, the log pane, the rows, the
    // caption's progress, the trust question, the boxes.
    ScheduleSeams ScheduleSeamsForWindow();
    void MakeRunner();
    // Ends every run at once, for a program that is ending.
    void AbandonRuns();
    // What the notices of failing and recovered jobs reach: the desktop, and a moment's wait.
    FailureNoticeSeams NoticeSeamsForDesktop();

    // The log pane: shows one entry of the job at `position`, and the job's last run in its row;
    // the history keeps the entry.
    void AppendLog(int position, const std::string& entry);

    // The settings store.
    void SaveNow();
    void ReportLoadTrouble();

    // A termination signal: abandon what runs, close what is open, end the window.
    void OnTerminationRequested();

    std::unique_ptr<Ui::MainDialog> ui_;
    std::shared_ptr<SettingsStore> store_;
    JobForm form_;
    JobTable table_;
    StoreTrouble storeTrouble_;
    TransferCaption caption_;
    // Before the runner, whose seams reach them.
    DesktopNotifier notifier_;
    FailureNotices notices_{NoticeSeamsForDesktop()};
    std::unique_ptr<RunTransport> transport_;
    std::unique_ptr<ScheduleRunner> runner_;

    JobList jobs_;
    bool refreshing_ = false;
    std::int32_t running_ = 0;
    bool initialized_ = false;
    bool destroyed_ = false;
    bool terminating_ = false;
    bool transfersLeft_ = false;
    // The resumed schedule's one count-down at start-up, due until it has run: it runs from the
    // event loop once the window has been painted, so the window is on the screen before any
    // transfer holds it up.
    bool startUpStepDue_ = false;
    bool startUpStepPosted_ = false;

    // Row loads: the list's changes post one load at a time, and a load that arrives while
    // another is in progress (inside its message box) makes that one run again.
    bool loadPosted_ = false;
    bool loadingRow_ = false;
    bool loadAgain_ = false;

    // What the store could not read at start-up, told once the window shows.
    LoadReport loadReport_;
    QTimer timer_;
    WindowMenu* windowMenu_ = nullptr;
    LogPane* logPane_ = nullptr;
    // Every entry of the pane also goes to the history on disk.
    std::unique_ptr<HistoryFile> history_;
};
