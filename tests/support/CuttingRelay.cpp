#include "tests/support/CuttingRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

// Both ends of one relayed connection; the last of its two threads closes them.
struct CuttingRelay::Link
{
    int client = -1;
    int server = -1;
    ~Link()
    {
        ::close(client);
        ::close(server);
    }
    // Ends both directions: each thread's recv returns, and both peers see the connection end.
    void end() const
    {
        shutdown(client, SHUT_RDWR);
        shutdown(server, SHUT_RDWR);
    }
};

CuttingRelay::CuttingRelay(std::uint16_t serverPort) : serverPort_(serverPort)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(listener_);
        throw std::runtime_error("the relay could not listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept(); });
}

CuttingRelay::~CuttingRelay()
{
    // A listening socket shut down wakes the accept that waits on it.
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    ::close(listener_);
    {
        std::lock_guard lock(mutex_);
        for (const std::weak_ptr<Link>& weak : links_) {
            if (const std::shared_ptr<Link> link = weak.lock()) {
                link->end();
            }
        }
    }
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void CuttingRelay::cutWhen(Condition condition)
{
    std::lock_guard lock(mutex_);
    condition_ = std::move(condition);
}

void CuttingRelay::holdWhen(Condition condition)
{
    std::lock_guard lock(mutex_);
    condition_ = std::move(condition);
    hold_ = true;
}

void CuttingRelay::cut()
{
    std::lock_guard lock(mutex_);
    cutLocked();
}

int CuttingRelay::cuts() const
{
    std::lock_guard lock(mutex_);
    return cuts_;
}

void CuttingRelay::cutLocked()
{
    condition_ = nullptr;
    ++cuts_;
    for (const std::weak_ptr<Link>& weak : links_) {
        if (const std::shared_ptr<Link> link = weak.lock()) {
            link->end();
        }
    }
}

void CuttingRelay::accept()
{
    for (;;) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        auto link = std::make_shared<Link>();
        link->client = client;
        link->server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in server = Loopback(serverPort_);
        if (connect(link->server, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
            continue; // the client sees its connection end, as with a server that is not there
        }
        std::lock_guard lock(mutex_);
        links_.push_back(link);
        threads_.emplace_back([this, link] { forward(link, true); });
        threads_.emplace_back([this, link] { forward(link, false); });
    }
}

void CuttingRelay::forward(const std::shared_ptr<Link>& link, bool fromClient)
{
    const int from = fromClient ? link->client : link->server;
    const int to = fromClient ? link->server : link->client;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = recv(from, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        if (fromClient) {
            std::lock_guard lock(mutex_);
            if (condition_ && condition_(clientBytes_)) {
                if (!hold_) {
                    cutLocked();
                    break;
                }
                holding_ = true;
            }
            if (holding_) {
                continue;
            }
            clientBytes_ += static_cast<std::uint64_t>(got);
        }
        ssize_t sent = 0;
        while (sent < got) {
            const ssize_t n =
                send(to, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += n;
        }
        if (sent < got) {
            break;
        }
    }
    // One side ended: so does the other.
    link->end();
}
