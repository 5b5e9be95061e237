#pragma once

#include "jobs/UploadJob.h"
#include "transfer/FolderNode.h"
#include "transfer/ServerIdentity.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What a job run needs from the outside. The window wires these to its job list, the FTP transfer,
// the folder scan and its log pane; tests put stand-ins in their place.
struct JobRunSeams
{
    // Reads this run's job afresh; returns false once the job has been deleted (the run must stop).
    std::function<bool(UploadJob& job)> readJob;
    // Transfers one file with the job's login, server, port and mode (TransferFile's contract).
    std::function<void(const UploadJob& job, const std::string& remotePath,
                       const std::string& localPath, std::string& resultText,
                       std::int32_t& success)>
        transfer;
    // The files a wildcard pattern matches directly in its own folder, in enumeration order.
    std::function<std::vector<FilePair>(const std::string& pattern)> listFiles;
    // Appends one log entry for this run's job, then lets waiting window events run.
    std::function<void(const std::string& resultText, const std::string& localPath,
                       const std::string& remotePath)>
        appendLog;
    // What the last call of `transfer` learned of a server whose identity it could not verify,
    // when that is why it failed; nothing otherwise. May be left empty.
    std::function<std::optional<ServerIdentity>()> untrustedServer;
    // Whether the last call of `transfer` found that the job's server refuses renames, and so
    // stored the file under its final name (as the job's later files will go). May be left empty.
    std::function<bool()> renamesRefused;
    // Set only while the user is at the window ("Update now selected items"); a scheduled run
    // leaves it empty and so never asks. Asks whether to trust the server from now on and records
    // the answer yes; returns true when the server is now trusted.
    std::function<bool(const ServerIdentity& server)> askTrust;
};

// Uploads one job once and logs every file tried. A single source goes to the destination as
// stored, whatever the outcome. A wildcard source sends each file its pattern matches into the
// destination's remote folder, in listing order, and stops after the first failure; folders that
// match are skipped, and no match sends and logs nothing. The job is read afresh before every
// file, so a change made while the log dispatched events applies to the files still to go, and a
// deleted job ends the run at once. Whatever `transfer` throws passes through untouched.
//
// A transfer that fails because the server's identity could not be verified is put to the user
// when `askTrust` is set: once the server is trusted, the same file is sent once more, and only
// that second outcome is logged. Otherwise the failure is logged as it came.
//
// A transfer that found renames refused gets one entry of its own before the file's, saying that
// the job's files now go straight under their final names.
void RunJob(const JobRunSeams& seams);

// A source is a wildcard pattern when it holds an asterisk; "?" alone does not make one.
bool IsWildcardSource(const std::string& source);

// The destination up to and including its last "/"; "" when it has none.
std::string RemoteFolderOf(const std::string& destination);

// The files `pattern` matches in its own folder, without entering any subfolder.
std::vector<FilePair> ListPatternFiles(const std::string& pattern);
