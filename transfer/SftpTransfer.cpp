#include "transfer/SftpTransfer.h"

#include "transfer/IdentityText.h"
#include "transfer/TransferTexts.h"
#include "transfer/TrustStore.h"

#include <utility>

namespace transfer {

namespace {

const char* const kSshLoginRefused =
    "Could not log in: the SSH server refused the user name or password!!\r\n";

// libcurl asks this about the server's host key once it has looked it up in the known-hosts
// file. Only a key recorded there for this host and port is taken; any other is refused, and
// what the server showed is kept for the user to judge (OpenSSH's SHA256: form of fingerprint).
int OnHostKey(CURL*, const curl_khkey*, const curl_khkey* found, curl_khmatch match, void* user)
{
    auto* exchange = static_cast<Exchange*>(user);
    if (match == CURLKHMATCH_OK) {
        return CURLKHSTAT_FINE;
    }
    if (found != nullptr && found->key != nullptr) {
        const std::string blob =
            found->len > 0 ? std::string(found->key, found->len) : FromBase64(found->key);
        std::string fingerprint = SshFingerprint(blob);
        if (!fingerprint.empty()) {
            ServerIdentity identity;
            identity.kind = ServerIdentity::Kind::Ssh;
            identity.host = exchange->sshHost;
            identity.port = exchange->sshPort;
            identity.changed = match == CURLKHMATCH_MISMATCH || exchange->sshKeyRecorded;
            identity.fingerprint = std::move(fingerprint);
            identity.keyType = SshKeyType(blob);
            identity.keyBase64 =
                Base64(reinterpret_cast<const unsigned char*>(blob.data()), blob.size());
            exchange->hostKeyRefused = std::move(identity);
        }
    }
    return CURLKHSTAT_REJECT;
}

} // namespace

std::string SftpUrlPath(const std::string& remotePath)
{
    const bool fromRoot = remotePath.starts_with('/');
    std::string path = fromRoot ? "" : "/~/";
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = remotePath.find('/', start);
        path += PercentEncode(
            std::string_view(remotePath)
                .substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) {
            break;
        }
        path += '/';
        start = slash + 1;
    }
    return path;
}

namespace {

// A path as libcurl's SFTP commands read one: in double quotes, with '"' and '\\' escaped. A
// path not from "/" goes to the server as it is, which takes it from the login folder, as FTP
// would (libcurl's "/~/" is not read inside quotes).
std::string CommandPath(const std::string& remotePath)
{
    std::string quoted = "\"";
    for (const char c : remotePath) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

} // namespace

std::vector<std::string> SftpRenameCommands(const std::string& temporaryPath,
                                            const std::string& remotePath, bool removeFirst)
{
    std::vector<std::string> commands;
    if (removeFirst) {
        // Not allowed to fail: the rename must not go on over a copy that could not be removed.
        commands.push_back("rm " + CommandPath(remotePath));
    }
    commands.push_back("rename " + CommandPath(temporaryPath) + " " + CommandPath(remotePath));
    return commands;
}

std::string SftpRemoveCommand(const std::string& remotePath)
{
    // libcurl lets a command that starts with "*" fail without failing the exchange.
    return "*rm " + CommandPath(remotePath);
}

void ApplySftpOptions(CURL* easy, Exchange& exchange, std::string& knownHosts,
                      const ServerAddress& address, const TransferTrust& trust)
{
    // The password, and the host key checked against our own known-hosts file only. Without a
    // store nothing is known, so every key is refused.
    SetOption(easy, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PASSWORD));
    SetOption(easy, CURLOPT_SSH_PRIVATE_KEYFILE, static_cast<const char*>(nullptr));
    SetOption(easy, CURLOPT_SSH_PUBLIC_KEYFILE, static_cast<const char*>(nullptr));
    knownHosts = trust.store != nullptr ? trust.store->KnownHostsFile() : "/dev/null";
    SetOption(easy, CURLOPT_SSH_KNOWNHOSTS, knownHosts.c_str());
    SetOption(easy, CURLOPT_SSH_KEYFUNCTION, OnHostKey);
    SetOption(easy, CURLOPT_SSH_KEYDATA, &exchange);
    exchange.sshHost = address.host;
    exchange.sshPort = address.port;
    // SSH shows no commands to watch; the stall watch runs from the start.
    exchange.loggedIn = true;
}

bool KeyOfAnotherTypeMayBeWhy(const Outcome& outcome, const ServerAddress& address,
                              const TransferTrust& trust)
{
    return outcome.code == CURLE_FAILED_INIT && !outcome.abandoned && trust.store != nullptr &&
           trust.store->KnowsSshHost(address.host, address.port);
}

void LeaveOutKnownHosts(CURL* easy, std::string& knownHosts, Exchange& exchange)
{
    knownHosts = "/dev/null";
    SetOption(easy, CURLOPT_SSH_KNOWNHOSTS, knownHosts.c_str());
    exchange.sshKeyRecorded = true;
    exchange.loggedIn = true;
}

std::string SftpFailure(const Outcome& outcome, Exchange& exchange, const char* errorBuffer,
                        const std::string& directory, const TransferTrust& trust)
{
    if (outcome.stalled) {
        return kCannotPut;
    }
    switch (outcome.code) {
    case CURLE_PEER_FAILED_VERIFICATION:
        if (exchange.hostKeyRefused) {
            const ServerIdentity& key = *exchange.hostKeyRefused;
            std::string text = UnverifiedIdentity("host key " + key.fingerprint, key.changed);
            if (trust.untrusted != nullptr && !key.keyType.empty()) {
                *trust.untrusted = std::move(*exchange.hostKeyRefused);
            }
            return text;
        }
        break;
    case CURLE_LOGIN_DENIED:
        return kSshLoginRefused;
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_UPLOAD_FAILED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_DISK_FULL:
    case CURLE_QUOTE_ERROR: {
        // The server refused: its status ("Permission denied", "No such file") goes with our text.
        // A missing folder is what makes the server say the file is not found.
        const bool noFolder = outcome.code == CURLE_REMOTE_FILE_NOT_FOUND && !directory.empty();
        const char* text = noFolder ? kCannotChangeDirectory : kCannotPut;
        std::string reason = errorBuffer;
        // FTP servers show the login folder as "/"; an SFTP path from "/" is the server's own.
        if (noFolder && directory.starts_with('/')) {
            reason += std::string(reason.empty() ? "" : " ") +
                      "(sftp:// paths are the server's own: \"/\" is the server's root; try the "
                      "path relative to your login folder, without the leading \"/\")";
        }
        return reason.empty() ? std::string(text) : WithServerReason(text, reason);
    }
    case CURLE_READ_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:
        return kCannotPut;
    default:
        break;
    }
    // After the login a failure of the SSH layer (a full disk, a quota, a lost connection) is a
    // store that failed, with the reason the client library gives.
    if (exchange.sshLoggedIn) {
        // libcurl keeps the server's status to itself here (a full disk comes as a bare "error in
        // the SSH layer"); its own words are all there is.
        return WithServerReason(kCannotPut, errorBuffer[0] != '\0'
                                                ? std::string(errorBuffer)
                                                : std::string(curl_easy_strerror(outcome.code)));
    }
    return errorBuffer[0] != '\0' ? AsErrorLine(errorBuffer) : std::string(kCannotConnect);
}

} // namespace transfer
