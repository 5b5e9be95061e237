#pragma once

#include "engine/JobRun.h"
#include "jobs/UploadJob.h"
#include "transfer/RunTransport.h"
#include "transfer/ServerIdentity.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class TrustStore;

// What escaped a step or a run: the text of the error box, and whether it was exhausted memory.
struct StepError
{
    std::string text;
    bool outOfMemory = false;
};

// What running the schedule needs from the window. Every member may be left empty: an empty
// selection seam selects nothing, the others do nothing.
struct ScheduleSeams
{
    // "Update now selected items": how many rows are selected (asked once per step), and the next
    // selected row after `after` (-1 = before the first), or -1 when there is none.
    std::function<int()> selectedCount;
    std::function<int(int after)> nextSelected;
    // Shows one finished log entry of the job at `position` (-1 when the job has been deleted),
    // whose last run has been recorded.
    std::function<void(int position, const std::string& entry)> showLogEntry;
    // A run of the job at `position` has begun to wait for its server, started, or ended; the
    // job's run state, and after a scheduled run its next try, may have changed.
    std::function<void(int position)> runChanged;
    // A run of `job` has ended, scheduled or not, and the program goes on; the job's last run
    // holds the outcome of the run's last file (of an earlier run when this one sent none).
    std::function<void(const UploadJob& job)> runEnded;
    // A file of a run starts going out, has reached `percent`, has gone (however it ended).
    std::function<void(RunId run, const std::string& localPath)> transferBegins;
    std::function<void(RunId run, int percent)> transferProgress;
    std::function<void(RunId run)> transferEnds;
    // Puts a server whose identity could not be verified to the user, without waiting: the answer
    // comes back through TrustAnswered. One question at a time; asked only for runs of "Update now
    // selected items".
    std::function<void(const ServerIdentity& server)> askTrust;
    // The server the user chose to trust could not be recorded, for the reason given.
    std::function<void(const std::string& why)> trustNotRecorded;
    // A run ended on an error that no transfer could report (no client session, no memory).
    std::function<void(const StepError& error)> runFailed;
};

// Runs the upload schedule on the window's job list and running flag, both owned by the window:
// the timer's tick, "Update now selected items", and every job's run, each on its own clock. It
// holds no widget and never waits: a run asks its transport for what it needs and goes on when
// the answer comes, so the window's thread is never held by a server, and one job's run never
// holds up another's.
//
// - A job has at most one run at a time: a turn (or an "Update now") that comes while its run is
//   still going, or still waiting for its server, is skipped.
// - One connection per server: runs of jobs whose server (host and port) is the same go one after
//   another, in the order their turns came; runs of different servers go side by side.
// - Runs follow their job by its identity, not its row: rows that move or go never hand a run's
//   results to another job. A changed job applies to its run's next file; a deleted job's run
//   ends after its current file.
// - A scheduled run that fails brings its job back soon (AfterScheduledRun); runs of "Update now
//   selected items" leave that alone.
// - A server that could not be verified is put to the user during "Update now selected items"
//   only, one question at a time; everything else goes on meanwhile.
class ScheduleRunner
{
public:
    // The servers the user trusts are kept under `trustRoot`. The transport's sink is the
    // runner's from now on; the transport must outlive it.
    ScheduleRunner(JobList& jobs, const std::int32_t& running, ScheduleSeams seams,
                   RunTransport& transport, const std::string& trustRoot);
    ~ScheduleRunner();
    ScheduleRunner(const ScheduleRunner&) = delete;
    ScheduleRunner& operator=(const ScheduleRunner&) = delete;

    // One expiry of the timer: counts every job down by one and starts each job whose countdown
    // was 0. Does nothing while the schedule is stopped.
    std::optional<StepError> TimerTick();
    // The resumed schedule's one count-down at start-up: the same step.
    std::optional<StepError> StartUpStep() { return TimerTick(); }
    // "Update now selected items": starts the selected jobs' runs, touching no countdown.
    std::optional<StepError> UpdateSelected();

    // The user's answer to the question put through askTrust.
    void TrustAnswered(bool trusted);

    // Abandons every run: no file goes out any more, no answer is looked at and no question is
    // put. The transport is told by its owner.
    void Abandon();

    // How many runs are going or waiting for their server.
    std::size_t ActiveRuns() const { return runs_.size(); }

private:
    struct Run
    {
        RunId id = 0;
        std::uint64_t jobId = 0;
        std::string server;
        std::unique_ptr<JobRun> run;
        // The file last sent, a copy of what went to the transport.
        FileRequest sent;
        bool sending = false; // that file is out
        int percent = -1;     // how far it has gone, as last shown
        // The server the user is asked about.
        ServerIdentity asking;
    };

    void Identify();
    UploadJob* Find(std::uint64_t jobId);
    int PositionOf(std::uint64_t jobId) const;
    void Begin(UploadJob& job, bool userAtWindow);
    void StartRun(Run& run);
    void Take(Run& run, RunStep step);
    void End(RunId id);
    void SetRunState(std::uint64_t jobId, UploadJob::RunState state);
    void AskNext();
    void Log(const Run& run, const std::string& resultText, const std::string& localPath,
             const std::string& remotePath);

    void OnListed(RunId id, std::vector<FilePair> files);
    void OnProgress(RunId id, std::uint64_t sent, std::uint64_t total);
    void OnFileDone(RunId id, FileOutcome outcome);
    void OnClosed(RunId id);

    JobList& jobs_;
    const std::int32_t& running_;
    ScheduleSeams seams_;
    RunTransport& transport_;
    std::unique_ptr<TrustStore> trust_;
    std::map<RunId, Run> runs_;
    // Per server, the run that holds it (the first) and the runs that wait for it, in the order
    // they came. A run that has ended holds its server until its connection has closed.
    std::map<std::string, std::deque<RunId>> servers_;
    std::map<RunId, std::string> closing_;
    // Runs waiting for the user's word on their server; the first one's question is open.
    std::deque<RunId> questions_;
    bool asking_ = false;
    RunId lastRun_ = 0;
    std::uint64_t lastJobId_ = 0;
    bool abandoned_ = false;
};
