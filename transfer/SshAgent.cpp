#include "transfer/SshAgent.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace transfer {

namespace {

// The agent protocol's request for the keys it holds, and the answer that lists them.
constexpr unsigned char kRequestIdentities = 11;
constexpr unsigned char kIdentitiesAnswer = 12;

struct SocketCloser
{
    explicit SocketCloser(int descriptor) : fd(descriptor) {}
    ~SocketCloser()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    SocketCloser(const SocketCloser&) = delete;
    SocketCloser& operator=(const SocketCloser&) = delete;
    int fd;
};

std::uint32_t ReadUint32(const unsigned char* bytes)
{
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

} // namespace

std::optional<std::uint32_t> SshAgentKeyCount(const std::string& socketPath,
                                              std::chrono::milliseconds timeout)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    // Non-blocking, so that an agent that hangs costs no more than the time-out.
    const SocketCloser agent(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (agent.fd < 0 ||
        connect(agent.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::nullopt;
    }
    const unsigned char request[] = {0, 0, 0, 1, kRequestIdentities};
    if (send(agent.fd, request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
        return std::nullopt;
    }
    // Length, answer type and key count come first; the keys themselves are not needed.
    unsigned char answer[9];
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got < sizeof answer) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watch{agent.fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        const ssize_t n = recv(agent.fd, answer + got, sizeof answer - got, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        got += static_cast<std::size_t>(n);
    }
    if (ReadUint32(answer) < 5 || answer[4] != kIdentitiesAnswer) {
        return std::nullopt;
    }
    return ReadUint32(answer + 5);
}

} // namespace transfer
