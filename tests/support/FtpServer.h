#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// How the test server behaves on its data connections.
struct FtpServerOptions
{
    // Uploads are received at no more than this many bytes per second; 0 means full speed.
    std::uint64_t throttleBytesPerSecond = 0;
    // When not negative: after this many bytes of an upload the server stops reading and never
    // answers for that transfer again, like a server that died mid-transfer.
    std::int64_t stallAfterBytes = -1;
    // The port to listen on; 0 lets the system choose. A server started on the port of one that
    // has ended stands in for the same server with, say, a new certificate.
    std::uint16_t port = 0;
};

// Whether the test server speaks TLS, and how.
struct FtpServerTls
{
    enum class Mode
    {
        None,
        Explicit, // offers AUTH TLS, PBSZ and PROT on a plain control connection
        Implicit, // TLS from the first byte on every connection
    };
    Mode mode = Mode::None;
    // The server's certificate chain and private key (PEM).
    std::string certificateFile;
    // USER and PASS are refused before TLS is up, and data connections without PROT P.
    bool required = false;
};

// A real FTP server (pyftpdlib) on 127.0.0.1 for the life of the object. It serves home() to
// three users: kWriter may store, make folders and delete; kReader and "anonymous" (any password)
// may only list and fetch. It listens on a port of the system's choosing and uses a passive port
// range of its own. Every command line it receives is logged, so a test can check what a client
// sent. With FtpServerTls it speaks explicit or implicit TLS (pyftpdlib's TLS handler, which needs
// pyOpenSSL) with the certificate given; TestCertificates makes suitable ones.
//
// Construction waits until the server accepts connections (a fraction of a second) and throws
// std::runtime_error when it cannot start. Destruction stops the server and removes its folders;
// the server also ends by itself if the test process dies.
//
// The interpreter is $FERROVANE_TEST_PYTHON, else /usr/bin/python3.
class FtpServer
{
public:
    static constexpr const char* kWriter = "writer";
    static constexpr const char* kWriterPassword = "writer-pass";
    static constexpr const char* kReader = "reader";
    static constexpr const char* kReaderPassword = "reader-pass";
    static constexpr const char* kAddress = "127.0.0.1";

    explicit FtpServer(const FtpServerOptions& options = {}, const FtpServerTls& tls = {});
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    std::uint16_t port() const { return port_; }
    // The folder served as "/", empty at start. Tests may create folders and files in it.
    const std::string& home() const { return home_; }

    // Every command line received since the start or the last clearCommands(), oldest first,
    // exactly as sent (without the line end; PASS lines keep the password).
    std::vector<std::string> commands() const;
    void clearCommands();

    // The bytes of the file at `relativePath` under home(); throws when it does not exist.
    std::string readFile(const std::string& relativePath) const;

private:
    void stop();

    std::string root_;
    std::string home_;
    std::string commandLog_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    int lifeline_ = -1; // write end of the server's stdin; closing it ends the server
};
