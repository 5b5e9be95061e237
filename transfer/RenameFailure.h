#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <curl/curl.h>

namespace transfer {

// What went wrong in the commands that publish a temporary copy (the removal of the old copy where
// the server's rename cannot replace it, then the rename), as far as the server's words tell.
struct RenameFailure
{
    enum class Step
    {
        RemoveOld, // the old copy could not be removed: it is still there, or never was
        Rename,    // the rename itself failed
    };
    enum class Why
    {
        Exists,  // the destination's name is taken (proftpd says so; SFTP version 3 has no word
                 // for it, and OpenSSH's plain rename answers a bare failure, read as this)
        Refused, // the server refuses renames: permission denied, or not implemented
        Other,   // anything else: a lost connection, a time-out, a folder in the way, a full disk
    };
    Step step = Step::Rename;
    Why why = Why::Other;
    // The server's or the client library's words, for the log.
    std::string reason;
};

// Reads an FTP exchange that stored a temporary copy and then ran the publishing commands, by the
// last command sent and the server's last reply. Nothing when it went well, or when the store
// itself failed and no publishing command was sent.
std::optional<RenameFailure> ReadRenameFailure(CURLcode code, const std::string& lastCommand,
                                               const std::string& lastReply,
                                               const std::string& errorText);

// Why an SFTP rename failed, by the server's status code (or a connection lost on the way).
// OpenSSH's rename that replaces (posixRename) has no "name taken" to fail on.
RenameFailure::Why SftpRenameWhy(std::uint32_t statusCode, bool lost, bool posixRename);

} // namespace transfer
