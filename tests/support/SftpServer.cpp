#include "tests/support/SftpServer.h"

#include "tests/support/ServerProcess.h"
#include "tests/support/TempHome.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace {

std::string Interpreter()
{
    const char* python = std::getenv("FERROVANE_TEST_PYTHON");
    return python && *python ? python : "/usr/bin/python3";
}

// Reads lines from the server's stdout until both "PORT" and "FINGERPRINT" came, or `limit`.
void ReadGreeting(int fd, std::chrono::milliseconds limit, std::uint16_t& port,
                  std::string& fingerprint)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    for (;;) {
        std::istringstream lines(text);
        port = 0;
        fingerprint.clear();
        for (std::string line; std::getline(lines, line) && !lines.eof();) {
            if (line.rfind("PORT ", 0) == 0) {
                port = static_cast<std::uint16_t>(std::stoul(line.substr(5)));
            } else if (line.rfind("FINGERPRINT ", 0) == 0) {
                fingerprint = line.substr(12);
            }
        }
        if (port != 0 && !fingerprint.empty()) {
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            throw std::runtime_error("SFTP test server did not start in time");
        }
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            throw std::runtime_error("SFTP test server ended at start: " + text);
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace

SftpServer::SftpServer(const std::string& hostKeyFile, std::uint16_t port)
    : root_(MakeTempDir("ferrovane-sftp")), home_(root_ + "/home"), log_(root_ + "/server.log")
{
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    try {
        std::filesystem::create_directory(home_);
        std::ofstream(log_).close();
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        const std::string python = Interpreter();
        const std::string script = std::string(FERROVANE_TEST_SUPPORT_DIR) + "/sftp_server.py";
        std::vector<std::string> args = {
            python,       script,
            "--home",     home_,
            "--log",      log_,
            "--host-key", hostKeyFile.empty() ? root_ + "/host-key" : hostKeyFile,
            "--port",     std::to_string(port)};
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
        ::close(std::exchange(input[0], -1));
        ::close(std::exchange(output[1], -1));
        lifeline_ = std::exchange(input[1], -1);
        ReadGreeting(output[0], std::chrono::seconds(20), port_, fingerprint_);
        ::close(std::exchange(output[0], -1));
    } catch (...) {
        for (const int fd : {input[0], input[1], output[0], output[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        stop();
        throw;
    }
}

SftpServer::~SftpServer()
{
    stop();
}

void SftpServer::stop()
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

std::vector<std::string> SftpServer::log() const
{
    return ReadLogLines(log_);
}

void SftpServer::clearLog()
{
    std::filesystem::resize_file(log_, 0);
}

std::string SftpServer::readFile(const std::string& relativePath) const
{
    return ReadServedFile(home_, relativePath, "SFTP");
}
