#include "engine/ScheduleRunner.h"

#include "engine/ActivityLogText.h"
#include "engine/JobRun.h"
#include "engine/RunTracker.h"
#include "engine/Scheduler.h"
#include "transfer/TransferSession.h"
#include "transfer/TrustStore.h"

#include <chrono>
#include <ctime>
#include <exception>
#include <new>
#include <utility>

namespace {
const char* const kInternalError = "Internal application error.";

// Runs one step and turns whatever escapes it into the text of an error box, so that no exception
// ever reaches the window's event handlers.
std::optional<StepError> Guard(const std::function<void()>& step)
{
    try {
        step();
    } catch (const std::bad_alloc&) {
        return StepError{"Out of memory.", true};
    } catch (const std::exception& e) {
        const std::string text = e.what();
        return StepError{text.empty() ? kInternalError : text, false};
    } catch (...) {
        return StepError{kInternalError, false};
    }
    return std::nullopt;
}
} // namespace

ScheduleRunner::ScheduleRunner(JobList& jobs, const std::int32_t& running, ScheduleSeams seams,
                               const std::string& trustRoot)
    : jobs_(jobs), running_(running), seams_(std::move(seams)),
      runs_(std::make_unique<RunTracker>()), trust_(std::make_unique<TrustStore>(trustRoot))
{
    transfer_ = [this](const UploadJob& job, const std::string& remotePath,
                       const std::string& localPath, std::string& resultText, std::int32_t& success,
                       const TransferProgress& progress) {
        // A run nested in this transfer's progress has its own; only ours is kept.
        std::optional<ServerIdentity> untrusted;
        TransferReplace replace{job.storeInPlace, false};
        if (session_ != nullptr) {
            session_->Send(job.userName, job.password, job.webAddress, remotePath, localPath,
                           job.port, job.passiveMode, resultText, success, progress,
                           {trust_.get(), &untrusted}, &replace);
        } else {
            TransferFile(job.userName, job.password, job.webAddress, remotePath, localPath,
                         job.port, job.passiveMode, resultText, success, progress,
                         {trust_.get(), &untrusted}, &replace);
        }
        lastUntrusted_ = std::move(untrusted);
        lastRenamesRefused_ = replace.renameRefused;
    };
}

ScheduleRunner::~ScheduleRunner() = default;

std::optional<StepError> ScheduleRunner::TimerTick()
{
    // Ticks that arrive while a tick or a transfer is in progress are dropped, never caught up.
    if (inTick_ || running_ == 0 || inTransfer_ > 0) {
        return std::nullopt;
    }
    inTick_ = true;
    std::optional<StepError> error = Guard([this] { Tick(false); });
    inTick_ = false;
    return error;
}

std::optional<StepError> ScheduleRunner::StartUpStep()
{
    return Guard([this] { Tick(false); });
}

std::optional<StepError> ScheduleRunner::UpdateSelected()
{
    return Guard([this] { Tick(true); });
}

void ScheduleRunner::JobRemoved(int position)
{
    runs_->JobRemoved(position);
}

void ScheduleRunner::Tick(bool selectedOnly)
{
    const RunJobAt run = [this, selectedOnly](int position) { Run(position, selectedOnly); };
    if (!selectedOnly) {
        ScheduledStep(jobs_, running_, run);
        return;
    }
    if (!seams_.selectedCount || !seams_.nextSelected) {
        return;
    }
    SelectedStep(seams_.selectedCount(), seams_.nextSelected, run);
}

