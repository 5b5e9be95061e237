#include "app/MainDialog.h"

#include "app/AboutDialog.h"
#include "app/AppFileDialog.h"
#include "app/AppMessageBox.h"
#include "app/DialogUnits.h"
#include "app/JobForm.h"
#include "app/JobTable.h"
#include "app/LogPane.h"
#include "app/Resources.h"
#include "app/StoreTrouble.h"
#include "app/TerminationSignals.h"
#include "app/TransferCaption.h"
#include "app/TrustQuestion.h"
#include "app/WidgetText.h"
#include "app/WindowMenu.h"
#include "engine/HistoryFile.h"
#include "engine/JobRun.h"
#include "jobs/JobStore.h"
#include "jobs/PasswordCipher.h"
#include "jobs/SettingsStore.h"
#include "transfer/ThreadedTransport.h"
#include "ui_MainDialog.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTableWidget>
#include <chrono>
#include <optional>

namespace {
// Posted by the list's change handler so that the row is loaded after the change is complete.
const QEvent::Type kLoadRowEvent = static_cast<QEvent::Type>(QEvent::User + 0x400);

// How long an ending program waits for its transfers to stop once cut short.
constexpr std::chrono::milliseconds kEndingTransfers{1500};

// How long the notices of failing and recovered jobs wait for the next change before they go to
// the desktop: when the network or a server goes down, the runs of one tick end within it of
// each other.
constexpr std::chrono::milliseconds kNoticeGathering{750};

class LoadRowEvent : public QEvent
{
public:
    explicit LoadRowEvent(int row) : QEvent(kLoadRowEvent), row(row) {}
    const int row;
};

} // namespace

MainDialog::MainDialog(std::shared_ptr<SettingsStore> store, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::MainDialog>()), store_(std::move(store)),
      form_(this, ui_.get()), table_(nullptr), storeTrouble_(this), caption_(this)
{
    EnsureResources();
    ui_->setupUi(this);
    table_ = JobTable(ui_->jobList);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    PlaceInDialogUnits(this);
    setWindowIcon(ProgramIcon());

    if (!store_) {
        store_ = std::make_shared<SettingsStore>();
    }
    loadReport_ = LoadJobs(*store_, running_, jobs_);
    transport_ = std::make_unique<ThreadedTransport>(PasswordCipher::DefaultKeyStoreRoot());
    MakeRunner();

    logPane_ = new LogPane(ui_->logPane);
    // A history that cannot be written is told once, in a box: a line in the pane would be gone
    // among the next eight entries. The writer may meet it on its own thread, so the box is
    // shown from the window's.
    history_ =
        std::make_unique<HistoryFile>(HistoryFile::DefaultPath(), [this](const std::string& why) {
            QMetaObject::invokeMethod(
                this,
                [this, why] {
                    AppMessageBox::ShowLater(
                        this,
                        QStringLiteral("The history of the log could not be written (%1). The "
                                       "uploads go on, and later entries are written to it "
                                       "again as soon as that works.")
                            .arg(FromText(why)),
                        QMessageBox::Warning);
                },
                Qt::QueuedConnection);
        });
    ui_->statusPicture->setFixedSize(ui_->statusPicture->size());

    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, [this] { OnTimer(1); });

    connect(ui_->addButton, &QPushButton::clicked, this, &MainDialog::OnAdd);
    connect(ui_->deleteButton, &QPushButton::clicked, this, &MainDialog::OnDelete);
    connect(ui_->changeButton, &QPushButton::clicked, this, &MainDialog::OnChange);
    connect(ui_->startButton, &QPushButton::clicked, this, &MainDialog::OnStart);
    connect(ui_->stopButton, &QPushButton::clicked, this, &MainDialog::OnStop);
    connect(ui_->fileButton, &QPushButton::clicked, this, &MainDialog::OnFile);
    connect(ui_->aboutButton, &QPushButton::clicked, this, &MainDialog::OnAbout);
    connect(ui_->updateNowButton, &QPushButton::clicked, this, &MainDialog::OnUpdateNow);

    // Every row whose selected or current state changes posts a load of that row, lost states
    // before gained ones, so that a click ends with the clicked row in the form.
    table_.WatchRows(this, [this](int row) { OnItemChanged(row); });

    // The About item and the login entry live in the window's own context menu.
    windowMenu_ = new WindowMenu(this, [this] { OnAbout(); });

    connect(&TerminationSignals::Instance(), &TerminationSignals::terminationRequested, this,
            &MainDialog::OnTerminationRequested);

    // Form defaults until the window is shown.
    form_.UpdateData(false);
}

