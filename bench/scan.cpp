// How long a wildcard run takes to list its files, with and without a matching subfolder that
// holds 100,000 files. The run uploads only the top level's files, so the subfolder must cost
// nothing: the two figures should be within 10% of each other. For contrast, the full walk of
// the same tree is timed once.

#include "tests/support/TempHome.h"
#include "transfer/FolderScanner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void Touch(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        (void)!write(fd, "data\n", 5);
        close(fd);
    }
}

// Microseconds per listing: the median of several rounds of many listings each.
double ListingMicros(const std::string& pattern, std::size_t expectedFiles)
{
    constexpr int kRounds = 5;
    constexpr int kCallsPerRound = 200;
    std::vector<double> rounds;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = Clock::now();
        for (int call = 0; call < kCallsPerRound; ++call) {
            if (ListPatternFiles(pattern).size() != expectedFiles) {
                std::fprintf(stderr, "unexpected listing\n");
                std::exit(1);
            }
        }
        const std::chrono::duration<double, std::micro> spent = Clock::now() - start;
        rounds.push_back(spent.count() / kCallsPerRound);
    }
    std::nth_element(rounds.begin(), rounds.begin() + kRounds / 2, rounds.end());
    return rounds[kRounds / 2];
}

} // namespace

int main()
{
    const std::string base = MakeTempDir("ferrovane-bench-scan");
    const std::string folder = base + "/out";
    const std::string parked = base + "/archive";
    const std::string inside = folder + "/archive";
    std::filesystem::create_directories(folder);
    for (int n = 0; n < 50; ++n) {
        Touch(folder + "/file" + std::to_string(n) + ".dat");
    }
    std::filesystem::create_directories(parked);
    for (int n = 0; n < 100000; ++n) {
        Touch(parked + "/f" + std::to_string(n));
    }
    const std::string pattern = folder + "/*";

    // The subfolder is moved in and out between measurements so that both cases see the same
    // machine state; the median of each case is reported.
    std::vector<double> without;
    std::vector<double> with;
    ListingMicros(pattern, 50); // warm-up
    for (int pass = 0; pass < 15; ++pass) {
        without.push_back(ListingMicros(pattern, 50));
        std::filesystem::rename(parked, inside);
        with.push_back(ListingMicros(pattern, 50));
        std::filesystem::rename(inside, parked);
    }
    std::sort(without.begin(), without.end());
    std::sort(with.begin(), with.end());

    std::filesystem::rename(parked, inside);
    FolderScanner scanner;
    scanner.SetRoot(pattern);
    const auto start = Clock::now();
    const FolderNode tree = scanner.BuildTree();
    const std::chrono::duration<double, std::milli> fullWalk = Clock::now() - start;

    RemoveTree(base);

    std::printf("listing of 50 matching files, no subfolder:               %8.1f us\n", without[7]);
    std::printf("listing of 50 matching files, subfolder of 100,000 files: %8.1f us\n", with[7]);
    std::printf("ratio with / without:                                     %8.3f\n",
                with[7] / without[7]);
    std::printf("full walk of the same tree (%zu files below):            %8.1f ms\n",
                tree.children.empty() ? std::size_t{0} : tree.children[0].files.size(),
                fullWalk.count());
    return 0;
}
