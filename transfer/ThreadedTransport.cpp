#include "transfer/ThreadedTransport.h"

#include "transfer/FolderScanner.h"
#include "transfer/TransferSession.h"
#include "transfer/TransferTexts.h"
#include "transfer/TrustStore.h"

#include <QMetaObject>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <variant>

namespace {

using Clock = std::chrono::steady_clock;

// The window redraws its caption on each progress message; more often than this only costs it
// time, and a transfer reports about this often anyway.
constexpr std::chrono::milliseconds kProgressEvery{100};

const char* const kInternalError = "Internal application error.";

struct ListFiles
{
    std::string pattern;
};

// Runs `answer` later on the thread that owns `owner`, from its event loop. Posted events keep
// the order they were posted in, whichever thread posted them; events still waiting when the
// owner is destroyed are dropped with it.
template <typename Answer> void Post(QObject* owner, Answer answer)
{
    QMetaObject::invokeMethod(owner, std::move(answer), Qt::QueuedConnection);
}

FileOutcome Abandoned()
{
    FileOutcome outcome;
    outcome.resultText = transfer::kAbandoned;
    return outcome;
}

FileOutcome Failed(const char* text, bool outOfMemory = false)
{
    FileOutcome outcome;
    outcome.error = text != nullptr && *text != '\0' ? text : kInternalError;
    outcome.outOfMemory = outOfMemory;
    return outcome;
}

} // namespace

struct ThreadedTransport::Request
{
    std::variant<ListFiles, FileRequest> what;
};

// One run's thread and what it shares with the owner. The owner adds requests, closes and reads
// `ended` under the mutex; the thread takes requests and sets `ended` under it, and touches
// nothing of the session once it has.
struct ThreadedTransport::Session
{
    explicit Session(RunId id) : run(id) {}

    const RunId run;
    std::mutex mutex;
    std::condition_variable wake;     // for the thread: a request, the close, the abandon
    std::condition_variable finished; // for the owner: `ended`
    std::deque<Request> queue;
    bool closed = false;
    bool ended = false; // the thread takes no more requests; joining it waits for nothing
    std::thread thread;
};

ThreadedTransport::ThreadedTransport(std::string trustRoot, QObject* parent)
    : QObject(parent), trustRoot_(std::move(trustRoot))
{}

ThreadedTransport::~ThreadedTransport()
{
    AbandonAll();
    for (const std::unique_ptr<Session>& session : sessions_) {
        session->thread.join();
    }
}

void ThreadedTransport::SetSink(Sink sink)
{
    sink_ = std::move(sink);
}

void ThreadedTransport::List(RunId run, const std::string& pattern)
{
    Enqueue(run, Request{ListFiles{pattern}});
}

void ThreadedTransport::Send(RunId run, FileRequest request)
{
    Enqueue(run, Request{std::move(request)});
}

void ThreadedTransport::Close(RunId run)
{
    for (const std::unique_ptr<Session>& session : sessions_) {
        std::lock_guard lock(session->mutex);
        if (session->run == run && !session->ended) {
            session->closed = true;
            session->wake.notify_one();
            return;
        }
    }
    // No thread holds a connection for the run.
    Post(this, [this, run] { Closed(run); });
}

void ThreadedTransport::Closed(RunId run)
{
    JoinEnded();
    if (sink_.closed) {
        sink_.closed(run);
    }
}

void ThreadedTransport::AbandonAll()
{
    abandoned_ = true;
    // Under each lock, so that no thread is between testing the flag and waiting for a wake-up.
    for (const std::unique_ptr<Session>& session : sessions_) {
        std::lock_guard lock(session->mutex);
        session->wake.notify_one();
    }
}

