#pragma once

// A slow link for the benches, without netem (this machine's kernel has none): a proxy process of
// ours sits in a network namespace of its own, listening on 127.0.0.1 there on the servers' very
// port numbers (the control ports and proftpd's passive range, so passive replies need no
// rewriting), and forwards every connection to the same port on 127.0.0.1 of the machine. A
// connection reaches the server three one-way delays after the client's connect (the TCP
// handshake), and every byte after that one delay later, in order. The clients run inside that
// namespace. Needs root.
//
// The proxy is the bench's own executable started again: main() hands its arguments to
// RunDelayProxyIfAsked first.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace delay_proxy {

using Clock = std::chrono::steady_clock;

struct Chunk
{
    Clock::time_point due;
    std::string bytes; // empty: the sender's end of stream
};

struct Direction
{
    std::deque<Chunk> queue;
    std::size_t written = 0; // of the queue's first chunk
    bool readEnded = false;
    bool delivered = false; // the end of stream has gone through
};

struct Link
{
    int client = -1;
    int server = -1;
    std::uint16_t port = 0;
    Clock::time_point connectAt;
    bool connected = false;
    Direction up;   // client to server
    Direction down; // server to client
};

inline sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Reads what the socket has into the direction's queue, due `delay` from now.
inline void Pull(int fd, Direction& direction, Clock::duration delay)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            direction.queue.push_back({Clock::now() + delay, std::string(buffer, n)});
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        direction.readEnded = true; // end of stream or a reset: passed on as an end
        direction.queue.push_back({Clock::now() + delay, {}});
        return;
    }
}

// Writes what is due; false when the socket would block.
inline bool Push(int fd, Direction& direction, Clock::time_point now)
{
    while (!direction.queue.empty() && direction.queue.front().due <= now) {
        Chunk& chunk = direction.queue.front();
        if (chunk.bytes.empty()) {
            shutdown(fd, SHUT_WR);
            direction.delivered = true;
            direction.queue.clear();
            return true;
        }
        const ssize_t n = send(fd, chunk.bytes.data() + direction.written,
                               chunk.bytes.size() - direction.written, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN) {
                return false;
            }
            direction.delivered = true; // the receiver is gone
            direction.queue.clear();
            return true;
        }
        direction.written += static_cast<std::size_t>(n);
        if (direction.written == chunk.bytes.size()) {
            direction.queue.pop_front();
            direction.written = 0;
        }
    }
    return true;
}

