#pragma once

#include "tests/support/RunToEnd.h"
#include "transfer/FolderScanner.h"
#include "transfer/TransferSession.h"

#include <string>

class TrustStore;

// Runs one job once over one TransferSession, as the transfer side sends a run's files, with a
// progress callback on every file. Returns "" when every file went, else the first failure as
// "<local path>: <result text>".
inline std::string RunOverOneSession(const UploadJob& job, const TrustStore* trust)
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
