#include "transfer/TrustStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::string SystemReason(int error)
{
    return std::strerror(error);
}

// Makes the folder and every missing parent, each private to the user; folders that exist keep
// their modes.
bool MakePrivateFolders(const std::string& path, std::string& why)
{
    for (std::size_t end = 1; end <= path.size(); ++end) {
        if (end != path.size() && path[end] != '/') {
            continue;
        }
        const std::string part = path.substr(0, end);
        if (mkdir(part.c_str(), 0700) == 0) {
            // mkdir applies the umask; the folders must be exactly 0700 either way.
            if (chmod(part.c_str(), 0700) != 0) {
                why = part + ": " + SystemReason(errno);
                return false;
            }
        } else if (errno != EEXIST) {
            why = part + ": " + SystemReason(errno);
            return false;
        }
    }
    struct stat info
    {};
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        why = path + ": not a folder";
        return false;
    }
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// Replaces the file's contents as one step: a private temporary file beside it, synced, then
// renamed over it, and the folder synced so that the rename itself survives a crash.
bool WriteAtomically(const std::string& folder, const std::string& path, const std::string& text,
                     std::string& why)
{
    std::string tempName = path + ".XXXXXX";
    const int fd = mkostemp(tempName.data(), O_CLOEXEC);
    if (fd < 0) {
        why = path + ": " + SystemReason(errno);
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(tempName.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(tempName.c_str());
        why = path + ": " + SystemReason(error);
        return false;
    }
    const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// How a known-hosts line names a server: the host alone on the usual port, else "[host]:port".
std::string KnownHostsName(const std::string& host, std::uint16_t port)
{
    return port == 22 ? host : "[" + host + "]:" + std::to_string(port);
}

bool NamesServer(const std::string& line, const std::string& name)
{
    const std::string names = line.substr(0, line.find(' '));
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = names.find(',', start);
        if (names.compare(start, comma == std::string::npos ? std::string::npos : comma - start,
                          name) == 0) {
            return true;
        }
        if (comma == std::string::npos) {
            return false;
        }
        start = comma + 1;
    }
}

} // namespace

TrustStore::TrustStore(std::string root) : root_(std::move(root)) {}

std::string TrustStore::TlsFile() const
{
    return root_ + "/trust/tls-servers";
}

std::string TrustStore::KnownHostsFile() const
{
    return root_ + "/trust/known_hosts";
}

bool TrustStore::MakeFolder(std::string& why) const
{
    if (root_.empty()) {
        why = "the program has no data folder";
        return false;
    }
    return MakePrivateFolders(root_ + "/trust", why);
}

std::string TrustStore::TlsFingerprint(const std::string& host, std::uint16_t port) const
{
    if (root_.empty()) {
        return {};
    }
    // One server a line: host, port and fingerprint, separated by single spaces. A host in an
    // address never holds a blank, so the line splits unambiguously.
    for (const std::string& line : ReadLines(TlsFile())) {
        std::istringstream fields(line);
        std::string recordedHost;
        unsigned recordedPort = 0;
        std::string fingerprint;
        if (fields >> recordedHost >> recordedPort >> fingerprint && recordedHost == host &&
            recordedPort == port) {
            return fingerprint;
        }
    }
    return {};
}

bool TrustStore::Trust(const ServerIdentity& identity, std::string& why) const
{
    if (identity.host.empty() || identity.fingerprint.empty() ||
        identity.host.find_first_of(" \t\r\n") != std::string::npos) {
        why = "the server's identity is incomplete";
        return false;
    }
    if (!MakeFolder(why)) {
        return false;
    }
    return identity.kind == ServerIdentity::Kind::Tls ? TrustTls(identity, why)
                                                      : TrustSsh(identity, why);
}

bool TrustStore::TrustTls(const ServerIdentity& identity, std::string& why) const
{
    std::string text;
    for (const std::string& line : ReadLines(TlsFile())) {
        std::istringstream fields(line);
        std::string host;
        unsigned port = 0;
        if (fields >> host >> port && host == identity.host && port == identity.port) {
            continue; // replaced below
        }
        if (!line.empty()) {
            text += line + "\n";
        }
    }
    text += identity.host + " " + std::to_string(identity.port) + " " + identity.fingerprint + "\n";
    return WriteAtomically(root_ + "/trust", TlsFile(), text, why);
}

bool TrustStore::TrustSsh(const ServerIdentity& identity, std::string& why) const
{
    const auto oneWord = [](const std::string& text) {
        return !text.empty() && text.find_first_of(" \t\r\n") == std::string::npos;
    };
    if (!oneWord(identity.keyType) || !oneWord(identity.keyBase64)) {
        why = "the server's key is incomplete";
        return false;
    }
    const std::string name = KnownHostsName(identity.host, identity.port);
    std::string text;
    for (const std::string& line : ReadLines(KnownHostsFile())) {
        if (!line.empty() && line.front() != '#' && NamesServer(line, name)) {
            continue; // a key the server no longer shows: replaced below
        }
        if (!line.empty()) {
            text += line + "\n";
        }
    }
    text += name + " " + identity.keyType + " " + identity.keyBase64 + "\n";
    return WriteAtomically(root_ + "/trust", KnownHostsFile(), text, why);
}