inline int ProxyMain(int delayMs, const std::vector<std::uint16_t>& ports)
{
    const Clock::duration delay = std::chrono::milliseconds(delayMs);
    const int root = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (root < 0 || unshare(CLONE_NEWNET) != 0) {
        std::perror("delay proxy: namespace");
        return 1;
    }
    {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        ioctl(s, SIOCGIFFLAGS, &request);
        request.ifr_flags |= IFF_UP;
        if (ioctl(s, SIOCSIFFLAGS, &request) != 0) {
            std::perror("delay proxy: lo up");
            return 1;
        }
        close(s);
    }
    std::vector<std::pair<int, std::uint16_t>> listeners;
    for (const std::uint16_t port : ports) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in address = Loopback(port);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 64) != 0) {
            std::perror("delay proxy: listen");
            return 1;
        }
        listeners.emplace_back(fd, port);
    }
    // The bench takes hold of the namespace while we are still in it, then lets us go back to
    // the machine's, where the connections to the servers are made.
    std::printf("ready\n");
    std::fflush(stdout);
    char go = 0;
    if (read(0, &go, 1) != 1 || setns(root, CLONE_NEWNET) != 0) {
        std::perror("delay proxy: back to the machine's namespace");
        return 1;
    }

    std::vector<std::unique_ptr<Link>> links;
    for (;;) {
        const Clock::time_point now = Clock::now();
        // Start the connections whose handshake time is up, and deliver what is due.
        for (auto& link : links) {
            if (link->server < 0 && link->connectAt <= now) {
                link->server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                const sockaddr_in address = Loopback(link->port);
                connect(link->server, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            }
            if (link->connected) {
                Push(link->server, link->up, now);
                Push(link->client, link->down, now);
            }
        }
        links.erase(std::remove_if(links.begin(), links.end(),
                                   [](const std::unique_ptr<Link>& link) {
                                       if (!(link->up.delivered && link->down.delivered)) {
                                           return false;
                                       }
                                       close(link->client);
                                       close(link->server);
                                       return true;
                                   }),
                    links.end());

        std::vector<pollfd> fds;
        fds.push_back({0, POLLIN, 0}); // the parent closes our stdin to stop us
        for (const auto& [fd, port] : listeners) {
            fds.push_back({fd, POLLIN, 0});
        }
        Clock::time_point wake = now + std::chrono::seconds(1);
        for (auto& link : links) {
            const auto dueOf = [&](const Direction& d) {
                if (!d.queue.empty()) {
                    wake = std::min(wake, d.queue.front().due);
                }
            };
            if (link->server < 0) {
                wake = std::min(wake, link->connectAt);
            }
            short clientEvents = link->up.readEnded ? 0 : POLLIN;
            short serverEvents = 0;
            if (link->server >= 0 && !link->connected) {
                serverEvents = POLLOUT;
            } else if (link->connected) {
                dueOf(link->up);
                dueOf(link->down);
                serverEvents = link->down.readEnded ? 0 : POLLIN;
                if (!link->up.queue.empty() && link->up.queue.front().due <= now) {
                    serverEvents |= POLLOUT;
                }
                if (!link->down.queue.empty() && link->down.queue.front().due <= now) {
                    clientEvents |= POLLOUT;
                }
            }
            // A socket asked for nothing is left out: a hung-up one would wake poll at once.
            fds.push_back({clientEvents != 0 ? link->client : -1, clientEvents, 0});
            fds.push_back({serverEvents != 0 ? link->server : -1, serverEvents, 0});
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now);
        const int timeout = static_cast<int>(std::max<long>(0, wait.count() + 1));
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            std::perror("delay proxy: poll");
            return 1;
        }
        if (fds[0].revents != 0) {
            return 0;
        }
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            if ((fds[1 + i].revents & POLLIN) == 0) {
                continue;
            }
            for (;;) {
                const int client = accept4(listeners[i].first, nullptr, nullptr, SOCK_NONBLOCK);
                if (client < 0) {
                    break;
                }
                auto link = std::make_unique<Link>();
                link->client = client;
                link->port = listeners[i].second;
                link->connectAt = Clock::now() + 3 * delay; // SYN, SYN-ACK, ACK
                links.push_back(std::move(link));
            }
        }
        // Links added just now have no entry in fds; they come in on the next turn.
        const std::size_t base = 1 + listeners.size();
        for (std::size_t i = 0; base + 2 * i + 1 < fds.size(); ++i) {
            Link& link = *links[i];
            const short clientEvents = fds[base + 2 * i].revents;
            const short serverEvents = fds[base + 2 * i + 1].revents;
            if (link.server >= 0 && !link.connected && serverEvents != 0) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(link.server, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    // Refused: the client sees its connection end.
                    link.up.delivered = link.down.delivered = true;
                    continue;
                }
                link.connected = true;
            }
            if (clientEvents & (POLLIN | POLLHUP | POLLERR)) {
                if (!link.up.readEnded) {
                    Pull(link.client, link.up, delay);
                }
            }
            if (link.connected && (serverEvents & (POLLIN | POLLHUP | POLLERR))) {
                if (!link.down.readEnded) {
                    Pull(link.server, link.down, delay);
                }
            }
        }
    }
}

// The proxy seen from the bench: a child process, and its namespace to step into.
class DelayProxy
{
public:
    DelayProxy(int delayMs, const std::vector<std::uint16_t>& ports)
    {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("no pipe for the delay proxy");
        }
        std::vector<std::string> args = {"/proc/self/exe", "--delay-proxy",
                                         std::to_string(delayMs)};
        for (const std::uint16_t port : ports) {
            args.push_back(std::to_string(port));
        }
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        if (spawned != 0) {
            close(out[0]);
            throw std::runtime_error("could not start the delay proxy");
        }
        char ready[16] = {};
        const ssize_t n = read(out[0], ready, sizeof ready - 1);
        close(out[0]);
        if (n <= 0 || std::strncmp(ready, "ready", 5) != 0) {
            throw std::runtime_error("the delay proxy did not start");
        }
        inside_ = open(("/proc/" + std::to_string(pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        outside_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (inside_ < 0 || outside_ < 0 || write(stdin_, "g", 1) != 1) {
            throw std::runtime_error("cannot open the delay proxy's namespace");
        }
    }
    ~DelayProxy()
    {
        close(stdin_);
        int status = 0;
        waitpid(pid_, &status, 0);
        close(inside_);
        close(outside_);
    }
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // This thread, the threads it starts and the processes it spawns, behind the delay.
    void Enter() const { Switch(inside_); }
    void Leave() const { Switch(outside_); }

private:
    static void Switch(int fd)
    {
        if (setns(fd, CLONE_NEWNET) != 0) {
            throw std::runtime_error(std::string("setns: ") + std::strerror(errno));
        }
    }
    pid_t pid_ = -1;
    int stdin_ = -1;
    int inside_ = -1;
    int outside_ = -1;
};

// When this process was started as the proxy (by DelayProxy), runs it and returns its exit code;
// otherwise -1.
inline int RunDelayProxyIfAsked(int argc, char** argv)
{
    if (argc <= 2 || std::strcmp(argv[1], "--delay-proxy") != 0) {
        return -1;
    }
    std::vector<std::uint16_t> ports;
    for (int i = 3; i < argc; ++i) {
        ports.push_back(static_cast<std::uint16_t>(std::atoi(argv[i])));
    }
    return ProxyMain(std::atoi(argv[2]), ports);
}

} // namespace delay_proxy
