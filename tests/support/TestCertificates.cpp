#include "tests/support/TestCertificates.h"

#include "tests/support/TempHome.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

std::string Interpreter()
{
    const char* python = std::getenv("FERROVANE_TEST_PYTHON");
    return python && *python ? python : "/usr/bin/python3";
}

} // namespace

TestCertificates::TestCertificates() : folder_(MakeTempDir("ferrovane-certs"))
{
    try {
        const std::string python = Interpreter();
        const std::string script =
            std::string(FERROVANE_TEST_SUPPORT_DIR) + "/make_certificates.py";
        std::vector<std::string> args = {python, script, folder_};
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, python.c_str(), nullptr, nullptr, argv.data(), environ);
        if (rc != 0) {
            throw std::runtime_error("could not start " + python + ": " + std::strerror(rc));
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw std::runtime_error("make_certificates.py failed");
        }
        std::ifstream in(folder_ + "/fingerprints");
        for (std::string which, value; in >> which >> value;) {
            if (which == "server") {
                serverFingerprint_ = value;
            } else if (which == "self-signed") {
                selfSignedFingerprint_ = value;
            } else if (which == "wrong-name") {
                wrongNameFingerprint_ = value;
            }
        }
        if (serverFingerprint_.empty() || selfSignedFingerprint_.empty() ||
            wrongNameFingerprint_.empty()) {
            throw std::runtime_error("make_certificates.py gave no fingerprints");
        }
    } catch (...) {
        RemoveTree(folder_);
        throw;
    }
}

TestCertificates::~TestCertificates()
{
    RemoveTree(folder_);
}
