#include "engine/JobRun.h"

#include "transfer/FolderScanner.h"

const char* const kRenamesRefused =
    "The server refuses renames: this job's files now go straight under their final names, "
    "without the temporary copy that keeps readers from half a file.\r\n";

void RunJob(const JobRunSeams& seams)
{
    UploadJob job;
    if (!seams.readJob(job)) {
        return;
    }
    std::string resultText;
    std::int32_t success = 0;
    const auto send = [&](const std::string& remotePath, const std::string& localPath) {
        seams.transfer(job, remotePath, localPath, resultText, success);
        if (seams.renamesRefused && seams.renamesRefused()) {
            seams.appendLog(kRenamesRefused, localPath, remotePath);
        }
        if (success != 0 || !seams.askTrust || !seams.untrustedServer) {
            return;
        }
        const std::optional<ServerIdentity> server = seams.untrustedServer();
        if (server && seams.askTrust(*server)) {
            seams.transfer(job, remotePath, localPath, resultText, success);
        }
    };

    if (!IsWildcardSource(job.sourceFile)) {
        // One entry, whatever the transfer's outcome.
        send(job.destinationFile, job.sourceFile);
        seams.appendLog(resultText, job.sourceFile, job.destinationFile);
        return;
    }

    // The list is made once; what changes in the folder during the run is not looked at.
    const std::vector<FilePair> files = seams.listFiles(job.sourceFile);
    bool first = true;
    for (const FilePair& file : files) {
        // Every entry lets window events run, which may change or delete this job.
        if (!first && !seams.readJob(job)) {
            return;
        }
        first = false;
        const std::string remotePath = RemoteFolderOf(job.destinationFile) + file.fileName;
        send(remotePath, file.fullPath);
        seams.appendLog(resultText, file.fullPath, remotePath);
        if (success == 0) {
            return;
        }
    }
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

std::vector<FilePair> ListPatternFiles(const std::string& pattern)
{
    FolderScanner scanner;
    scanner.SetRoot(pattern);
    // Only the top level's files are uploaded: a matching subfolder is never walked.
    return scanner.BuildTree(0).files;
}
