#pragma once

#include "transfer/CurlExchange.h"
#include "transfer/PendingUploads.h"
#include "transfer/SftpTransfer.h"
#include "transfer/SshKeyLogin.h"
#include "transfer/TransferSession.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Everything a client session keeps from one file to the next: the handles, and what they point
// to, declared before them so that it outlives them.
struct TransferSession::State
{
    State()
    {
        // Failing to get a session is the single failure that goes to the caller.
        transfer::InitCurlOnce();
        url.reset(curl_url());
        easy.reset(curl_easy_init());
        multi.reset(curl_multi_init());
        if (!easy || !multi || !url) {
            throw TransferSessionError("Could not open an FTP client session.");
        }
    }

    char errorBuffer[CURL_ERROR_SIZE] = {};
    transfer::Exchange exchange;
    transfer::UrlHandle url;
    transfer::StringList quote;
    transfer::StringList postquote;
    transfer::EasyHandle easy;
    transfer::MultiHandle multi;
    // The server's rename does not replace an existing file (SFTP version 3 without OpenSSH's
    // extension): the old copy is removed just before each rename.
    bool removeBeforeRename = false;
    // The copies earlier uploads left behind on this server have been looked for: the session's
    // first file removes them.
    bool leftoversTaken = false;
    // The note naming the session's temporary copy while one is out.
    PendingUploads::Note note;
    // The way of offering SSH keys that logged in, tried first when the session connects again.
    std::optional<transfer::SshKeyWay> sshKeyWay;
    // SFTP's connection, which libcurl has no part in.
    std::unique_ptr<transfer::SftpConnection> sftp;
};

namespace transfer {

// Sends one file over the session's handles, as TransferFile describes: a connection the session
// already holds when it can be reused, else a fresh one. Picks the protocol by the address's
// scheme: SFTP goes over libssh (SendOverSftp), the rest over libcurl.
void SendFile(TransferSession::State& state, const std::string& userName,
              const std::string& password, const std::string& serverAddress,
              const std::string& remotePath, const std::string& localPath, std::uint16_t port,
              std::int32_t passiveMode, std::string& resultText, std::int32_t& success,
              const TransferProgress& progress, const TransferTrust& trust,
              TransferReplace* replace);

} // namespace transfer
