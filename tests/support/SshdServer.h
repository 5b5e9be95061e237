#pragma once

#include "tests/support/ServerProcess.h"

#include <string>

// The system's OpenSSH sshd, run by the test on 127.0.0.1 from a configuration of its own, with
// a fresh host key and SFTP through internal-sftp. sshd checks passwords against the
// system's accounts, so the server makes one for itself, user() with home() as its home, and
// deletes it again when it goes; accounts that runs which died before their end left behind are
// deleted on the way in. logins() counts the passwords sshd accepted.
class SshdServer : public DaemonServer
{
public:
    // `sftpArguments` go to internal-sftp as they are: "-P rename" makes a server that refuses
    // renames, as some hosting setups do. With `authorizedKeys` (lines of authorized_keys) the
    // user logs in with those keys only, never with the password. The host key is of
    // ssh-keygen's `hostKeyType`, and the only one the server has.
    explicit SshdServer(const std::string& sftpArguments = {},
                        const std::string& authorizedKeys = {},
                        const char* hostKeyType = "ed25519");
    ~SshdServer() override;

    static std::string Unavailable();

private:
    // The system account, made on construction and deleted on destruction (the destructor of
    // SshdServer stops sshd first).
    struct Account
    {
        Account(const std::string& home, const std::string& password);
        ~Account();
        std::string name;
    };
    Account account_;
};
