#include "jobs/PrivateFiles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool MakePrivateFolders(const std::string& path, std::string& why)
{
    for (std::size_t end = 1; end <= path.size(); ++end) {
        if (end != path.size() && path[end] != '/') {
            continue;
        }
        const std::string part = path.substr(0, end);
        if (mkdir(part.c_str(), 0700) == 0) {
            // mkdir applies the umask; the folders must be exactly 0700 either way.
            if (chmod(part.c_str(), 0700) != 0) {
                why = part + ": " + std::strerror(errno);
                return false;
            }
        } else if (errno != EEXIST) {
            why = part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat info
    {};
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        why = path + ": not a folder";
        return false;
    }
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

void SyncFolder(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool WriteAtomically(const std::string& path, const std::string& text, std::string& why)
{
    std::string tempName = path + ".XXXXXX";
    const int fd = mkostemp(tempName.data(), O_CLOEXEC);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(tempName.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(tempName.c_str());
        why = path + ": " + std::strerror(error);
        return false;
    }
    const auto slash = path.rfind('/');
    SyncFolder(slash == std::string::npos ? std::string(".")
               : slash == 0               ? std::string("/")
                                          : path.substr(0, slash));
    return true;
}
