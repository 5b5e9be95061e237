#include "transfer/SftpTransfer.h"

#include "transfer/RenameFailure.h"
#include "transfer/SessionState.h"
#include "transfer/SshKeyLogin.h"
#include "transfer/TransferTexts.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace transfer {

namespace {

using Clock = SshLink::Clock;

// How often progress is told and the time-outs looked at.
constexpr std::chrono::milliseconds kWatchEvery{100};

// What the thread that does the work and the one that watches it share.
class Watch
{
public:
    // The connection now in use; one made after a cut is cut at once.
    void Use(SshLink& link, bool connecting)
    {
        std::lock_guard lock(mutex_);
        link_ = &link;
        connecting_ = connecting;
        since_ = Clock::now();
        if (cut_) {
            link.ShutDown();
        }
    }
    void LoggedIn()
    {
        std::lock_guard lock(mutex_);
        connecting_ = false;
        since_ = Clock::now();
    }
    enum class Why
    {
        None,
        Abandoned,
        ConnectTimeout,
        Stalled,
    };
    void Cut(Why why)
    {
        std::lock_guard lock(mutex_);
        if (!cut_) {
            cut_ = true;
            why_ = why;
        }
        if (link_ != nullptr) {
            link_->ShutDown();
        }
    }
    // The time-out that has run out now, if any.
    Why Overdue(const TransferTimeouts& timeouts)
    {
        std::lock_guard lock(mutex_);
        if (link_ == nullptr || cut_) {
            return Why::None;
        }
        const Clock::time_point now = Clock::now();
        if (connecting_) {
            return now - since_ > timeouts.connect ? Why::ConnectTimeout : Why::None;
        }
        return now - std::max(since_, link_->LastActivity()) > timeouts.stall ? Why::Stalled
                                                                              : Why::None;
    }
    Why Reason()
    {
        std::lock_guard lock(mutex_);
        return why_;
    }
    void Forget()
    {
        std::lock_guard lock(mutex_);
        link_ = nullptr;
    }

    std::atomic<std::uint64_t> sent{0};

private:
    std::mutex mutex_;
    SshLink* link_ = nullptr;
    bool connecting_ = false;
    Clock::time_point since_ = Clock::now();
    bool cut_ = false;
    Why why_ = Why::None;
};

// A missing folder on the way to the file, told as FTP tells it, with the server's words.
std::string NoFolder(const std::string& directory, const std::string& reason)
{
    std::string text = reason;
    // FTP servers show the login folder as "/"; an SFTP path from "/" is the server's own.
    if (directory.starts_with('/')) {
        text += std::string(text.empty() ? "" : " ") +
                "(sftp:// paths are the server's own: \"/\" is the server's root; try the path "
                "relative to your login folder, without the leading \"/\")";
    }
    return WithServerReason(kCannotChangeDirectory, text);
}

class Upload
{
public:
    Upload(TransferSession::State& state, const SftpUpload& up, Watch& watch,
           const TransferTimeouts& timeouts)
        : state_(state), up_(up), watch_(watch), timeouts_(timeouts)
    {}

    std::string Run();

private:
    // The session's connection, or a new one made now; "" when it is there and logged in.
    std::string Connect(bool fresh);
    SftpChannel& Channel() { return state_.sftp->channel; }
    // Stores the local file from its start under `path`; "" when the server has all of it.
    std::string Store(const std::string& path, bool mayReconnect);
    std::string Publish();
    // The temporary copy goes where the server allows; its note with it.
    void RemoveTemporary();

