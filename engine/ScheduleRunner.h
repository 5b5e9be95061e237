#pragma once

#include "jobs/UploadJob.h"
#include "transfer/ServerIdentity.h"
#include "transfer/TransferFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class RunTracker;
class TransferSession;
class TrustStore;

// What running the schedule needs from the window. Every member may be left empty: an empty
// selection seam selects nothing, an empty question answers no, the others do nothing.
struct ScheduleSeams
{
    // "Update now selected items": how many rows are selected (asked once per step), and the next
    // selected row after `after` (-1 = before the first), or -1 when there is none.
    std::function<int()> selectedCount;
    std::function<int(int after)> nextSelected;
    // Shows one finished log entry of the job at `position`, whose last run has been recorded.
    std::function<void(int position, const std::string& entry)> showLogEntry;
    // A scheduled run of the job at `position` has ended; its next try may have moved.
    std::function<void(int position)> scheduledRunEnded;
    // Lets the window's waiting events run: after every log entry, and now and then while a file
    // goes out. Handlers run there may change the job list or start a nested run.
    std::function<void()> dispatchEvents;
    // A file starts going out, has reached `percent`, has gone (however the transfer ended).
    std::function<void(const std::string& localPath)> transferBegins;
    std::function<void(int percent)> transferProgress;
    std::function<void()> transferEnds;
    // Puts a server whose identity could not be verified to the user; true when the user trusts
    // it. Asked only during "Update now selected items".
    std::function<bool(const ServerIdentity& server)> askTrust;
    // The server the user chose to trust could not be recorded, for the reason given.
    std::function<void(const std::string& why)> trustNotRecorded;
};

// What escaped a step: the text of the error box, and whether it was exhausted memory.
struct StepError
{
    std::string text;
    bool outOfMemory = false;
};

// Runs the upload schedule on the window's job list and running flag, both owned by the window:
// the timer's tick with its re-entrancy rules, "Update now selected items", each job's run with
// its own transfer session, runs nested in the events a run lets in, and servers that cannot be
// verified. It holds no widget; the window reaches it through the steps below and shows what
// comes back through the seams.
//
// A scheduled run that fails brings its job back soon (AfterScheduledRun); runs of "Update now
// selected items" leave that alone.
//
// A step never throws: whatever escapes a run ends the step at once and comes back as its error.
class ScheduleRunner
{
public:
    // The one-file transfer a run uses; tests put a stand-in here.
    using TransferFunction = std::function<void(
        const UploadJob& job, const std::string& remotePath, const std::string& localPath,
        std::string& resultText, std::int32_t& success, const TransferProgress& progress)>;

    // The servers the user trusts are kept under `trustRoot`.
    ScheduleRunner(JobList& jobs, const std::int32_t& running, ScheduleSeams seams,
                   const std::string& trustRoot);
    ~ScheduleRunner();
    ScheduleRunner(const ScheduleRunner&) = delete;
    ScheduleRunner& operator=(const ScheduleRunner&) = delete;

    // One expiry of the timer: a scheduled step, unless a step or a transfer is already in
    // progress, in which case the tick is dropped, never caught up.
    std::optional<StepError> TimerTick();
    // The resumed schedule's one count-down at start-up: a scheduled step without that guard.
    std::optional<StepError> StartUpStep();
    // "Update now selected items": runs the selected jobs, touching no countdown.
    std::optional<StepError> UpdateSelected();

    // A tick or a transfer is in progress.
    bool Busy() const { return inTick_ || inTransfer_ > 0; }

    // The job at `position` has been removed: runs of it end before their next file.
    void JobRemoved(int position);

    // Abandons whatever runs (the transfer at its next progress report, a run before its next
    // file) and every run to come; no server is put to the user any more.
    void Abandon() { abandoned_ = true; }

    void SetTransfer(TransferFunction transfer) { transfer_ = std::move(transfer); }

private:
    void Tick(bool selectedOnly);
    void Run(int position, bool userAtWindow);
    bool AskTrust(const ServerIdentity& server);
    void TransferWithProgress(const UploadJob& job, const std::string& remotePath,
                              const std::string& localPath, std::string& resultText,
                              std::int32_t& success);
    void Log(int position, const std::string& resultText, const std::string& localPath,
             const std::string& remotePath);

    JobList& jobs_;
    const std::int32_t& running_;
    ScheduleSeams seams_;
    std::unique_ptr<RunTracker> runs_;
    std::unique_ptr<TrustStore> trust_;
    TransferFunction transfer_;
    // The innermost running job's session: a secure server's files go over one login per run.
    TransferSession* session_ = nullptr;
    // What the last transfer found out about a server it could not verify.
    std::optional<ServerIdentity> lastUntrusted_;
    // The last transfer found that the job's server refuses renames.
    bool lastRenamesRefused_ = false;
    bool inTick_ = false;
    int inTransfer_ = 0;
    bool abandoned_ = false;
};
