#include "engine/ScheduleRunner.h"

#include "engine/ActivityLogText.h"
#include "engine/Scheduler.h"
#include "transfer/ServerAddress.h"
#include "transfer/TrustStore.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <exception>
#include <new>
#include <unordered_set>
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

// The server a job's runs hold while they go: its host (in any case) and port. An address that
// cannot be read names no server; its run fails at once without connecting.
std::string ServerOf(const UploadJob& job)
{
    const std::optional<ServerAddress> address = ParseServerAddress(job.webAddress, job.port);
    if (!address) {
        return "?" + job.webAddress;
    }
    std::string host = address->host;
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host + " " + std::to_string(address->port);
}
} // namespace

ScheduleRunner::ScheduleRunner(JobList& jobs, const std::int32_t& running, ScheduleSeams seams,
                               RunTransport& transport, const std::string& trustRoot)
    : jobs_(jobs), running_(running), seams_(std::move(seams)), transport_(transport),
      trust_(std::make_unique<TrustStore>(trustRoot))
{
    RunTransport::Sink sink;
    sink.listed = [this](RunId id, std::vector<FilePair> files) { OnListed(id, std::move(files)); };
    sink.progress = [this](RunId id, std::uint64_t sent, std::uint64_t total) {
        OnProgress(id, sent, total);
    };
    sink.fileDone = [this](RunId id, FileOutcome outcome) { OnFileDone(id, std::move(outcome)); };
    sink.closed = [this](RunId id) { OnClosed(id); };
    transport_.SetSink(std::move(sink));
}

ScheduleRunner::~ScheduleRunner()
{
    transport_.SetSink({});
}

std::optional<StepError> ScheduleRunner::TimerTick()
{
    return Guard([this] {
        Identify();
        ScheduledStep(jobs_, running_, [this](int position) {
            Begin(jobs_[static_cast<std::size_t>(position)], false);
        });
    });
}

std::optional<StepError> ScheduleRunner::UpdateSelected()
{
    return Guard([this] {
        if (!seams_.selectedCount || !seams_.nextSelected) {
            return;
        }
        Identify();
        SelectedStep(seams_.selectedCount(), seams_.nextSelected, [this](int position) {
            if (position < static_cast<int>(jobs_.size())) {
                Begin(jobs_[static_cast<std::size_t>(position)], true);
            }
        });
    });
}

void ScheduleRunner::Abandon()
{
    abandoned_ = true;
    questions_.clear();
}

// Gives every job that has none (new, or a copy of another) an identity of its own.
void ScheduleRunner::Identify()
{
    std::unordered_set<std::uint64_t> seen;
    for (UploadJob& job : jobs_) {
        if (job.id == 0 || !seen.insert(job.id).second) {
            job.id = ++lastJobId_;
            job.runState = UploadJob::RunState::Idle;
            seen.insert(job.id);
        }
        lastJobId_ = std::max(lastJobId_, job.id);
    }
}

UploadJob* ScheduleRunner::Find(std::uint64_t jobId)
{
    const auto found = std::find_if(jobs_.begin(), jobs_.end(),
                                    [jobId](const UploadJob& job) { return job.id == jobId; });
    return found != jobs_.end() ? &*found : nullptr;
}

int ScheduleRunner::PositionOf(std::uint64_t jobId) const
{
    const auto found = std::find_if(jobs_.begin(), jobs_.end(),
                                    [jobId](const UploadJob& job) { return job.id == jobId; });
    return found != jobs_.end() ? static_cast<int>(found - jobs_.begin()) : -1;
}

void ScheduleRunner::SetRunState(std::uint64_t jobId, UploadJob::RunState state)
{
    if (UploadJob* job = Find(jobId)) {
        job->runState = state;
    }
    if (seams_.runChanged) {
        seams_.runChanged(PositionOf(jobId));
    }
}

void ScheduleRunner::Begin(UploadJob& job, bool userAtWindow)
{
    // A job has one run at a time: a turn that comes while it goes, or waits, is skipped.
    if (abandoned_ || std::any_of(runs_.begin(), runs_.end(), [&job](const auto& entry) {
            return entry.second.jobId == job.id;
        })) {
        return;
    }
    Run run;
    run.id = ++lastRun_;
    run.jobId = job.id;
    run.server = ServerOf(job);
    const std::uint64_t jobId = job.id;
    JobRunSeams seams;
    seams.readJob = [this, jobId](UploadJob& copy) {
        const UploadJob* found = Find(jobId);
        if (found == nullptr || abandoned_) {
            return false;
        }
        copy = *found;
        return true;
    };
    const RunId id = run.id;
    seams.appendLog = [this, id](const std::string& resultText, const std::string& localPath,
                                 const std::string& remotePath) {
        Log(runs_.at(id), resultText, localPath, remotePath);
    };
    seams.storeInPlace = [this, jobId] {
        if (UploadJob* found = Find(jobId)) {
            found->storeInPlace = true;
        }
    };
    run.run = std::make_unique<JobRun>(std::move(seams), userAtWindow);
    std::deque<RunId>& queue = servers_[run.server];
    queue.push_back(id);
    Run& placed = runs_.emplace(id, std::move(run)).first->second;
    if (queue.size() == 1) {
        StartRun(placed);
    } else {
        SetRunState(jobId, UploadJob::RunState::Waiting);
    }
}

void ScheduleRunner::StartRun(Run& run)
{
    SetRunState(run.jobId, UploadJob::RunState::Running);
    Take(run, run.run->Start());
}

