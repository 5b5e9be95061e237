#pragma once

#include <memory>
#include <string>
#include <vector>

// The temporary copies that may still lie on servers. Each upload to a temporary name leaves a
// note here while it is out (one small private file per upload, under <root>/pending/), and the
// note goes once its copy has been renamed over the destination or removed. A note whose upload
// was cut short (the program killed, the connection lost) stays behind, and the next run to the
// same server and login removes that copy before its own store. Its upload holds a lock on each
// note for as long as it goes, so another process's upload in progress is never taken for a
// leftover; a killed process's lock goes with it.
class PendingUploads
{
public:
    // root: the program's data folder; an empty root notes nothing.
    explicit PendingUploads(std::string root);

    // One note, locked while this object lives. Forget() removes it (the copy is gone or has
    // become the destination); otherwise it stays for a later run.
    class Note
    {
    public:
        Note() = default;
        Note(int fd, std::string file, std::string path);
        ~Note();
        Note(Note&& other) noexcept;
        Note& operator=(Note&& other) noexcept;

        // The temporary copy's remote path, as the server takes it.
        const std::string& Path() const { return path_; }
        void Forget();

    private:
        void Release();

        int fd_ = -1;
        std::string file_;
        std::string path_;
    };

    // Notes the temporary copy at `path` for `server` (scheme, host, port and login in one text).
    // Without a folder to write in, the note is empty and nothing is kept.
    Note Add(const std::string& server, const std::string& path) const;

    // The notes of `server` that no upload holds, each now held by the caller.
    std::vector<Note> Leftovers(const std::string& server) const;

private:
    std::string folder_;
};
