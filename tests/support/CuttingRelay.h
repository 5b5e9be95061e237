#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A TCP relay on 127.0.0.1 in front of a server on 127.0.0.1, for the tests that need a
// connection dropped at a moment of their choosing, which no real server can be asked for: what
// connects to port() goes on to `serverPort`, forwarded both ways, until the relay cuts it.
//
// Before the relay forwards a chunk the client sent, it asks the condition given to cutWhen,
// with the count of client bytes forwarded so far (all connections together). When the condition
// holds, that chunk is dropped and every connection open then is closed on both sides: the server
// never sees the chunk, and the client sees its connection end. An SSH stream shows nothing of what
// it carries, but the client sends its next request only once the server has answered the last
// one, so a condition on the server's disk picks the gap between two requests exactly: "the old
// copy is gone" cuts the rename that follows the removal. The condition counts once; cut() cuts
// at once. Connections made after a cut are forwarded as usual.
class CuttingRelay
{
public:
    using Condition = std::function<bool(std::uint64_t clientBytes)>;

    explicit CuttingRelay(std::uint16_t serverPort);
    ~CuttingRelay();
    CuttingRelay(const CuttingRelay&) = delete;
    CuttingRelay& operator=(const CuttingRelay&) = delete;

    std::uint16_t port() const { return port_; }
    // Called on the relay's threads, one chunk at a time; it must not call the relay.
    void cutWhen(Condition condition);
    // As cutWhen, but the connections stay open and the client's bytes go nowhere from then on:
    // a server that stops answering.
    void holdWhen(Condition condition);
    void cut();
    // How often the relay has cut.
    int cuts() const;

private:
    struct Link;
    void accept();
    void forward(const std::shared_ptr<Link>& link, bool fromClient);
    void cutLocked();

    std::uint16_t serverPort_;
    std::uint16_t port_ = 0;
    int listener_ = -1;
    mutable std::mutex mutex_;
    Condition condition_;
    std::uint64_t clientBytes_ = 0;
    int cuts_ = 0;
    bool hold_ = false;    // the condition holds the client's bytes back instead of cutting
    bool holding_ = false; // and has held since
    std::vector<std::weak_ptr<Link>> links_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};