bool ThreadedTransport::WaitUntilIdle(std::chrono::milliseconds limit)
{
    const Clock::time_point deadline = Clock::now() + limit;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        Session& session = **it;
        std::unique_lock lock(session.mutex);
        const bool ended =
            session.finished.wait_until(lock, deadline, [&] { return session.ended; });
        lock.unlock();
        if (ended) {
            session.thread.join();
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    return sessions_.empty();
}

void ThreadedTransport::Enqueue(RunId run, Request request)
{
    // A run whose thread has ended (closed, or abandoned) gets a new one, unless everything is
    // abandoned: the old thread has posted all its answers by then, so the order holds.
    for (const std::unique_ptr<Session>& session : sessions_) {
        if (session->run != run) {
            continue;
        }
        std::lock_guard lock(session->mutex);
        if (!session->ended) {
            session->queue.push_back(std::move(request));
            session->wake.notify_one();
            return;
        }
    }
    if (abandoned_) {
        AnswerHere(run, request, Abandoned());
        return;
    }
    Session& session = *sessions_.emplace_back(std::make_unique<Session>(run));
    session.queue.push_back(std::move(request));
    try {
        session.thread = std::thread([this, &session] { Work(session); });
    } catch (const std::exception& e) {
        const Request refused = std::move(session.queue.front());
        sessions_.pop_back();
        AnswerHere(run, refused,
                   Failed((std::string("Could not start a transfer: ") + e.what()).c_str()));
    }
}

void ThreadedTransport::AnswerHere(RunId run, const Request& request, FileOutcome outcome)
{
    if (std::holds_alternative<ListFiles>(request.what)) {
        Post(this, [this, run] {
            if (sink_.listed) {
                sink_.listed(run, {});
            }
        });
    } else {
        Post(this, [this, run, outcome = std::move(outcome)]() mutable {
            if (sink_.fileDone) {
                sink_.fileDone(run, std::move(outcome));
            }
        });
    }
}

void ThreadedTransport::Work(Session& session)
{
    const RunId run = session.run;
    std::optional<TrustStore> trust;
    std::unique_ptr<TransferSession> transfer;
    std::unique_lock lock(session.mutex);
    for (;;) {
        session.wake.wait(lock,
                          [&] { return !session.queue.empty() || session.closed || abandoned_; });
        if (session.queue.empty()) {
            if (!transfer) {
                break;
            }
            // Logging out can take a round trip; a request that comes meanwhile still finds the
            // thread.
            lock.unlock();
            transfer.reset();
            lock.lock();
            continue;
        }
        Request request = std::move(session.queue.front());
        session.queue.pop_front();
        lock.unlock();
        try {
            Perform(run, request, trust, transfer);
        } catch (...) {
            // Only posting the answer can fail here, and with no memory left to post it the run
            // waits in vain; the thread still goes on with the rest.
        }
        lock.lock();
    }
    session.ended = true;
    session.finished.notify_all();
    lock.unlock();
    // The session may be gone from here on (WaitUntilIdle drops it), but the object stays until
    // this thread has been joined.
    try {
        Post(this, [this, run] { Closed(run); });
    } catch (...) {
        // Joined at the next WaitUntilIdle or end, then.
    }
}

void ThreadedTransport::Perform(RunId run, const Request& request, std::optional<TrustStore>& trust,
                                std::unique_ptr<TransferSession>& transfer)
{
    if (auto* list = std::get_if<ListFiles>(&request.what)) {
        std::vector<FilePair> files;
        if (!abandoned_) {
            try {
                files = ListPatternFiles(list->pattern);
            } catch (...) {
                files.clear(); // out of memory: nothing listed, so nothing of the run is sent
            }
        }
        Post(this, [this, run, files = std::move(files)]() mutable {
            if (sink_.listed) {
                sink_.listed(run, std::move(files));
            }
        });
        return;
    }

    const FileRequest& file = std::get<FileRequest>(request.what);
    FileOutcome outcome = Abandoned();
    std::uint64_t shownSent = 0;
    std::uint64_t shownTotal = 0;
    std::optional<Clock::time_point> shownAt;
    const auto progress = [&](std::uint64_t sent, std::uint64_t total) {
        if (abandoned_) {
            return false;
        }
        const Clock::time_point now = Clock::now();
        const bool changed = !shownAt || sent != shownSent || total != shownTotal;
        if (changed && (!shownAt || now - *shownAt >= kProgressEvery)) {
            shownSent = sent;
            shownTotal = total;
            shownAt = now;
            Post(this, [this, run, sent, total] {
                if (sink_.progress) {
                    sink_.progress(run, sent, total);
                }
            });
        }
        return true;
    };
    try {
        if (!abandoned_) {
            if (!trust) {
                trust.emplace(trustRoot_);
            }
            if (!transfer) {
                transfer = std::make_unique<TransferSession>();
            }
            std::string text;
            std::int32_t success = 0;
            std::optional<ServerIdentity> untrusted;
            TransferReplace replace{file.inPlace, false};
            transfer->Send(file.userName, file.password, file.webAddress, file.remotePath,
                           file.localPath, file.port, file.passiveMode, text, success, progress,
                           TransferTrust{&*trust, &untrusted}, &replace);
            outcome.resultText = std::move(text);
            outcome.success = success != 0;
            outcome.untrusted = std::move(untrusted);
            outcome.renameRefused = replace.renameRefused;
        }
    } catch (const std::bad_alloc&) {
        outcome = Failed("Out of memory.", true);
    } catch (const std::exception& e) {
        outcome = Failed(e.what());
    } catch (...) {
        outcome = Failed(kInternalError);
    }
    Post(this, [this, run, outcome = std::move(outcome)]() mutable {
        if (sink_.fileDone) {
            sink_.fileDone(run, std::move(outcome));
        }
    });
}

void ThreadedTransport::JoinEnded()
{
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        Session& session = **it;
        bool ended = false;
        {
            std::lock_guard lock(session.mutex);
            ended = session.ended;
        }
        if (ended) {
            session.thread.join();
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}
