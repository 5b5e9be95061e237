#pragma once

#include "transfer/ServerIdentity.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// What the test servers share. FtpServer and SftpServer each run a script of ours as a child
// process that ends when its stdin closes; ProftpdServer and SshdServer run the system's servers
// through DaemonServer. Each writes a log and serves a home folder.

// Waits a moment for a child whose stdin was closed to end, then kills it.
void StopServerProcess(pid_t pid);

// The lines of a server's log, without their line ends.
std::vector<std::string> ReadLogLines(const std::string& path);

// The bytes of the file at `relativePath` under `home`; throws, naming `server`, when it is not
// there.
std::string ReadServedFile(const std::string& home, const std::string& relativePath,
                           const char* server);

// Why a system server cannot be run from this test process ("" when it can): such servers need
// root, and each of `files` (the server, its modules, its tools) must be there.
std::string DaemonUnavailable(const std::vector<std::string>& files);

// A system server (proftpd, sshd) that a test runs as root on 127.0.0.1, on a free port of its
// own, with its configuration, keys, logs and served home() in a private folder. A derived class
// writes the configuration and calls start(); destruction stops the server (SIGTERM, then
// SIGKILL) and removes the folder. The server also gets SIGTERM should the test process die.
class DaemonServer
{
public:
    virtual ~DaemonServer();
    DaemonServer(const DaemonServer&) = delete;
    DaemonServer& operator=(const DaemonServer&) = delete;

    std::uint16_t port() const { return port_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // The folder the user logs in to, owned by the user the server writes as.
    const std::string& home() const { return home_; }

    // A folder under home() the server may write into.
    void addFolder(const std::string& relativePath) const;
    // The same folder on a disk of its own that holds `bytes` at most (a tmpfs), so that a test
    // can fill it; unmounted when the server goes.
    void addSmallDisk(const std::string& relativePath, std::size_t bytes);
    std::string readFile(const std::string& relativePath) const;
    // Successful logins as the server's own log tells them.
    std::size_t logins() const;
    // Every log in the server's folder, for a failure message.
    std::string logs() const;
    // The SSH host key made for the server, as the program's trust store records it.
    ServerIdentity hostKey() const;

protected:
    // `name` names the folder. The derived class sets user_ and port_, chowns home_ to the user
    // the server writes as, and names the log where each login is a line that holds loginMark_.
    explicit DaemonServer(const char* name);

    // Makes the host key `folder_ + "/host_key"` of ssh-keygen's `type`, and notes its
    // fingerprint.
    void makeHostKey(const char* type = "ed25519") const;
    // Runs `argv` with its output going to `folder_ + "/output.log"` and waits until port_
    // accepts connections; throws with the output when the server does not come up.
    void start(const std::vector<std::string>& argv);
    void stop();

    std::string folder_;
    std::string home_;
    std::string user_;
    std::string password_;
    std::string loginLog_;
    std::string loginMark_;
    std::uint16_t port_ = 0;

private:
    pid_t pid_ = -1;
    std::vector<std::string> mounts_;
};

// A port on 127.0.0.1 that nothing listens on just now.
std::uint16_t FreePort();

// Runs a tool to its end, its output going to the file `output` when one is named; throws with
// its name when it fails.
void RunTool(const std::vector<std::string>& argv, const std::string& output = {});

// A SHA-512 crypt(3) hash of `password` with a fresh salt, as /etc/shadow holds it.
std::string PasswordHash(const std::string& password);