MainDialog::~MainDialog()
{
    OnDestroy();
}

int MainDialog::DoModal()
{
    // A signal that came while the jobs were loading ends the window before it shows; the jobs
    // are saved as on every exit.
    int result = QDialog::Rejected;
    if (TerminationSignals::Requested()) {
        terminating_ = true;
        AbandonRuns();
        AppMessageBox::SetSuppressed(true);
    } else {
        result = exec();
    }
    OnDestroy();
    return result;
}

void MainDialog::Present()
{
    if (terminating_ || destroyed_) {
        return;
    }
    if (isMinimized()) {
        showNormal();
    }
    raise();
    activateWindow();
}

void MainDialog::SetTransportForTesting(std::unique_ptr<RunTransport> transport)
{
    runner_.reset();
    transport_ = std::move(transport);
    MakeRunner();
}

void MainDialog::MakeRunner()
{
    runner_ = std::make_unique<ScheduleRunner>(jobs_, running_, ScheduleSeamsForWindow(),
                                               *transport_, PasswordCipher::DefaultKeyStoreRoot());
}

void MainDialog::AbandonRuns()
{
    runner_->Abandon();
    transport_->AbandonAll();
}

void MainDialog::FireTimerForTesting()
{
    if (timer_.isActive()) {
        OnTimer(1);
    }
}

// --- Start-up and end -------------------------------------------------------------------------

void MainDialog::OnInitDialog()
{
    table_.SetUpColumns(fontMetrics().height());

    form_.SetDefaults();

    RefreshJobView(true);
    if (running_ != 0) {
        timer_.start();
    }
    // The resumed schedule counts every job down once, so a job of interval N first runs at the
    // N-th timer tick and one of interval 0 at once; that step waits for the first paint.
    startUpStepDue_ = true;
    ui_->userEdit->setFocus();
    // Told once the window is on the screen, so that the box has the window behind it.
    QTimer::singleShot(0, this, &MainDialog::ReportLoadTrouble);
}

void MainDialog::RunStartUpStep()
{
    if (!startUpStepDue_) {
        return;
    }
    startUpStepDue_ = false;
    if (terminating_) {
        return;
    }
    ShowStepError(runner_->StartUpStep());
}

void MainDialog::ReportLoadTrouble()
{
    if (!terminating_) {
        storeTrouble_.TellLoad(loadReport_, store_->FileName());
    }
}

void MainDialog::OnTerminationRequested()
{
    // Every transfer is cut short and no run goes on. Boxes that are open close, and boxes still
    // to come are not shown; the window then ends from its own loop and saves as on every exit.
    terminating_ = true;
    AbandonRuns();
    AppMessageBox::SetSuppressed(true);
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        auto* dialog = qobject_cast<QDialog*>(window);
        if (dialog != nullptr && dialog != this && dialog->isVisible()) {
            dialog->reject();
        }
    }
    reject();
}

void MainDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!initialized_) {
        initialized_ = true;
        OnInitDialog();
    }
}

void MainDialog::paintEvent(QPaintEvent* event)
{
    QDialog::paintEvent(event);
    // Posted from the first paint, the start-up step runs once this paint has reached the screen,
    // from the dialog's own loop, where the window answers as during any other run.
    if (startUpStepDue_ && !startUpStepPosted_) {
        startUpStepPosted_ = true;
        QMetaObject::invokeMethod(this, &MainDialog::RunStartUpStep, Qt::QueuedConnection);
    }
}

void MainDialog::OnOK()
{
    if (!form_.UpdateData(true)) {
        return;
    }
    QDialog::accept();
}

void MainDialog::OnDestroy()
{
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    timer_.stop();
    // The program ends: what is out is cut short, and on a secure server only its temporary copy
    // is left, which the next run replaces.
    AbandonRuns();
    SaveNow();
    if (auto* threads = dynamic_cast<ThreadedTransport*>(transport_.get())) {
        transfersLeft_ = !threads->WaitUntilIdle(kEndingTransfers);
    }
}