    TransferSession::State& state_;
    const SftpUpload& up_;
    Watch& watch_;
    const TransferTimeouts& timeouts_;
    bool connectedFresh_ = false; // this file made the connection it is on
    bool storeBegun_ = false;     // the server has opened a file for it
};

std::string Upload::Connect(bool fresh)
{
    if (!fresh && state_.sftp && !state_.sftp->link.IsShutDown()) {
        watch_.Use(state_.sftp->link, false);
        return {};
    }
    std::optional<SshKeyLogin> keys;
    if (up_.password.empty()) {
        keys.emplace(state_.sshKeyWay);
        if (keys->Empty()) {
            return keys->FailureText();
        }
    }
    watch_.Forget();
    state_.sftp.reset();
    state_.sftp = std::make_unique<SftpConnection>();
    connectedFresh_ = true;
    SshLink& link = state_.sftp->link;
    watch_.Use(link, true);
    std::optional<ServerIdentity> refused;
    std::string failed = link.Connect(up_.address, up_.userName, up_.trust.store,
                                      Clock::now() + timeouts_.connect, refused);
    if (refused && up_.trust.untrusted != nullptr && !refused->keyType.empty()) {
        *up_.trust.untrusted = std::move(*refused);
    }
    if (failed.empty()) {
        failed = keys ? link.LogIn(*keys) : link.LogIn(up_.password);
        if (failed.empty() && keys) {
            state_.sshKeyWay = keys->Current();
        }
    }
    if (failed.empty()) {
        watch_.LoggedIn();
        failed = link.StartSubsystem("sftp");
        if (failed.empty()) {
            if (std::string why = Channel().Start(); !why.empty()) {
                failed = WithServerReason(kCannotPut, why);
            }
        }
    }
    return failed;
}

std::string Upload::Store(const std::string& path, bool mayReconnect)
{
    std::string handle;
    SftpStatus status = Channel().Open(path, handle);
    if (status.lost && mayReconnect && !connectedFresh_) {
        // The connection the session kept has gone meanwhile: once more over a new one.
        if (std::string failed = Connect(true); !failed.empty()) {
            return failed;
        }
        status = Channel().Open(path, handle);
    }
    if (!status.Succeeded()) {
        if (status.code == SftpStatus::NoSuchFile && !status.lost && !up_.directory.empty()) {
            return NoFolder(up_.directory, status.message);
        }
        return WithServerReason(kCannotPut, status.message);
    }
    storeBegun_ = true;
    std::fseek(up_.local, 0, SEEK_SET);
    LocalSource source{up_.local, up_.total};
    watch_.sent = 0; // a second store, under the final name, shows from the start
    status = Channel().WriteAndClose(handle, source, watch_.sent);
    if (status.Succeeded()) {
        return {};
    }
    if (status.local) {
        return kCannotPut;
    }
    return WithServerReason(kCannotPut, (status.lost ? "" : "writing failed: ") + status.message);
}

void Upload::RemoveTemporary()
{
    const SftpStatus removed = Channel().Remove(up_.directory + up_.temporary);
    if (removed.Succeeded() || (!removed.lost && removed.code == SftpStatus::NoSuchFile)) {
        up_.note.Forget();
    }
}

std::string Upload::Publish()
{
    const std::string from = up_.directory + up_.temporary;
    const std::string to = up_.directory + up_.name;
    const bool posix = Channel().HasPosixRename();
    bool oldGone = false;
    const auto rename = [&] {
        // Where the server's rename does not replace a file, the old copy goes just before it.
        if (state_.removeBeforeRename && !posix) {
            SftpStatus removed;
            const SftpStatus renamed = Channel().RemoveThenRename(from, to, removed);
            oldGone = oldGone || removed.Succeeded();
            return renamed;
        }
        return Channel().Rename(from, to, posix);
    };
    SftpStatus status = rename();
    if (status.lost) {
        // Once more over a new connection: the rename may not have reached the server.
        if (std::string failed = Connect(true); !failed.empty()) {
            return failed;
        }
        status = rename();
    }
    const auto why = [&] { return SftpRenameWhy(status.code, status.lost, posix); };
    if (!status.Succeeded() && why() == RenameFailure::Why::Exists && !state_.removeBeforeRename) {
        // SFTP version 3 renames only to a free name, and OpenSSH says no more than "Failure":
        // the old copy goes first, for this file and the session's later ones.
        state_.removeBeforeRename = true;
        status = rename();
    }
    if (!status.Succeeded() && why() == RenameFailure::Why::Refused && !oldGone) {
        // No renames here at all (an upload-only drop folder): the file goes under its final
        // name, and so do the job's later ones; the temporary copy goes where allowed.
        std::string failed = Store(to, false);
        RemoveTemporary();
        if (failed.empty() && up_.replace != nullptr) {
            up_.replace->renameRefused = true;
        }
        return failed;
    }
    if (status.Succeeded()) {
        up_.note.Forget();
        return {};
    }
    // The old copy stands: the temporary one is not needed. Where the old one may be gone, the
    // temporary copy is the only complete one and stays, noted, until a later run publishes.
    if (!status.lost && !oldGone) {
        RemoveTemporary();
    }
    return WithServerReason(kCannotPut, status.message);
}

std::string Upload::Run()
{
    if (std::string failed = Connect(false); !failed.empty()) {
        return failed;
    }
    // Copies earlier uploads left behind go first, from the login folder.
    for (PendingUploads::Note& leftover : up_.leftovers) {
        const SftpStatus removed = Channel().Remove(leftover.Path());
        if (!removed.lost) {
            leftover.Forget();
        }
    }
    if (!up_.canStore) {
        if (!up_.directory.empty()) {
            const std::string folder = up_.directory.size() > 1
                                           ? up_.directory.substr(0, up_.directory.size() - 1)
                                           : up_.directory;
            const SftpStatus there = Channel().Stat(folder);
            if (there.code == SftpStatus::NoSuchFile && !there.lost) {
                return NoFolder(up_.directory, there.message);
            }
        }
        return kCannotPut;
    }
    const bool viaTemporary = !up_.temporary.empty();
    std::string failed = Store(up_.directory + (viaTemporary ? up_.temporary : up_.name), true);
    if (!failed.empty()) {
        // A store that failed on its way leaves its temporary copy behind, never the
        // destination: it goes where the server allows, while the failure stays the one told.
        if (viaTemporary && storeBegun_ && !state_.sftp->link.IsShutDown()) {
            RemoveTemporary();
        }
        return failed;
    }
    return viaTemporary ? Publish() : std::string();
}

} // namespace

