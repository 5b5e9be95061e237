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

PendingUploads::Note::Note(int fd, std::string file, std::string path)
    : fd_(fd), file_(std::move(file)), path_(std::move(path))
{}

PendingUploads::Note::~Note()
{
    Release();
}

PendingUploads::Note::Note(Note&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), file_(std::move(other.file_)),
      path_(std::move(other.path_))
{}

PendingUploads::Note& PendingUploads::Note::operator=(Note&& other) noexcept
{
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
        file_ = std::move(other.file_);
        path_ = std::move(other.path_);
    }
    return *this;
}

void PendingUploads::Note::Forget()
{
    if (fd_ >= 0) {
        // Removed while still locked, so that nobody takes it up in between.
        unlink(file_.c_str());
    }
    Release();
}

void PendingUploads::Note::Release()
{
    if (fd_ >= 0) {
        close(fd_); // the lock goes with it
        fd_ = -1;
    }
}

PendingUploads::Note PendingUploads::Add(const std::string& server, const std::string& path) const
{
    std::string why;
    const std::string name = NoteName();
    if (folder_.empty() || name.empty() || !MakePrivateFolders(folder_, why)) {
        return Note(-1, {}, path);
    }
    const std::string file = folder_ + "/" + name;
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return Note(-1, {}, path);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !WriteAll(fd, server + "\n" + path + "\n")) {
        unlink(file.c_str());
        close(fd);
        return Note(-1, {}, path);
    }
    return Note(fd, file, path);
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
        const std::size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
        if (second == std::string::npos || text.compare(0, first, server) != 0 ||
            first != server.size()) {
            close(fd);
            continue;
        }
        found.emplace_back(fd, file, text.substr(first + 1, second - first - 1));
    }
    return found;
}
