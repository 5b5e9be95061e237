#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The log's history on disk: every entry the pane shows, dated in full (ActivityLogText::
// HistoryLine), appended to a file private to the user (0600 in 0700 folders). At kRotateAt bytes
// the file moves to ".1", ".1" to ".2" and so on up to ".<kKeptFiles>", the oldest dropping out.
//
// The window's thread only hands over a copy of the line: a writer thread of the object's own
// opens, appends and rotates, so a slow or stuck disk never holds the window or the uploads. What
// waits for it is bounded (kQueueLimit bytes); beyond that, entries are left out of the history.
// The first failure (no folder, a read-only one, a full disk, a queue that does not drain) is
// reported once for the object's life; later entries are tried again without a word.
class HistoryFile
{
public:
    static constexpr std::size_t kRotateAt = std::size_t{1} << 20;
    static constexpr int kKeptFiles = 3;
    static constexpr std::size_t kQueueLimit = std::size_t{1} << 20;

    // `failed` gets the reason ("<path>: <error>") of the first failure, on whichever thread met
    // it (the writer's, or the caller's when the queue is full), never after the object is gone.
    using Failed = std::function<void(const std::string& why)>;

    HistoryFile(std::string path, Failed failed);
    // Gives the writer a moment to write what waits; a disk that does not answer by then is left
    // to the writer alone, which ends with the program.
    ~HistoryFile();
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;

    // $XDG_STATE_HOME/Ombrix/<application name>/history.log (~/.local/state when XDG_STATE_HOME
    // is unset or not absolute); the application name is the one the settings file is named for.
    static std::string DefaultPath();
    const std::string& Path() const;

    // Dates the entry from now and queues it for the writer; never waits for the disk.
    void Add(std::string_view entry);

    // Waits until everything added has been written (or has failed), for at most `limit`. False
    // when the writer is still busy then.
    bool WaitWritten(std::chrono::milliseconds limit);

private:
    struct State;
    std::shared_ptr<State> state_;
};
