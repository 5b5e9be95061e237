#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The local file a transfer sends: opened without ever blocking on something that is not a
// regular file, and read up to its end as found while sending.
namespace transfer {

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens the local file for the store and sets size to what it holds now, or gives nothing when it
// is not a readable regular file.
File OpenLocalFile(const std::string& localPath, std::uint64_t& size);

// The file being sent and how far it has been read.
struct LocalSource
{
    std::FILE* file = nullptr;
    std::uint64_t sizeAtStart = 0; // what the file held when it was opened
    std::uint64_t read = 0;        // bytes read from it so far
};

// libcurl's read callback; user is the LocalSource.
std::size_t ReadLocalFile(char* buffer, std::size_t size, std::size_t count, void* user);

} // namespace transfer