void MainDialog::OnAbout()
{
    AboutDialog about(this);
    about.exec();
}

void MainDialog::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (enter && plain) {
        // No button is the default: Enter presses the focused push button, or else it is the
        // dialog's OK.
        if (auto* button = qobject_cast<QPushButton*>(QApplication::focusWidget());
            button != nullptr && button->window() == this) {
            button->click();
            return;
        }
        OnOK();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event)
{
    windowMenu_->popup(event->globalPos());
}

void MainDialog::customEvent(QEvent* event)
{
    if (event->type() == kLoadRowEvent) {
        OnLoadRow(static_cast<LoadRowEvent*>(event)->row);
        return;
    }
    QDialog::customEvent(event);
}

// --- Form and list ----------------------------------------------------------------------------

void MainDialog::RefreshJobView(bool rebuild, int row)
{
    ui_->startButton->setEnabled(running_ == 0);
    ui_->stopButton->setEnabled(running_ != 0);
    // Both pictures are drawn once and reused.
    static const QPixmap runningPicture = RenderSvg(QStringLiteral(":/status_running.svg"), 48, 48);
    static const QPixmap stoppedPicture = RenderSvg(QStringLiteral(":/status_stopped.svg"), 48, 48);
    ui_->statusPicture->setPixmap(running_ != 0 ? runningPicture : stoppedPicture);
    if (jobs_.empty()) {
        return;
    }
    refreshing_ = true;
    const int count = static_cast<int>(jobs_.size());
    int current = row;
    if (rebuild) {
        current = table_.Fill(jobs_);
    } else {
        form_.UpdateData(true);
    }
    if (current >= 0 && current < count) {
        form_.Load(jobs_[static_cast<std::size_t>(current)]);
    }
    refreshing_ = false;
}

void MainDialog::ShowLastRun(int row)
{
    if (row >= 0 && row < static_cast<int>(jobs_.size())) {
        table_.ShowLastRun(row, jobs_[static_cast<std::size_t>(row)]);
    }
}

void MainDialog::OnItemChanged(int row)
{
    if (refreshing_ || loadPosted_) {
        return;
    }
    // The changes of one click come together; one load after them all is enough.
    loadPosted_ = true;
    QCoreApplication::postEvent(this, new LoadRowEvent(row));
}

void MainDialog::OnLoadRow(int row)
{
    loadPosted_ = false;
    if (loadingRow_) {
        // A load is inside its message box: it loads again once the box has closed.
        loadAgain_ = true;
        return;
    }
    loadingRow_ = true;
    do {
        loadAgain_ = false;
        // The form always ends on the marked row, whichever row's change asked for the load.
        const int mark = table_.Mark();
        RefreshJobView(false, mark >= 0 ? mark : row);
    } while (loadAgain_);
    loadingRow_ = false;
}

void MainDialog::OnAdd()
{
    const UploadJob job = form_.Read();
    if (job.intervalSeconds < 1) {
        form_.ShowIntervalTooSmall();
    } else if (!form_.AddressAccepted(job)) {
        return;
    } else {
        jobs_.push_back(job);
        RefreshJobView(true);
        SaveNow();
    }
    ui_->userEdit->setFocus();
}

void MainDialog::OnChange()
{
    UploadJob job = form_.Read();
    if (job.intervalSeconds < 1) {
        form_.ShowIntervalTooSmall();
        return;
    }
    if (!form_.AddressAccepted(job)) {
        return;
    }
    const int mark = table_.Mark();
    if (mark < 0 || mark >= static_cast<int>(jobs_.size())) {
        AppMessageBox::Show(this, QStringLiteral("Select edit item."), QMessageBox::Information);
        return;
    }
    // The stored password text stays with its job: written back as it is while the password in
    // the form is the one loaded, and kept as the fallback when a typed one cannot be enciphered.
    const UploadJob& previous = jobs_[static_cast<std::size_t>(mark)];
    job.storedPassword = previous.storedPassword;
    job.passwordUnread = previous.passwordUnread && job.password == previous.password;
    // The job stays the same job: a run of it goes on with the new settings from its next file.
    // The last run's outcome belongs to the job, not to its settings: it stays until the next run.
    job.id = previous.id;
    job.runState = previous.runState;
    job.lastRun = previous.lastRun;
    // A server that refused renames still does, as long as the job goes to the same folder there.
    job.storeInPlace =
        previous.storeInPlace && job.webAddress == previous.webAddress &&
        job.port == previous.port && job.userName == previous.userName &&
        RemoteFolderOf(job.destinationFile) == RemoteFolderOf(previous.destinationFile);
    jobs_[static_cast<std::size_t>(mark)] = job;
    RefreshJobView(true);
    SaveNow();
}

