#pragma once

#include "tests/support/ServerProcess.h"

#include <string>

// The system's proftpd, run by the test on 127.0.0.1 from a configuration of its own (none of the
// system's), serving home() to user() as "/" (chrooted) with the files written as "nobody".
// The TLS modes use the certificate and key given (one PEM file, as TestCertificates makes it),
// require TLS for the login and the data, and keep proftpd's default that every data connection
// resumes the control connection's TLS session. Sftp speaks SSH through mod_sftp with a fresh
// ed25519 host key and the password method only. The folder "drop" refuses renames, as upload-only
// drop folders do. logins() counts the passwords the server took.
class ProftpdServer : public DaemonServer
{
public:
    enum class Mode
    {
        Plain,
        ExplicitTls,   // ftpes://: AUTH TLS, TLS 1.2 or 1.3
        ExplicitTls13, // the same with TLS 1.3 only
        ExplicitTls12, // the same with TLS 1.2 only
        ImplicitTls,   // ftps://
        Sftp,
    };

    // `extraConfiguration` is appended to the configuration as it is, for what a bench needs
    // beyond the usual server (a transfer rate, say).
    explicit ProftpdServer(Mode mode, const std::string& certificateFile = {},
                           const std::string& extraConfiguration = {});

    // Why the test cannot run one (not root, something not installed), or "".
    static std::string Unavailable(Mode mode);

    // Configuration text for the constructor: in the folder at `relativePath` under home() (which
    // the test still adds), the FTP commands `commands` ("RNTO", "RNFR RNTO", "DELE") are refused
    // with "550 <name>: Operation not permitted", and mod_sftp answers a rename there (for RNFR or
    // RNTO) or a removal (for DELE) with "Permission denied".
    static std::string Refusing(const std::string& relativePath, const std::string& commands);

    // The ports passive mode offers: kPassiveCount of them from the first.
    static constexpr std::uint16_t kPassiveCount = 33;
    std::uint16_t firstPassivePort() const { return passive_; }
    // The xferlog the server writes: a line for each file it has received.
    std::string transferLog() const { return folder_ + "/xfer.log"; }

private:
    std::uint16_t passive_ = 0;
};