std::string SendOverSftp(TransferSession::State& state, const SftpUpload& upload)
{
    const TransferTimeouts timeouts = ReadTimeouts();
    Watch watch;
    std::string result;
    std::exception_ptr error;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread worker([&] {
        try {
            Upload work(state, upload, watch, timeouts);
            result = work.Run();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(mutex);
        done = true;
        finished.notify_all();
    });
    std::exception_ptr thrown;
    std::unique_lock lock(mutex);
    while (!done) {
        finished.wait_for(lock, kWatchEvery);
        if (done) {
            break;
        }
        lock.unlock();
        if (upload.progress && !thrown) {
            const std::uint64_t sent = watch.sent;
            try {
                if (!upload.progress(sent, std::max(sent, upload.total))) {
                    watch.Cut(Watch::Why::Abandoned);
                }
            } catch (...) {
                thrown = std::current_exception();
                watch.Cut(Watch::Why::Abandoned);
            }
        }
        if (const Watch::Why overdue = watch.Overdue(timeouts); overdue != Watch::Why::None) {
            watch.Cut(overdue);
        }
        lock.lock();
    }
    lock.unlock();
    worker.join();
    if (thrown) {
        std::rethrow_exception(thrown);
    }
    if (error) {
        std::rethrow_exception(error);
    }
    switch (watch.Reason()) {
    case Watch::Why::Abandoned:
        return kAbandoned;
    case Watch::Why::ConnectTimeout:
        return AsErrorLine("Connection timed out after " +
                           std::to_string(timeouts.connect.count()) + " milliseconds");
    case Watch::Why::Stalled:
        return kCannotPut;
    case Watch::Why::None:
        break;
    }
    return result.empty() ? std::string(kOk) : result;
}

} // namespace transfer