void MainDialog::OnDelete()
{
    const int mark = table_.Mark();
    if (mark < 0 || mark >= static_cast<int>(jobs_.size())) {
        return;
    }
    // A run of the job ends after its current file.
    jobs_.erase(jobs_.begin() + mark);
    // The removal itself is no user's choice of row.
    table_.RemoveRow(mark);
    RefreshJobView(true);
    SaveNow();
}

void MainDialog::OnFile()
{
    const std::optional<QString> path = AppFileDialog::OpenExistingFile(this);
    if (!path) {
        return;
    }
    form_.PutChosenFile(*path);
}

// --- Schedule ---------------------------------------------------------------------------------

void MainDialog::OnStart()
{
    running_ = 1;
    timer_.start();
    RefreshJobView(true);
    SaveNow();
}

void MainDialog::OnStop()
{
    timer_.stop();
    running_ = 0;
    RefreshJobView(true);
    SaveNow();
}

void MainDialog::OnTimer(int timerId)
{
    // A window that has not been painted by its first expiry (never exposed) takes its start-up
    // step here, before the tick's own.
    if (startUpStepDue_) {
        RunStartUpStep();
    }
    if (timerId == 1) {
        ShowStepError(runner_->TimerTick());
    }
}

void MainDialog::OnUpdateNow()
{
    ShowStepError(runner_->UpdateSelected());
}

void MainDialog::ShowStepError(const std::optional<StepError>& error)
{
    // The box waits for the user; the schedule does not.
    if (error) {
        AppMessageBox::ShowLater(this, FromText(error->text),
                                 error->outOfMemory ? QMessageBox::Warning : QMessageBox::Critical);
    }
}

ScheduleSeams MainDialog::ScheduleSeamsForWindow()
{
    ScheduleSeams seams;
    seams.selectedCount = [this] { return table_.SelectedCount(); };
    seams.nextSelected = [this](int after) { return table_.NextSelected(after); };
    seams.showLogEntry = [this](int position, const std::string& entry) {
        AppendLog(position, entry);
    };
    seams.runChanged = [this](int position) { ShowLastRun(position); };
    seams.transferBegins = [this](RunId run, const std::string& localPath) {
        caption_.Begin(run, localPath);
    };
    seams.transferProgress = [this](RunId run, int percent) { caption_.Progress(run, percent); };
    seams.transferEnds = [this](RunId run) { caption_.End(run); };
    seams.askTrust = [this](const ServerIdentity& server) {
        AskToTrustLater(this, server, [this](bool trusted) {
            if (runner_) {
                runner_->TrustAnswered(trusted);
            }
        });
    };
    seams.trustNotRecorded = [this](const std::string& why) { TellTrustNotRecorded(this, why); };
    seams.runFailed = [this](const StepError& error) { ShowStepError(error); };
    seams.runEnded = [this](const UploadJob& job) { notices_.RunEnded(job); };
    return seams;
}

FailureNoticeSeams MainDialog::NoticeSeamsForDesktop()
{
    FailureNoticeSeams seams;
    seams.send = [this](const std::string& title, const std::string& body) {
        notifier_.Send(title, body);
    };
    seams.later = [this](std::function<void()> gathered) {
        QTimer::singleShot(kNoticeGathering, this, std::move(gathered));
    };
    return seams;
}

// --- Log pane ---------------------------------------------------------------------------------

void MainDialog::AppendLog(int position, const std::string& entry)
{
    ShowLastRun(position);
    logPane_->Append(entry);
    if (history_) {
        history_->Add(entry);
    }
}

// --- Store ------------------------------------------------------------------------------------

void MainDialog::SaveNow()
{
    storeTrouble_.TellSave(SaveJobs(*store_, running_, jobs_), store_->FileName());
}
