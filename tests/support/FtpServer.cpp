#include "tests/support/FtpServer.h"

#include "tests/support/ServerProcess.h"
#include "tests/support/TempHome.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace {

class Pipe
{
public:
    Pipe()
    {
        if (pipe2(fds_, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int read() const { return fds_[0]; }
    int write() const { return fds_[1]; }
    void closeRead() { CloseFd(fds_[0]); }
    void closeWrite() { CloseFd(fds_[1]); }
    int releaseWrite() { return std::exchange(fds_[1], -1); }

private:
    static void CloseFd(int& fd)
    {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    int fds_[2] = {-1, -1};
};

std::string Interpreter()
{
    const char* python = std::getenv("FERROVANE_TEST_PYTHON");
    return python && *python ? python : "/usr/bin/python3";
}

// Reads the server's first line, "PORT <n>", waiting at most `limit`.
std::uint16_t ReadPort(int fd, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("FTP test server did not report its port in time");
        }
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            throw std::runtime_error("FTP test server ended before it reported its port");
        }
        line.append(buffer, static_cast<std::size_t>(got));
    }
    if (line.rfind("PORT ", 0) != 0) {
        throw std::runtime_error("FTP test server said: " + line);
    }
    return static_cast<std::uint16_t>(std::stoul(line.substr(5)));
}

} // namespace

FtpServer::FtpServer(const FtpServerOptions& options, const FtpServerTls& tls)
    : root_(MakeTempDir("ferrovane-ftp")), home_(root_ + "/home"),
      commandLog_(root_ + "/commands.log")
{
    try {
        std::filesystem::create_directory(home_);
        std::ofstream(commandLog_).close();

        Pipe input;  // the server's stdin: its lifeline
        Pipe output; // the server's stdout: the port it got
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input.read(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output.write(), STDOUT_FILENO);

        const std::string python = Interpreter();
        const std::string script = std::string(FERROVANE_TEST_SUPPORT_DIR) + "/ftp_server.py";
        std::vector<std::string> args = {python,   "-X",  "utf8",          script,
                                         "--home", home_, "--command-log", commandLog_};
        if (options.throttleBytesPerSecond > 0) {
            args.insert(args.end(), {"--throttle", std::to_string(options.throttleBytesPerSecond)});
        }
        if (options.stallAfterBytes >= 0) {
            args.insert(args.end(), {"--stall-after", std::to_string(options.stallAfterBytes)});
        }
        if (options.port != 0) {
            args.insert(args.end(), {"--port", std::to_string(options.port)});
        }
        if (tls.mode != FtpServerTls::Mode::None) {
            args.insert(args.end(),
                        {"--tls",
                         tls.mode == FtpServerTls::Mode::Explicit ? "explicit" : "implicit",
                         "--certificate", tls.certificateFile});
            if (tls.required) {
                args.emplace_back("--tls-required");
            }
        }
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);

        const int rc = posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("could not start " + python + ": " + std::strerror(rc));
        }
        input.closeRead();
        output.closeWrite();
        lifeline_ = input.releaseWrite();
        port_ = ReadPort(output.read(), std::chrono::seconds(10));
    } catch (...) {
        stop();
        throw;
    }
}

FtpServer::~FtpServer()
{
    stop();
}

void FtpServer::stop()
{
    if (lifeline_ >= 0) {
        ::close(lifeline_);
        lifeline_ = -1;
    }
    if (pid_ > 0) {
        StopServerProcess(pid_);
        pid_ = -1;
    }
    RemoveTree(root_);
}

std::vector<std::string> FtpServer::commands() const
{
    return ReadLogLines(commandLog_);
}

void FtpServer::clearCommands()
{
    // The server appends (O_APPEND), so its next line lands at the start of the emptied file.
    std::filesystem::resize_file(commandLog_, 0);
}

std::string FtpServer::readFile(const std::string& relativePath) const
{
    return ReadServedFile(home_, relativePath, "FTP");
}