void ScheduleRunner::Run(int position, bool userAtWindow)
{
    const std::shared_ptr<RunSlot> slot = runs_->Begin(position);
    // The run's own session, closed when the run ends; a run nested in this one (from the events
    // a transfer or a log entry lets in) has its own, and ours is back in place after it.
    TransferSession session;
    struct SessionScope
    {
        TransferSession*& current;
        TransferSession* previous;
        ~SessionScope() { current = previous; }
    } scope{session_, std::exchange(session_, &session)};
    JobRunSeams seams;
    seams.readJob = [this, slot](UploadJob& job) {
        return !abandoned_ && ReadTrackedJob(*slot, jobs_, job);
    };
    seams.transfer = [this](const UploadJob& job, const std::string& remotePath,
                            const std::string& localPath, std::string& resultText,
                            std::int32_t& success) {
        lastUntrusted_.reset();
        lastRenamesRefused_ = false;
        TransferWithProgress(job, remotePath, localPath, resultText, success);
    };
    seams.renamesRefused = [this, slot] {
        if (!std::exchange(lastRenamesRefused_, false)) {
            return false;
        }
        if (slot->position >= 0 && slot->position < static_cast<int>(jobs_.size())) {
            jobs_[static_cast<std::size_t>(slot->position)].storeInPlace = true;
        }
        return true;
    };
    seams.listFiles = ListPatternFiles;
    // The run's outcome is its last entry's; a run that logs nothing has not failed.
    bool failed = false;
    seams.appendLog = [this, slot, &failed](const std::string& resultText,
                                            const std::string& localPath,
                                            const std::string& remotePath) {
        failed = resultText != "Ok.\r\n";
        Log(slot->position, resultText, localPath, remotePath);
    };
    seams.untrustedServer = [this] { return lastUntrusted_; };
    if (userAtWindow) {
        seams.askTrust = [this](const ServerIdentity& server) { return AskTrust(server); };
    }
    RunJob(seams);
    if (userAtWindow || slot->removed || slot->position < 0 ||
        slot->position >= static_cast<int>(jobs_.size())) {
        return;
    }
    AfterScheduledRun(jobs_[static_cast<std::size_t>(slot->position)], failed,
                      static_cast<std::int64_t>(std::time(nullptr)));
    if (seams_.scheduledRunEnded) {
        seams_.scheduledRunEnded(slot->position);
    }
}

// Asks the user about a server that could not be verified, and records it as trusted on yes.
bool ScheduleRunner::AskTrust(const ServerIdentity& server)
{
    if (abandoned_ || !seams_.askTrust || !seams_.askTrust(server)) {
        return false;
    }
    std::string why;
    if (!trust_->Trust(server, why)) {
        if (seams_.trustNotRecorded) {
            seams_.trustNotRecorded(why);
        }
        return false;
    }
    return true;
}

void ScheduleRunner::TransferWithProgress(const UploadJob& job, const std::string& remotePath,
                                          const std::string& localPath, std::string& resultText,
                                          std::int32_t& success)
{
    // Told to the window however the transfer ends.
    struct TransferScope
    {
        ScheduleRunner& runner;
        ~TransferScope()
        {
            --runner.inTransfer_;
            if (runner.seams_.transferEnds) {
                runner.seams_.transferEnds();
            }
        }
    };
    ++inTransfer_;
    const TransferScope scope{*this};
    if (seams_.transferBegins) {
        seams_.transferBegins(localPath);
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastDispatch = Clock::now();
    int shownPercent = -1;
    const TransferProgress progress = [&](std::uint64_t sent, std::uint64_t total) {
        const int percent = total > 0 ? static_cast<int>(sent * 100 / total) : 0;
        if (percent != shownPercent) {
            shownPercent = percent;
            if (seams_.transferProgress) {
                seams_.transferProgress(percent);
            }
        }
        // The window answers while the bytes go out, as it does after each log entry.
        if (Clock::now() - lastDispatch >= std::chrono::milliseconds(20)) {
            if (seams_.dispatchEvents) {
                seams_.dispatchEvents();
            }
            lastDispatch = Clock::now();
        }
        return !abandoned_;
    };
    transfer_(job, remotePath, localPath, resultText, success, progress);
}

void ScheduleRunner::Log(int position, const std::string& resultText, const std::string& localPath,
                         const std::string& remotePath)
{
    std::string web;
    std::string user;
    const std::time_t now = std::time(nullptr);
    if (position >= 0 && position < static_cast<int>(jobs_.size())) {
        UploadJob& job = jobs_[static_cast<std::size_t>(position)];
        web = job.webAddress;
        user = job.userName;
        // Each file's entry is the job's latest outcome, so a pattern run ends on its last file's.
        job.lastRun = {static_cast<std::int64_t>(now), resultText != "Ok.\r\n", resultText};
    }
    if (seams_.showLogEntry) {
        seams_.showLogEntry(position, ActivityLogText::Entry(ActivityLogText::Stamp(now), web, user,
                                                             remotePath, localPath, resultText));
    }
    if (seams_.dispatchEvents) {
        seams_.dispatchEvents();
    }
}
