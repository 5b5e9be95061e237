#pragma once

#include <memory>
#include <string>
#include <vector>

// The temporary copies that may still lie on servers. A session that uploads to temporary names
// keeps one small private file here (under <root>/pending/) naming the copy it has out, rewritten
// in place as its files come and go (a file made and removed per upload costs more than the
// upload's own work on a fast link), and removed when the session ends with nothing out. A note
// that still names a copy after its session (the program killed, the connection lost) stays
// behind, and the next session to the same server and login removes that copy before its own
// store. The session holds a lock on its note for as long as it lives, so another process's
// upload in progress is never taken for a leftover; a killed process's lock goes with it.
class PendingUploads
{
public:
    // root: the program's data folder; an empty root notes nothing.
    explicit PendingUploads(std::string root);

    // One note, locked while this object lives. When it goes it takes its file with it, unless
    // the file still names a copy.
    class Note
    {
    public:
        Note() = default;
        Note(int fd, std::string file, std::string server, std::string path);
        ~Note();
        Note(Note&& other) noexcept;
        Note& operator=(Note&& other) noexcept;

        bool Held() const { return fd_ >= 0; }
        // The temporary copy's remote path, as the server takes it; "" when none is out.
        const std::string& Path() const { return path_; }
        // Names the copy now out.
        void Set(const std::string& path);
        // The copy is gone, or has become the destination.
        void Forget() { Set({}); }

    private:
        void Release();

        int fd_ = -1;
        std::string file_;
        std::string server_;
        std::string path_;
    };

    // A note for a session with `server` (scheme, host, port and login in one text), naming
    // nothing yet. Without a folder to write in, it keeps nothing.
    Note Add(const std::string& server) const;

    // The notes of `server` that name a copy and that no session holds, each now held by the
    // caller; Forget() on one lets its file go.
    std::vector<Note> Leftovers(const std::string& server) const;

private:
    std::string folder_;
};
