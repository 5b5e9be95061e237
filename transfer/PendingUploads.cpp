#include "transfer/PendingUploads.h"

#include "jobs/PrivateFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace {

// A name no other note has: random, so that two processes never pick the same one.
std::string NoteName()
{
    unsigned char bytes[12];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        return {};
    }
    static const char hex[] = "0123456789abcdef";
    std::string name;
    for (const unsigned char byte : bytes) {
        name += hex[byte >> 4];
        name += hex[byte & 0x0F];
    }
    return name;
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

} // namespace

PendingUploads::PendingUploads(std::string root)
    : folder_(root.empty() ? std::string() : root + "/pending")
{}

PendingUploads::Note::Note(int fd, std::string file, std::string server, std::string path)
    : fd_(fd), file_(std::move(file)), server_(std::move(server)), path_(std::move(path))
{}

PendingUploads::Note::~Note()
{
    Release();
}

PendingUploads::Note::Note(Note&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), file_(std::move(other.file_)),
      server_(std::move(other.server_)), path_(std::move(other.path_))
{}

PendingUploads::Note& PendingUploads::Note::operator=(Note&& other) noexcept
{
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
        file_ = std::move(other.file_);
        server_ = std::move(other.server_);
        path_ = std::move(other.path_);
    }
    return *this;
}

void PendingUploads::Note::Set(const std::string& path)
{
    path_ = path;
    if (fd_ < 0) {
        return;
    }
    // Written in place: a reader finds the server's line and, while a copy is out, its path.
    const std::string text = server_ + "\n" + (path.empty() ? "" : path + "\n");
    if (pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ftruncate(fd_, static_cast<off_t>(text.size())) != 0) {
        // Nothing to be done: at worst a copy is not removed by the next run.
    }
}

void PendingUploads::Note::Release()
{
    if (fd_ >= 0) {
        if (path_.empty()) {
            // Removed while still locked, so that nobody takes it up in between.
            unlink(file_.c_str());
        }
        close(fd_); // the lock goes with it
        fd_ = -1;
    }
}

PendingUploads::Note PendingUploads::Add(const std::string& server) const
{
    std::string why;
    const std::string name = NoteName();
    if (folder_.empty() || name.empty() || !MakePrivateFolders(folder_, why)) {
        return {};
    }
    const std::string file = folder_ + "/" + name;
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return {};
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !WriteAll(fd, server + "\n")) {
        unlink(file.c_str());
        close(fd);
        return {};
    }
    return Note(fd, file, server, {});
}

std::vector<PendingUploads::Note> PendingUploads::Leftovers(const std::string& server) const
{
    std::vector<Note> found;
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(
        folder_.empty() ? nullptr : opendir(folder_.c_str()), closedir);
    if (!folder) {
        return found;
    }
    while (const dirent* entry = readdir(folder.get())) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') {
            continue;
        }
        const std::string file = folder_ + "/" + name;
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            continue;
        }
        // A note another upload holds is no leftover.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            continue;
        }
        const std::string text = ReadAll(fd);
        const std::size_t first = text.find('\n');
        if (first != server.size() || text.compare(0, first, server) != 0) {
            close(fd);
            continue;
        }
        const std::size_t second = text.find('\n', first + 1);
        if (second == std::string::npos) {
            // A session that ended with nothing out, before it could remove its note.
            unlink(file.c_str());
            close(fd);
            continue;
        }
        // Open for writing too, so that the note can be emptied by whoever takes it up.
        close(fd);
        const int held = open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (held < 0 || flock(held, LOCK_EX | LOCK_NB) != 0) {
            if (held >= 0) {
                close(held);
            }
            continue;
        }
        found.emplace_back(held, file, server, text.substr(first + 1, second - first - 1));
    }
    return found;
}
