#pragma once

#include "transfer/PendingUploads.h"
#include "transfer/ServerAddress.h"
#include "transfer/SftpChannel.h"
#include "transfer/SshLink.h"
#include "transfer/TransferFile.h"
#include "transfer/TransferSession.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// SFTP, over libssh: one connection a session, the host key checked against the user's
// known-hosts file only, the login by password or, without one, by the user's SSH keys, and the
// file published as on every secure server.
namespace transfer {

// A session's SSH connection and its file transfer channel.
struct SftpConnection
{
    SshLink link;
    SftpChannel channel{link};
};

// One file for SendOverSftp, as TransferSession's SendFile has made it ready.
struct SftpUpload
{
    const ServerAddress& address;
    const std::string& userName;
    const std::string& password;
    const std::string& directory; // the destination's folder as the job names it, "/" at its end
    const std::string& name;      // the destination's name in it
    const std::string& temporary; // the temporary name to store under first; "" for none
    std::FILE* local;             // null when there is nothing to read
    std::uint64_t total;
    bool canStore;
    std::vector<PendingUploads::Note>& leftovers;
    PendingUploads::Note& note;
    const TransferProgress& progress;
    const TransferTrust& trust;
    TransferReplace* replace;
};

// Sends the file as TransferFile describes for sftp://, over the session's connection while it
// holds, and gives the result text. The work runs on a thread of its own while this one reports
// progress and watches the time-outs; an abandon or a stall cuts the connection at once.
std::string SendOverSftp(TransferSession::State& state, const SftpUpload& upload);

} // namespace transfer
