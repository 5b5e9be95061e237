#include "transfer/LocalSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <curl/curl.h>

namespace transfer {

namespace {

// Owns one file descriptor until it is closed or handed on.
class Descriptor
{
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

} // namespace

// Nothing else is opened in a way that can block: opening a pipe for reading waits for a writer,
// for good if none comes. The check before the open keeps us off such things; the non-blocking
// open and the check after it cover one put in the path's place between the two.
File OpenLocalFile(const std::string& localPath, std::uint64_t& size)
{
    if (localPath.empty() || localPath.find('\0') != std::string::npos) {
        return nullptr;
    }
    struct stat info
    {};
    if (stat(localPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    Descriptor fd(open(localPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags == -1 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == -1) {
        return nullptr;
    }
    File file(fdopen(fd.get(), "rb"));
    if (!file) {
        return nullptr;
    }
    fd.release();
    size = static_cast<std::uint64_t>(info.st_size);
    return file;
}

// Sends the file up to its end as it is when we get there: a file that grows meanwhile (a log
// being written) goes whole. One that ends short of its size at the start lost data we may
// already have sent, and must not be stored as if complete.
std::size_t ReadLocalFile(char* buffer, std::size_t size, std::size_t count, void* user)
{
    auto* source = static_cast<LocalSource*>(user);
    const std::size_t got = std::fread(buffer, 1, size * count, source->file);
    source->read += got;
    if (got == 0 && (std::ferror(source->file) || source->read < source->sizeAtStart)) {
        return CURL_READFUNC_ABORT;
    }
    return got;
}

} // namespace transfer
