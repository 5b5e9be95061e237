#pragma once

#include "transfer/LocalSource.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace transfer {

class SshLink;

// What one SFTP request came to: the server's status and its words, or a connection that failed
// on the way, or a local file that could not be read.
struct SftpStatus
{
    enum Code : std::uint32_t
    {
        Ok = 0,
        NoSuchFile = 2,
        PermissionDenied = 3,
        Failure = 4,
        Unsupported = 8,
        FileAlreadyExists = 11, // from version 5 on; some servers send it anyway
    };
    std::uint32_t code = Ok;
    std::string message; // the server's, or ours when it gave none
    bool lost = false;   // the connection failed: the server's answer is unknown
    bool local = false;  // the local file could not be read to its end

    bool Succeeded() const { return code == Ok && !lost && !local; }
};

// The client side of the SSH file transfer protocol, version 3 as every server speaks it, over the
// link's subsystem channel. Paths go to the server as they are: one not from "/" is taken from the
// login folder.
class SftpChannel
{
public:
    explicit SftpChannel(SshLink& link) : link_(link) {}

    // The version exchange; "" when the server speaks the protocol, else why not.
    std::string Start();
    // The server renames over an existing file in one step (OpenSSH's extension).
    bool HasPosixRename() const { return posixRename_; }

    // Opens the file for writing, made when missing and emptied when there (mode 0644 when made).
    SftpStatus Open(const std::string& path, std::string& handle);
    // Writes the local file from its start to its end as found meanwhile, many requests under way
    // at once, and closes the handle right behind them; `sent` counts the bytes gone out. The
    // first failure is the one told; a file that ends short of its size at the start, or cannot
    // be read, fails as local.
    SftpStatus WriteAndClose(const std::string& handle, LocalSource& source,
                             std::atomic<std::uint64_t>& sent);
    SftpStatus Remove(const std::string& path);
    // The plain rename, which fails on most servers where `to` exists, or OpenSSH's, which
    // replaces it.
    SftpStatus Rename(const std::string& from, const std::string& to, bool posix);
    // Removes `to` and renames `from` to it with the plain rename, both under way at once; the
    // rename's status, and the removal's in `removed`.
    SftpStatus RemoveThenRename(const std::string& from, const std::string& to,
                                SftpStatus& removed);
    // Succeeds when the path exists.
    SftpStatus Stat(const std::string& path);

private:
    bool SendPacket(std::uint8_t type, const std::string& body);
    bool ReceivePacket(std::uint8_t& type, std::string& body);
    // Sends one request and waits for its answer; `body` starts with the request's id.
    SftpStatus Ask(std::uint8_t type, const std::string& body, std::uint8_t* replyType = nullptr,
                   std::string* reply = nullptr);
    // Waits for the answers to the requests of these ids, sent already, and gives their statuses
    // in the same order.
    std::vector<SftpStatus> Answers(const std::vector<std::uint32_t>& ids);
    std::string RenameRequest(const std::string& from, const std::string& to, bool posix);
    // The status of a reply of type STATUS; the id has been read off `reply` already.
    static SftpStatus ReadStatus(std::uint8_t type, const std::string& reply, std::size_t at);
    SftpStatus Lost() const;

    SshLink& link_;
    std::uint32_t nextId_ = 1;
    bool posixRename_ = false;
};

} // namespace transfer
