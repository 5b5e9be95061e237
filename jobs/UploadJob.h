#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One configured periodic upload. A job has no identity of its own: its position in the job list
// is its row in the list view and the index of its keys in the settings store.
struct UploadJob
{
    std::string userName;
    std::string password; // clear text in memory; enciphered only when stored
    std::string webAddress;
    std::string sourceFile; // a path holding '*' is a folder pattern
    std::string destinationFile;
    std::int32_t intervalSeconds = 1;
    std::int32_t countdown = 1; // ticks left before the next run; never stored
    std::uint16_t port = 21;
    std::int32_t passiveMode = 0; // tested as zero or non-zero

    bool operator==(const UploadJob&) const = default;
};

// The ordered job list owned by the main window.
using JobList = std::vector<UploadJob>;
