#pragma once

#include "jobs/UploadJob.h"
#include "transfer/FolderNode.h"
#include "transfer/RunTransport.h"
#include "transfer/ServerIdentity.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// What a job run needs of the window's side. The schedule wires these to its job list and the log
// pane; tests put stand-ins in their place.
struct JobRunSeams
{
    // Reads this run's job afresh; returns false once the job has been deleted (the run stops).
    std::function<bool(UploadJob& job)> readJob;
    // Appends one log entry for this run's job.
    std::function<void(const std::string& resultText, const std::string& localPath,
                       const std::string& remotePath)>
        appendLog;
    // The job's server refused renames: from now on its files go straight under their final
    // names. May be left empty.
    std::function<void()> storeInPlace;
};

// What a run asks for next: the files of its pattern, one file sent, the user's word on a server
// that could not be verified, or nothing more (the run has ended).
struct RunStep
{
    enum class Kind
    {
        List,
        Send,
        Ask,
        End,
    };
    Kind kind = Kind::End;
    std::string pattern;   // List
    FileRequest request;   // Send
    ServerIdentity server; // Ask
};

// Uploads one job once and logs every file tried, one step at a time: it never waits, but says
// what it needs next and is told how that went. A single source goes to the destination as
// stored, whatever the outcome. A wildcard source sends each file its pattern matches into the
// destination's remote folder, in listing order, and stops after the first failure; folders that
// match are skipped, and no match sends and logs nothing. The job is read afresh before every
// file, so a change made meanwhile applies to the files still to go, and a deleted job ends the
// run before its next file.
//
// A file that fails because the server's identity could not be verified is put to the user when
// the run was started at the window: once the server is trusted, the same file is sent once more,
// and only that second outcome is logged. Otherwise the failure is logged as it came.
//
// A file that found renames refused gets one entry of its own before the file's, saying that the
// job's files now go straight under their final names.
class JobRun
{
public:
    JobRun(JobRunSeams seams, bool userAtWindow);

    RunStep Start();
    // After a List step.
    RunStep Listed(std::vector<FilePair> files);
    // After a Send step. An outcome that holds an error is not for the run: the caller ends it.
    RunStep FileDone(const FileOutcome& outcome);
    // After an Ask step: whether the server is trusted now.
    RunStep Answered(bool trusted);

    // Whether the run's last entry told of a failure; a run that logged nothing has not failed.
    bool Failed() const { return failed_; }
    bool UserAtWindow() const { return userAtWindow_; }

private:
    RunStep SendNext();
    RunStep Finish(const FileOutcome& outcome);
    void Log(const std::string& resultText);

    JobRunSeams seams_;
    bool userAtWindow_;
    bool wildcard_ = false;
    std::vector<FilePair> files_;
    std::size_t next_ = 0;
    // The file out now, and whether the user has been asked about its server.
    FileRequest current_;
    bool asked_ = false;
    // What the file came to while the user is asked.
    FileOutcome pending_;
    bool failed_ = false;
};

// A source is a wildcard pattern when it holds an asterisk; "?" alone does not make one.
bool IsWildcardSource(const std::string& source);

// The destination up to and including its last "/"; "" when it has none.
std::string RemoteFolderOf(const std::string& destination);
