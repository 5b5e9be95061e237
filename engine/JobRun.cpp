#include "engine/JobRun.h"

#include <utility>

namespace {
const char* const kOk = "Ok.\r\n";
const char* const kRenamesRefused =
    "The server refuses renames: this job's files now go straight under their final names, "
    "without the temporary copy that keeps readers from half a file.\r\n";
} // namespace

JobRun::JobRun(JobRunSeams seams, bool userAtWindow)
    : seams_(std::move(seams)), userAtWindow_(userAtWindow)
{}

RunStep JobRun::Start()
{
    UploadJob job;
    if (!seams_.readJob(job)) {
        return {};
    }
    wildcard_ = IsWildcardSource(job.sourceFile);
    if (!wildcard_) {
        // One file, sent as stored; its entry is written whatever the outcome.
        files_.resize(1);
        return SendNext();
    }
    RunStep step;
    step.kind = RunStep::Kind::List;
    step.pattern = job.sourceFile;
    return step;
}

RunStep JobRun::Listed(std::vector<FilePair> files)
{
    // The list is made once; what changes in the folder during the run is not looked at.
    files_ = std::move(files);
    return SendNext();
}

RunStep JobRun::SendNext()
{
    UploadJob job;
    if (next_ >= files_.size() || !seams_.readJob(job)) {
        return {};
    }
    const FilePair& file = files_[next_++];
    FileRequest& request = current_;
    request.userName = job.userName;
    request.password = job.password;
    request.webAddress = job.webAddress;
    request.port = job.port;
    request.passiveMode = job.passiveMode;
    request.inPlace = job.storeInPlace;
    if (wildcard_) {
        request.remotePath = RemoteFolderOf(job.destinationFile) + file.fileName;
        request.localPath = file.fullPath;
    } else {
        // Read afresh too: a change made while the run waited for its server counts.
        request.remotePath = job.destinationFile;
        request.localPath = job.sourceFile;
    }
    asked_ = false;
    RunStep step;
    step.kind = RunStep::Kind::Send;
    step.request = request;
    return step;
}

RunStep JobRun::FileDone(const FileOutcome& outcome)
{
    if (outcome.renameRefused) {
        if (seams_.storeInPlace) {
            seams_.storeInPlace();
        }
        Log(kRenamesRefused);
    }
    if (!outcome.success && outcome.untrusted && userAtWindow_ && !asked_) {
        asked_ = true;
        pending_ = outcome;
        RunStep step;
        step.kind = RunStep::Kind::Ask;
        step.server = *outcome.untrusted;
        return step;
    }
    return Finish(outcome);
}

RunStep JobRun::Answered(bool trusted)
{
    if (!trusted) {
        return Finish(pending_);
    }
    // The same file once more, now that its server is trusted; only this outcome is logged. A job
    // deleted while the user was asked sends nothing more.
    UploadJob job;
    if (!seams_.readJob(job)) {
        return {};
    }
    RunStep step;
    step.kind = RunStep::Kind::Send;
    step.request = current_;
    return step;
}

RunStep JobRun::Finish(const FileOutcome& outcome)
{
    Log(outcome.resultText);
    if (!wildcard_ || !outcome.success) {
        return {};
    }
    return SendNext();
}

void JobRun::Log(const std::string& resultText)
{
    failed_ = resultText != kOk;
    seams_.appendLog(resultText, current_.localPath, current_.remotePath);
}

bool IsWildcardSource(const std::string& source)
{
    // In UTF-8 no byte of a multibyte character can be mistaken for '*'.
    return source.find('*') != std::string::npos;
}

std::string RemoteFolderOf(const std::string& destination)
{
    const auto slash = destination.rfind('/');
    return slash == std::string::npos ? std::string() : destination.substr(0, slash + 1);
}
