#include "transfer/SshLink.h"

#include "transfer/IdentityText.h"
#include "transfer/SshKeyLogin.h"
#include "transfer/TransferTexts.h"
#include "transfer/TrustStore.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <libssh/libssh.h>

namespace transfer {

namespace {

// How often a wait looks whether it has been cut short.
constexpr std::chrono::milliseconds kSlice{50};

const char* const kSshLoginRefused =
    "Could not log in: the SSH server refused the user name or password!!\r\n";

// The host-key algorithms offered, best first; for a server whose key is recorded, those of the
// recorded type go first, so that it shows that key when it has keys of several types. RSA signed
// with SHA-1 comes last, for the old servers that know nothing newer and that the SSH library
// before this one reached.
const char* const kHostKeyAlgorithms[] = {
    "ssh-ed25519",
    "ecdsa-sha2-nistp521",
    "ecdsa-sha2-nistp384",
    "ecdsa-sha2-nistp256",
    "rsa-sha2-512",
    "rsa-sha2-256",
    "ssh-rsa",
};

// libssh's key exchanges, with the SHA-1 ones of the same old servers last.
const char* const kKeyExchanges =
    "curve25519-sha256,curve25519-sha256@libssh.org,ecdh-sha2-nistp256,ecdh-sha2-nistp384,"
    "ecdh-sha2-nistp521,diffie-hellman-group18-sha512,diffie-hellman-group16-sha512,"
    "diffie-hellman-group-exchange-sha256,diffie-hellman-group14-sha256,"
    "diffie-hellman-group14-sha1,diffie-hellman-group-exchange-sha1";

std::string HostKeyPreference(const std::vector<std::pair<std::string, std::string>>& recorded)
{
    std::vector<std::string> order;
    const auto add = [&](const std::string& algorithm) {
        if (std::find(order.begin(), order.end(), algorithm) == order.end()) {
            order.push_back(algorithm);
        }
    };
    for (const auto& [type, key] : recorded) {
        // An RSA key is the same key whatever hash signs with it.
        for (const char* algorithm : kHostKeyAlgorithms) {
            if (type == algorithm ||
                (type == "ssh-rsa" && std::string(algorithm).starts_with("rsa-"))) {
                add(algorithm);
            }
        }
    }
    for (const char* algorithm : kHostKeyAlgorithms) {
        add(algorithm);
    }
    std::string text;
    for (const std::string& algorithm : order) {
        text += (text.empty() ? "" : ",") + algorithm;
    }
    return text;
}

// getaddrinfo cannot be interrupted, so it runs on a thread of its own that may outlive the wait:
// an abandon or a deadline never waits for a slow resolver.
struct Lookup
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    addrinfo* result = nullptr;
    ~Lookup()
    {
        if (result != nullptr) {
            freeaddrinfo(result);
        }
    }
};

std::shared_ptr<Lookup> Resolve(const std::string& host, std::uint16_t port)
{
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* result = nullptr;
        const std::string bare =
            host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
        const int error = getaddrinfo(bare.c_str(), std::to_string(port).c_str(), &hints, &result);
        std::lock_guard lock(lookup->mutex);
        lookup->error = error;
        lookup->result = result;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    return lookup;
}

} // namespace

SshLink::~SshLink()
{
    int fd = -1;
    {
        std::lock_guard lock(mutex_);
        fd = std::exchange(fd_, -1);
    }
    if (channel_ != nullptr) {
        ssh_channel_free(channel_);
    }
    if (session_ != nullptr) {
        if (!shutDown_) {
            ssh_disconnect(session_);
        }
        ssh_free(session_);
    }
    // libssh leaves a socket it was handed to its owner.
    if (fd >= 0) {
        ::close(fd);
    }
}

void SshLink::ShutDown()
{
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
    }
}

std::string SshLink::Error() const
{
    if (shutDown_) {
        return "the connection was cut";
    }
    return session_ != nullptr ? ssh_get_error(session_) : std::string();
}

std::string SshLink::OpenSocket(const ServerAddress& address, Clock::time_point deadline)
{
    const std::string where = address.host + " port " + std::to_string(address.port);
    const std::shared_ptr<Lookup> lookup = Resolve(address.host, address.port);
    {
        std::unique_lock lock(lookup->mutex);
        while (!lookup->finished) {
            if (shutDown_ || Clock::now() >= deadline) {
                return AsErrorLine("Could not resolve " + address.host + ": " +
                                   (shutDown_ ? "cut short" : "timed out"));
            }
            lookup->done.wait_for(lock, kSlice);
        }
    }
    if (lookup->error != 0) {
        return AsErrorLine("Could not resolve " + address.host + ": " +
                           gai_strerror(lookup->error));
    }
    int lastError = ECONNREFUSED;
    for (const addrinfo* candidate = lookup->result; candidate != nullptr;
         candidate = candidate->ai_next) {
        const int fd =
            socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            if (shutDown_) {
                ::close(fd);
                break;
            }
            fd_ = fd;
        }
        int error = 0;
        if (connect(fd, candidate->ai_addr, candidate->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = ETIMEDOUT;
                pollfd wait{fd, POLLOUT, 0};
                while (!shutDown_ && Clock::now() < deadline) {
                    const int ready = poll(&wait, 1, static_cast<int>(kSlice.count()));
                    if (ready > 0) {
                        socklen_t length = sizeof error;
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                        break;
                    }
                }
            }
        }
        if (error == 0) {
            const int flags = fcntl(fd, F_GETFL);
            const int on = 1;
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            Touch();
            return {};
        }
        lastError = error;
        std::lock_guard lock(mutex_);
        fd_ = -1;
        ::close(fd);
    }
    return AsErrorLine("Failed to connect to " + where + ": " +
                       (shutDown_ ? "cut short" : std::strerror(lastError)));
}

