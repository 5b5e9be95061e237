#pragma once

#include "transfer/ServerAddress.h"
#include "transfer/ServerIdentity.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

struct ssh_session_struct;
struct ssh_channel_struct;
class TrustStore;

namespace transfer {

class SshKeyLogin;

// One SSH connection (libssh) on a TCP socket of our own, with one channel for a subsystem. One
// thread at a time drives it, and every call blocks; ShutDown() from any other thread ends every
// wait at once, the name look-up and the connect included, so that an abandon or a stall never
// waits for the server. Each step gives "" when it went well, else the one-line failure text.
class SshLink
{
public:
    using Clock = std::chrono::steady_clock;

    SshLink() = default;
    ~SshLink();
    SshLink(const SshLink&) = delete;
    SshLink& operator=(const SshLink&) = delete;

    // Connects to the address by `deadline` and checks the server's host key against those the
    // store records for the host and port: any other is refused before anything of the login is
    // sent, and set in `refused` (changed when another key is recorded). A blank user name logs
    // in as the local user, as OpenSSH's client would.
    std::string Connect(const ServerAddress& address, const std::string& userName,
                        const TrustStore* store, Clock::time_point deadline,
                        std::optional<ServerIdentity>& refused);
    // The password method.
    std::string LogIn(const std::string& password);
    // Each way of the keys in turn until the server takes one; keys.Current() is then that way.
    std::string LogIn(SshKeyLogin& keys);
    // Opens a session channel and starts the subsystem on it.
    std::string StartSubsystem(const char* name);

    // The channel's bytes, all or nothing: false when the connection failed or ended.
    bool Send(const void* data, std::size_t size);
    bool Receive(void* data, std::size_t size);

    // Ends the connection's waits from any thread; the link is lost from then on.
    void ShutDown();
    bool IsShutDown() const { return shutDown_; }
    // libssh's words for what went wrong last.
    std::string Error() const;
    // When bytes last moved either way, for a watcher on another thread.
    Clock::time_point LastActivity() const
    {
        return Clock::time_point(Clock::duration(lastActivity_.load()));
    }

private:
    std::string OpenSocket(const ServerAddress& address, Clock::time_point deadline);
    void Touch() { lastActivity_ = Clock::now().time_since_epoch().count(); }

    ssh_session_struct* session_ = nullptr;
    ssh_channel_struct* channel_ = nullptr;
    std::mutex mutex_; // guards fd_ against ShutDown
    int fd_ = -1;
    std::atomic<bool> shutDown_{false};
    std::atomic<Clock::rep> lastActivity_{Clock::now().time_since_epoch().count()};
};

} // namespace transfer
