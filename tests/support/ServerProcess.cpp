#include "tests/support/ServerProcess.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

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
