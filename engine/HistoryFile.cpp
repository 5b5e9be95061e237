#include "engine/HistoryFile.h"

#include "engine/ActivityLogText.h"
#include "jobs/PrivateFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// How long an ending program waits for the history to be written.
constexpr std::chrono::milliseconds kEndingWait{1000};

std::string Failure(const std::string& path)
{
    return path + ": " + std::strerror(errno);
}

// The history file open for appending, with its size; closed when it goes.
class Appending
{
public:
    Appending() = default;
    ~Appending() { Close(); }
    Appending(const Appending&) = delete;
    Appending& operator=(const Appending&) = delete;

    bool Open(const std::string& path)
    {
        fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        struct stat info
        {};
        if (fd_ < 0 || fstat(fd_, &info) != 0) {
            return false;
        }
        // The umask may have taken bits the file needs, or another program given some away.
        if ((info.st_mode & 07777) != 0600 && fchmod(fd_, 0600) != 0) {
            return false;
        }
        size_ = static_cast<std::size_t>(info.st_size);
        return true;
    }

    bool Append(const std::string& line)
    {
        if (!WriteAll(fd_, line.data(), line.size())) {
            return false;
        }
        size_ += line.size();
        return true;
    }

    // False when the data written could not be kept after all (a full disk on a network folder).
    bool Close()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || close(fd) == 0;
    }

    std::size_t Size() const { return size_; }

private:
    int fd_ = -1;
    std::size_t size_ = 0;
};

// history.log.2 becomes .3 (over the oldest), .1 becomes .2, history.log becomes .1.
bool Rotate(const std::string& path, std::string& why)
{
    for (int n = HistoryFile::kKeptFiles - 1; n >= 1; --n) {
        const std::string from = path + "." + std::to_string(n);
        const std::string to = path + "." + std::to_string(n + 1);
        if (rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
            why = Failure(from);
            return false;
        }
    }
    if (rename(path.c_str(), (path + ".1").c_str()) != 0) {
        why = Failure(path);
        return false;
    }
    return true;
}

// Appends the lines, rotating first wherever a line would take the file past kRotateAt. The file
// is opened for each batch, so that a history the user deleted or moved starts anew. "" when all
// went well, else why not.
std::string WriteLines(const std::string& path, const std::deque<std::string>& lines)
{
    std::string why;
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 &&
        !MakePrivateFolders(path.substr(0, slash), why)) {
        return why;
    }
    Appending file;
    if (!file.Open(path)) {
        return Failure(path);
    }
    for (const std::string& line : lines) {
        if (file.Size() > 0 && file.Size() + line.size() > HistoryFile::kRotateAt) {
            file.Close();
            if (!Rotate(path, why)) {
                return why;
            }
            if (!file.Open(path)) {
                return Failure(path);
            }
        }
        if (!file.Append(line)) {
            return Failure(path);
        }
    }
    return file.Close() ? std::string() : Failure(path);
}

} // namespace

struct HistoryFile::State
{
    std::string path;
    Failed failed;
    std::thread writer;

    std::mutex mutex;
    std::condition_variable work; // lines came, or the owner is ending
    std::condition_variable idle; // the writer has written what it took
    std::deque<std::string> lines;
    std::size_t queued = 0;
    bool writing = false;
    bool stopping = false;
    bool told = false;
    bool ownerGone = false;

    // With the mutex held.
    void Tell(const std::string& why)
    {
        if (!told) {
            told = true;
            if (!ownerGone && failed) {
                failed(why);
            }
        }
    }

    // The writer thread. It shares the state, so that one left writing to a stuck disk at the
    // end never touches a freed object.
    static void Write(const std::shared_ptr<State>& state)
    {
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->work.wait(lock, [&] { return !state->lines.empty() || state->stopping; });
            if (state->lines.empty()) {
                return;
            }
            std::deque<std::string> batch;
            batch.swap(state->lines);
            state->queued = 0;
            state->writing = true;
            lock.unlock();
            const std::string why = WriteLines(state->path, batch);
            lock.lock();
            state->writing = false;
            if (!why.empty()) {
                state->Tell(why);
            }
            state->idle.notify_all();
        }
    }
};

HistoryFile::HistoryFile(std::string path, Failed failed) : state_(std::make_shared<State>())
{
    state_->path = std::move(path);
    state_->failed = std::move(failed);
    try {
        state_->writer = std::thread(&State::Write, state_);
    } catch (const std::system_error& error) {
        std::lock_guard lock(state_->mutex);
        state_->Tell(state_->path + ": " + error.what());
    }
}

HistoryFile::~HistoryFile()
{
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->work.notify_all();
    const bool written = WaitWritten(kEndingWait);
    {
        std::lock_guard lock(state_->mutex);
        state_->ownerGone = true;
    }
    if (state_->writer.joinable()) {
        if (written) {
            state_->writer.join();
        } else {
            state_->writer.detach();
        }
    }
}

std::string HistoryFile::DefaultPath()
{
    QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    if (stateHome.isEmpty() || !QDir::isAbsolutePath(stateHome)) {
        stateHome = QDir::homePath() + QStringLiteral("/.local/state");
    }
    QString application = QCoreApplication::applicationName();
    if (application.isEmpty()) {
        application = QStringLiteral("ferrovane");
    }
    return QFile::encodeName(stateHome + QStringLiteral("/Ombrix/") + application +
                             QStringLiteral("/history.log"))
        .toStdString();
}

const std::string& HistoryFile::Path() const
{
    return state_->path;
}

void HistoryFile::Add(std::string_view entry)
{
    std::string line = ActivityLogText::HistoryLine(entry, std::time(nullptr));
    std::lock_guard lock(state_->mutex);
    if (!state_->writer.joinable()) {
        return;
    }
    if (state_->queued + line.size() > kQueueLimit) {
        state_->Tell(state_->path + ": the disk does not keep up, entries are left out");
        return;
    }
    state_->queued += line.size();
    state_->lines.push_back(std::move(line));
    state_->work.notify_one();
}

bool HistoryFile::WaitWritten(std::chrono::milliseconds limit)
{
    std::unique_lock lock(state_->mutex);
    return state_->idle.wait_for(lock, limit,
                                 [&] { return state_->lines.empty() && !state_->writing; });
}
