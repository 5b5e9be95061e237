#include "transfer/TrustStore.h"

#include "jobs/PrivateFiles.h"

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

// The file's lines, without their ends. A file that is not there holds none; one that is there
// but cannot be read (no permission, a folder, an I/O error) gives false and the reason.
bool ReadLines(const std::string& path, std::vector<std::string>& lines, std::string& why)
{
    lines.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        why = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            why = path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
    }
    return true;
}

// For look-ups: what cannot be read records nothing.
std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::string why;
    ReadLines(path, lines, why);
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
    const std::string folder = root_ + "/trust";
    if (!MakePrivateFolders(folder, why)) {
        return false;
    }
    // A folder made looser by hand (or by an old version) is made private again.
    struct stat info
    {};
    if (stat(folder.c_str(), &info) == 0 && (info.st_mode & 077) != 0 &&
        chmod(folder.c_str(), 0700) != 0) {
        why = folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
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

std::vector<std::pair<std::string, std::string>> TrustStore::SshHostKeys(const std::string& host,
                                                                         std::uint16_t port) const
{
    std::vector<std::pair<std::string, std::string>> keys;
    if (root_.empty()) {
        return keys;
    }
    const std::string name = KnownHostsName(host, port);
    for (const std::string& line : ReadLines(KnownHostsFile())) {
        if (line.empty() || line.front() == '#' || !NamesServer(line, name)) {
            continue;
        }
        std::istringstream fields(line);
        std::string names;
        std::string type;
        std::string key;
        if (fields >> names >> type >> key) {
            keys.emplace_back(std::move(type), std::move(key));
        }
    }
    return keys;
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
    // A record that exists but cannot be read is never replaced: the new one would lose the rest.
    std::vector<std::string> lines;
    if (!ReadLines(TlsFile(), lines, why)) {
        return false;
    }
    std::string text;
    for (const std::string& line : lines) {
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
    return WriteAtomically(TlsFile(), text, why);
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
    std::vector<std::string> lines;
    if (!ReadLines(KnownHostsFile(), lines, why)) {
        return false;
    }
    std::string text;
    for (const std::string& line : lines) {
        if (!line.empty() && line.front() != '#' && NamesServer(line, name)) {
            continue; // a key the server no longer shows: replaced below
        }
        if (!line.empty()) {
            text += line + "\n";
        }
    }
    text += name + " " + identity.keyType + " " + identity.keyBase64 + "\n";
    return WriteAtomically(KnownHostsFile(), text, why);
}
