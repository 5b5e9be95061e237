#pragma once

#include "transfer/FolderNode.h"
#include "transfer/ServerIdentity.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What a job run asks of the transfer side, and what comes back. Everything that crosses is a
// copy: a request carries all its transfer needs, so nothing on the transfer side ever points into
// the window's job list, and the job may change or go while its file is out.

// Names one run of one job for as long as it goes; never reused within a program's run.
using RunId = std::uint64_t;

// One file to put on a server, with the job's login and server as they were when it was asked.
struct FileRequest
{
    std::string userName;
    std::string password;
    std::string webAddress;
    std::string remotePath;
    std::string localPath;
    std::uint16_t port = 21;
    std::int32_t passiveMode = 0;
    // The job's server refused renames earlier: the file goes straight under its final name.
    bool inPlace = false;
};

// How one file went, as TransferFile tells it (transfer/TransferFile.h).
struct FileOutcome
{
    std::string resultText;
    bool success = false;
    // What the server showed, when an identity that could not be verified is why the file failed.
    std::optional<ServerIdentity> untrusted;
    // The server refused renames just now, and the file went under its final name instead.
    bool renameRefused = false;
    // No transfer could be made at all (no client session could be had, memory ran out): the text
    // of the error, and no result text. The run ends at once, without an entry for the file.
    std::optional<std::string> error;
    bool outOfMemory = false;
};

// Carries the runs' requests to the servers and brings back what became of them. Requests of one
// run are answered one after another, in the order asked; different runs go side by side and
// never wait for each other. Every answer reaches the sink later, from the owner's event loop,
// never from inside one of the calls below.
class RunTransport
{
public:
    struct Sink
    {
        // The files a wildcard pattern matches directly in its own folder, in listing order.
        std::function<void(RunId run, std::vector<FilePair> files)> listed;
        // The file being sent has `sent` of `total` bytes out (total 0 when unknown).
        std::function<void(RunId run, std::uint64_t sent, std::uint64_t total)> progress;
        // The file of the run's oldest unanswered Send has ended.
        std::function<void(RunId run, FileOutcome outcome)> fileDone;
        // After Close: the run's connection is closed, and its server free for another run.
        std::function<void(RunId run)> closed;
    };

    virtual ~RunTransport() = default;

    virtual void SetSink(Sink sink) = 0;

    // Lists the files a wildcard pattern matches, without entering any subfolder.
    virtual void List(RunId run, const std::string& pattern) = 0;
    // Sends one file. The files of one run share one login where the address's scheme allows.
    virtual void Send(RunId run, FileRequest request) = 0;
    // The run asks nothing more: its connection closes once its last request has been answered,
    // and `closed` tells when it has (at once for a run that never asked anything).
    virtual void Close(RunId run) = 0;
    // The program is ending: every transfer is cut short at once (its answer, if it still comes,
    // says "Transfer abandoned.") and nothing more is sent.
    virtual void AbandonAll() = 0;
};
