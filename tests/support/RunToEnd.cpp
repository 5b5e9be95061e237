#include "tests/support/RunToEnd.h"

#include "transfer/FolderScanner.h"
#include "transfer/TransferSession.h"

void RunToEnd(JobRun& run, const std::function<std::vector<FilePair>(const std::string&)>& list,
              const std::function<FileOutcome(const FileRequest&)>& send,
              const std::function<bool(const ServerIdentity&)>& ask)
{
    RunStep step = run.Start();
    for (;;) {
        switch (step.kind) {
        case RunStep::Kind::End:
            return;
        case RunStep::Kind::List:
            step = run.Listed(list(step.pattern));
            break;
        case RunStep::Kind::Ask:
            step = run.Answered(ask && ask(step.server));
            break;
        case RunStep::Kind::Send: {
            const FileOutcome outcome = send(step.request);
            if (outcome.error) {
                return;
            }
            step = run.FileDone(outcome);
            break;
        }
        }
    }
}

std::string RunOverOneSession(const UploadJob& job, const TrustStore* trust)
{
    TransferSession session;
    std::string failure;
    JobRunSeams seams;
    seams.readJob = [&](UploadJob& current) {
        current = job;
        return true;
    };
    seams.appendLog = [&](const std::string& resultText, const std::string& localPath,
                          const std::string&) {
        if (resultText != "Ok.\r\n" && failure.empty()) {
            failure = localPath + ": " + resultText;
        }
    };
    JobRun run(seams, false);
    RunToEnd(run, ListPatternFiles, [&](const FileRequest& file) {
        FileOutcome outcome;
        std::int32_t success = 0;
        session.Send(file.userName, file.password, file.webAddress, file.remotePath, file.localPath,
                     file.port, file.passiveMode, outcome.resultText, success,
                     [](std::uint64_t, std::uint64_t) { return true; }, {trust, nullptr});
        outcome.success = success != 0;
        return outcome;
    });
    return failure;
}
