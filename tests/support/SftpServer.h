#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// A real SSH file-transfer server (paramiko, sftp_server.py) on 127.0.0.1 for the life of the
// object. It serves home() as "/" to kUser with kPassword. Its host key is read from hostKeyFile,
// or made there fresh when that file does not exist yet; an empty name means a fresh key in the
// server's own folder. It listens on `port`, or on one of the system's choosing when that is 0.
// Every login attempt ("LOGIN <user> ok|refused") and every file opened for writing
// ("WRITE <path>") is logged, so a test can check what happened.
//
// Construction waits until the server accepts connections and throws std::runtime_error when it
// cannot start; destruction stops the server and removes its folders. The interpreter is
// $FERROVANE_TEST_PYTHON, else /usr/bin/python3.
class SftpServer
{
public:
    static constexpr const char* kUser = "writer";
    static constexpr const char* kPassword = "writer-pass";

    explicit SftpServer(const std::string& hostKeyFile = {}, std::uint16_t port = 0);
    ~SftpServer();
    SftpServer(const SftpServer&) = delete;
    SftpServer& operator=(const SftpServer&) = delete;

    std::uint16_t port() const { return port_; }
    const std::string& home() const { return home_; }
    // The host key's fingerprint as OpenSSH shows it: "SHA256:" and unpadded base64.
    const std::string& fingerprint() const { return fingerprint_; }

    std::vector<std::string> log() const;
    void clearLog();
    // The bytes of the file at `relativePath` under home(); throws when it does not exist.
    std::string readFile(const std::string& relativePath) const;

private:
    void stop();

    std::string root_;
    std::string home_;
    std::string log_;
    std::string fingerprint_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    int lifeline_ = -1;
};
