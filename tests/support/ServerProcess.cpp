#include "tests/support/ServerProcess.h"

#include "tests/support/TempHome.h"

#include <arpa/inet.h>
#include <chrono>
#include <crypt.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

void StopServerProcess(pid_t pid)
{
    // The server leaves as soon as its stdin closes; give it a moment, then insist.
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::vector<std::string> ReadLogLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string ReadServedFile(const std::string& home, const std::string& relativePath,
                           const char* server)
{
    std::ifstream in(home + "/" + relativePath, std::ios::binary);
    if (!in) {
        throw std::runtime_error(std::string("no such file on the ") + server +
                                 " test server: " + relativePath);
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string DaemonUnavailable(const std::vector<std::string>& files)
{
    if (geteuid() != 0) {
        return "the system's servers need root, and this test process is not root";
    }
    for (const std::string& file : files) {
        if (access(file.c_str(), F_OK) != 0) {
            return file + " is missing";
        }
    }
    return {};
}

DaemonServer::DaemonServer(const char* name)
    : folder_(MakeTempDir(std::string("ferrovane-") + name)), home_(folder_ + "/home")
{
    // The user the server writes as must reach its home through our folder.
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all |
                                              std::filesystem::perms::group_exec |
                                              std::filesystem::perms::others_exec);
    std::filesystem::create_directory(home_);
    std::random_device random;
    for (int i = 0; i < 16; ++i) {
        password_ += static_cast<char>('a' + random() % 26);
    }
}

DaemonServer::~DaemonServer()
{
    stop();
    // The tree must not be emptied through a disk still mounted in it; detached, so that a
    // server's child that lingers on it cannot keep it.
    for (const std::string& path : mounts_) {
        umount2(path.c_str(), MNT_DETACH);
    }
    RemoveTree(folder_);
}

void DaemonServer::addFolder(const std::string& relativePath) const
{
    const std::string path = home_ + "/" + relativePath;
    std::filesystem::create_directories(path);
    struct stat owner
    {};
    if (stat(home_.c_str(), &owner) != 0 || chown(path.c_str(), owner.st_uid, owner.st_gid) != 0) {
        throw std::runtime_error("could not hand " + path + " to the server's user");
    }
}

void DaemonServer::addSmallDisk(const std::string& relativePath, std::size_t bytes)
{
    addFolder(relativePath);
    const std::string path = home_ + "/" + relativePath;
    struct stat owner
    {};
    stat(path.c_str(), &owner);
    const std::string options = "size=" + std::to_string(bytes) +
                                ",mode=0755,uid=" + std::to_string(owner.st_uid) +
                                ",gid=" + std::to_string(owner.st_gid);
    if (mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        throw std::runtime_error("could not mount a small disk at " + path);
    }
    mounts_.push_back(path);
}

std::string DaemonServer::readFile(const std::string& relativePath) const
{
    return ReadServedFile(home_, relativePath, folder_.c_str());
}

std::size_t DaemonServer::logins() const
{
    std::size_t count = 0;
    for (const std::string& line : ReadLogLines(loginLog_)) {
        count += line.find(loginMark_) != std::string::npos;
    }
    return count;
}

std::string DaemonServer::logs() const
{
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        if (entry.path().extension() == ".log") {
            text += "== " + entry.path().filename().string() + "\n";
            for (const std::string& line : ReadLogLines(entry.path().string())) {
                text += line + "\n";
            }
        }
    }
    return text;
}

ServerIdentity DaemonServer::hostKey() const
{
    ServerIdentity key;
    key.kind = ServerIdentity::Kind::Ssh;
    key.host = "127.0.0.1";
    key.port = port_;
    std::ifstream(folder_ + "/host_key.pub") >> key.keyType >> key.keyBase64;
    std::string bits;
    std::ifstream(folder_ + "/host_key.fingerprint") >> bits >> key.fingerprint;
    return key;
}

void DaemonServer::makeHostKey(const char* type) const
{
    const std::string file = folder_ + "/host_key";
    RunTool({"/usr/bin/ssh-keygen", "-q", "-t", type, "-N", "", "-f", file});
    RunTool({"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f", file + ".pub"},
            file + ".fingerprint");
}

void DaemonServer::start(const std::vector<std::string>& argv)
{
    const std::string output = folder_ + "/output.log";
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("could not make " + output);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0) {
            _exit(127);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(fd);
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1; // ended, and reaped
            break;
        }
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        if (up) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    throw std::runtime_error(argv[0] + " did not come up on port " + std::to_string(port_) + ":\n" +
                             logs());
}

void DaemonServer::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        StopServerProcess(pid_);
        pid_ = -1;
    }
}

std::uint16_t FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(fd);
    if (!ok) {
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    return ntohs(address.sin_port);
}

void RunTool(const std::vector<std::string>& argv, const std::string& output)
{
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t pid = -1;
    int status = 0;
    const bool ran = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0 &&
                     waitpid(pid, &status, 0) == pid;
    posix_spawn_file_actions_destroy(&actions);
    if (!ran || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(argv[0] + " failed");
    }
}

std::string PasswordHash(const std::string& password)
{
    const char* salt = crypt_gensalt("$6$", 0, nullptr, 0);
    const char* hash = salt ? crypt(password.c_str(), salt) : nullptr;
    if (hash == nullptr || hash[0] == '*') {
        throw std::runtime_error("crypt failed");
    }
    return hash;
}