std::string SshLink::Connect(const ServerAddress& address, const std::string& userName,
                             const TrustStore* store, Clock::time_point deadline,
                             std::optional<ServerIdentity>& refused)
{
    if (std::string failed = OpenSocket(address, deadline); !failed.empty()) {
        return failed;
    }
    session_ = ssh_new();
    if (session_ == nullptr) {
        return AsErrorLine("Could not start an SSH session");
    }
    const auto recorded = store != nullptr ? store->SshHostKeys(address.host, address.port)
                                           : std::vector<std::pair<std::string, std::string>>();
    const std::string algorithms = HostKeyPreference(recorded);
    const unsigned port = address.port;
    const int no = 0;
    // Long enough never to end a wait before our own time-outs do; those cut the socket.
    const long waitSeconds = 24 * 3600;
    socket_t fd = fd_;
    const bool set =
        ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &no) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_HOST, address.host.c_str()) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_PORT, &port) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_FD, &fd) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, "/dev/null") == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null") == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_HOSTKEYS, algorithms.c_str()) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_KEY_EXCHANGE, kKeyExchanges) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &waitSeconds) == SSH_OK &&
        (userName.find_first_not_of(" \t") == std::string::npos ||
         ssh_options_set(session_, SSH_OPTIONS_USER, userName.c_str()) == SSH_OK);
    if (!set) {
        return AsErrorLine("Could not set up the SSH session: " + Error());
    }
    if (ssh_connect(session_) != SSH_OK) {
        return AsErrorLine("Failure establishing ssh session: " + Error());
    }
    Touch();

    ssh_key key = nullptr;
    char* base64 = nullptr;
    if (ssh_get_server_publickey(session_, &key) != SSH_OK ||
        ssh_pki_export_pubkey_base64(key, &base64) != SSH_OK) {
        ssh_key_free(key);
        return AsErrorLine("The server's host key could not be read: " + Error());
    }
    ServerIdentity shown;
    shown.kind = ServerIdentity::Kind::Ssh;
    shown.host = address.host;
    shown.port = address.port;
    shown.keyBase64 = base64;
    ssh_string_free_char(base64);
    ssh_key_free(key);
    const std::string blob = FromBase64(shown.keyBase64);
    shown.keyType = SshKeyType(blob);
    shown.fingerprint = SshFingerprint(blob);
    for (const auto& [type, recordedKey] : recorded) {
        if (type == shown.keyType && recordedKey == shown.keyBase64) {
            return {};
        }
    }
    shown.changed = !recorded.empty();
    std::string text = UnverifiedIdentity("host key " + shown.fingerprint, shown.changed);
    refused = std::move(shown);
    return text;
}

std::string SshLink::LogIn(const std::string& password)
{
    switch (ssh_userauth_password(session_, nullptr, password.c_str())) {
    case SSH_AUTH_SUCCESS:
        Touch();
        return {};
    case SSH_AUTH_DENIED:
    case SSH_AUTH_PARTIAL:
        return kSshLoginRefused;
    default:
        return AsErrorLine("Could not log in: " + Error());
    }
}

std::string SshLink::LogIn(SshKeyLogin& keys)
{
    do {
        const SshKeyWay& way = keys.Current();
        int rc = SSH_AUTH_DENIED;
        if (way.privateKey.empty()) {
            rc = ssh_userauth_agent(session_, nullptr);
        } else {
            ssh_key key = nullptr;
            if (ssh_pki_import_privkey_file(way.privateKey.c_str(), nullptr, nullptr, nullptr,
                                            &key) == SSH_OK) {
                rc = ssh_userauth_publickey(session_, nullptr, key);
            }
            ssh_key_free(key);
        }
        if (rc == SSH_AUTH_SUCCESS) {
            Touch();
            return {};
        }
        if (rc == SSH_AUTH_ERROR) {
            break; // the server has hung up: what was offered so far is the answer
        }
    } while (keys.Next());
    return keys.FailureText();
}

std::string SshLink::StartSubsystem(const char* name)
{
    channel_ = ssh_channel_new(session_);
    if (channel_ == nullptr || ssh_channel_open_session(channel_) != SSH_OK ||
        ssh_channel_request_subsystem(channel_, name) != SSH_OK) {
        return AsErrorLine(std::string("Could not start ") + name + " on the server: " + Error());
    }
    Touch();
    return {};
}

bool SshLink::Send(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0 && !shutDown_) {
        const std::uint32_t part = static_cast<std::uint32_t>(std::min<std::size_t>(size, 1 << 20));
        const int sent = ssh_channel_write(channel_, bytes, part);
        if (sent <= 0) {
            return false;
        }
        Touch();
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return size == 0;
}

bool SshLink::Receive(void* data, std::size_t size)
{
    auto* bytes = static_cast<char*>(data);
    // Answers come a few small packets at a time, and a server that holds back a small packet
    // until the last one is acknowledged (Nagle) would wait out our delayed acknowledgement, some
    // 40 ms, on each: acknowledge at once while waiting.
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    while (size > 0 && !shutDown_) {
        const std::uint32_t part = static_cast<std::uint32_t>(std::min<std::size_t>(size, 1 << 20));
        const int got = ssh_channel_read_timeout(channel_, bytes, part, 0, -1);
        if (got < 0 || (got == 0 && (ssh_channel_is_eof(channel_) != 0 ||
                                     ssh_channel_is_closed(channel_) != 0))) {
            return false;
        }
        if (got > 0) {
            Touch();
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return size == 0;
}

} // namespace transfer