// Carries out what the run asks for next.
void ScheduleRunner::Take(Run& run, RunStep step)
{
    if (abandoned_) {
        step.kind = RunStep::Kind::End;
    }
    switch (step.kind) {
    case RunStep::Kind::List:
        transport_.List(run.id, step.pattern);
        return;
    case RunStep::Kind::Send:
        run.sent = step.request;
        run.sending = true;
        if (seams_.transferBegins) {
            seams_.transferBegins(run.id, step.request.localPath);
        }
        transport_.Send(run.id, std::move(step.request));
        return;
    case RunStep::Kind::Ask:
        run.asking = std::move(step.server);
        questions_.push_back(run.id);
        AskNext();
        return;
    case RunStep::Kind::End:
        End(run.id);
        return;
    }
}

void ScheduleRunner::End(RunId id)
{
    const auto found = runs_.find(id);
    if (found == runs_.end()) {
        return;
    }
    Run& run = found->second;
    transport_.Close(id);
    const std::uint64_t jobId = run.jobId;
    const std::string server = run.server;
    const bool scheduled = !run.run->UserAtWindow();
    const bool failed = run.run->Failed();
    runs_.erase(found);

    UploadJob* job = Find(jobId);
    if (job != nullptr && scheduled && !abandoned_) {
        AfterScheduledRun(*job, failed, static_cast<std::int64_t>(std::time(nullptr)));
    }
    if (job != nullptr && !abandoned_ && seams_.runEnded) {
        seams_.runEnded(*job);
    }
    SetRunState(jobId, UploadJob::RunState::Idle);
    // The server stays the run's until its connection has closed.
    closing_[id] = server;
}

void ScheduleRunner::OnClosed(RunId id)
{
    const auto closing = closing_.find(id);
    if (closing == closing_.end()) {
        return;
    }
    const std::string server = closing->second;
    closing_.erase(closing);
    // The server is free: the next run waiting for it starts.
    std::deque<RunId>& queue = servers_[server];
    queue.erase(std::remove(queue.begin(), queue.end(), id), queue.end());
    if (queue.empty()) {
        servers_.erase(server);
        return;
    }
    const auto next = runs_.find(queue.front());
    if (next != runs_.end()) {
        StartRun(next->second);
    }
}

void ScheduleRunner::AskNext()
{
    if (asking_ || questions_.empty()) {
        return;
    }
    const auto found = runs_.find(questions_.front());
    if (found == runs_.end() || abandoned_ || !seams_.askTrust) {
        // Nobody to ask: the file's failure stands.
        questions_.pop_front();
        if (found != runs_.end()) {
            Take(found->second, found->second.run->Answered(false));
        }
        AskNext();
        return;
    }
    asking_ = true;
    seams_.askTrust(found->second.asking);
}

void ScheduleRunner::TrustAnswered(bool trusted)
{
    if (!asking_ || questions_.empty()) {
        return;
    }
    asking_ = false;
    const RunId id = questions_.front();
    questions_.pop_front();
    const auto found = runs_.find(id);
    if (found != runs_.end()) {
        Run& run = found->second;
        if (trusted && !abandoned_) {
            std::string why;
            if (!trust_->Trust(run.asking, why)) {
                trusted = false;
                if (seams_.trustNotRecorded) {
                    seams_.trustNotRecorded(why);
                }
            }
        }
        Take(run, run.run->Answered(trusted && !abandoned_));
    }
    AskNext();
}

void ScheduleRunner::Log(const Run& run, const std::string& resultText,
                         const std::string& localPath, const std::string& remotePath)
{
    const std::time_t now = std::time(nullptr);
    // The entry names the job as it is now; a job deleted during its file as it was sent.
    std::string web = run.sent.webAddress;
    std::string user = run.sent.userName;
    if (UploadJob* job = Find(run.jobId)) {
        web = job->webAddress;
        user = job->userName;
        // Each file's entry is the job's latest outcome, so a pattern run ends on its last file's.
        // The row's tooltip shows the text as the pane does: nothing a server sent may disguise it.
        job->lastRun = {static_cast<std::int64_t>(now), resultText != "Ok.\r\n",
                        ActivityLogText::Printable(resultText, true)};
    }
    if (seams_.showLogEntry) {
        seams_.showLogEntry(PositionOf(run.jobId),
                            ActivityLogText::Entry(ActivityLogText::Stamp(now), web, user,
                                                   remotePath, localPath, resultText));
    }
}

void ScheduleRunner::OnListed(RunId id, std::vector<FilePair> files)
{
    const auto found = runs_.find(id);
    if (found != runs_.end()) {
        Take(found->second, found->second.run->Listed(std::move(files)));
    }
}

void ScheduleRunner::OnProgress(RunId id, std::uint64_t sent, std::uint64_t total)
{
    const auto found = runs_.find(id);
    if (found == runs_.end() || !found->second.sending || abandoned_) {
        return;
    }
    const int percent = total > 0 ? static_cast<int>(sent * 100 / total) : 0;
    if (percent != found->second.percent && seams_.transferProgress) {
        found->second.percent = percent;
        seams_.transferProgress(id, percent);
    }
}

void ScheduleRunner::OnFileDone(RunId id, FileOutcome outcome)
{
    const auto found = runs_.find(id);
    if (found == runs_.end()) {
        return;
    }
    Run& run = found->second;
    if (run.sending) {
        run.sending = false;
        run.percent = -1;
        if (seams_.transferEnds) {
            seams_.transferEnds(id);
        }
    }
    if (abandoned_) {
        End(id);
        return;
    }
    if (outcome.error) {
        // Nothing could be sent at all: the run ends without an entry for the file, and the
        // user is told as of any error.
        End(id);
        if (seams_.runFailed) {
            seams_.runFailed({*outcome.error, outcome.outOfMemory});
        }
        return;
    }
    Take(run, run.run->FileDone(outcome));
}
