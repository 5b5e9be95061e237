#pragma once

#include "transfer/TransferFile.h"

#include <cstdint>
#include <memory>
#include <string>

// The client side of one job run. On an address with a scheme (ftp://, ftpes://, ftps://,
// sftp://) it logs in once and stores every file of the run over that one connection: each Send
// stores its file in its own folder (changing directory only when the folder differs from the
// last file's, relative folders taken from the login folder) and gives its own result, exactly as
// TransferFile describes. A failed Send drops the connection, so the next one logs in afresh;
// another server, port, user or password gets a connection of its own. An address without a
// scheme logs in for every file, as TransferFile does.
// The connection closes when the session is destroyed.
//
// One thread at a time; a session must not be used from inside its own progress callback (a
// nested run takes a session of its own).
class TransferSession
{
public:
    TransferSession();
    ~TransferSession();
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    // TransferFile's contract, over the session's connection.
    void Send(const std::string& userName, const std::string& password,
              const std::string& serverAddress, const std::string& remotePath,
              const std::string& localPath, std::uint16_t port, std::int32_t passiveMode,
              std::string& resultText, std::int32_t& success, const TransferProgress& progress = {},
              const TransferTrust& trust = {}, TransferReplace* replace = nullptr);

    // What a session keeps between files (the client library's handles); TransferFile uses one
    // for a single file.
    struct State;

private:
    std::unique_ptr<State> state_;
    std::string key_;
};
