// Upload time of TransferFile against the curl command-line tool, on a local FTP server:
// one 256 MiB file, and 200 files of 4 KiB each (one TransferFile call per file, as a job run
// makes them, against one curl process per file). Prints each round, the best and the median of
// each side and their ratios; on a shared machine the median is the steadier figure.
//
//   bench_transfer [rounds]     (default 5)

#include "tests/support/FtpServer.h"
#include "tests/support/TempHome.h"
#include "transfer/TransferFile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLargeSize = std::size_t{256} * 1024 * 1024;
constexpr std::size_t kSmallSize = 4 * 1024;
constexpr int kSmallCount = 200;

void WriteRandomFile(const std::string& path, std::size_t size, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> block(1024 * 1024 / 8);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t written = 0; written < size;) {
        for (auto& word : block) {
            word = random();
        }
        const std::size_t chunk = std::min(size - written, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        written += chunk;
    }
    if (!out) {
        throw std::runtime_error("could not write " + path);
    }
}

void ViaTransferFile(const FtpServer& server, const std::string& local, const std::string& remote)
{
    std::string text;
    std::int32_t success = 0;
    // A run always passes a progress callback; this takes the same road.
    TransferFile(FtpServer::kWriter, FtpServer::kWriterPassword, FtpServer::kAddress, remote, local,
                 server.port(), 1, text, success, [](std::uint64_t, std::uint64_t) { return true; });
    if (success != 1) {
        throw std::runtime_error("TransferFile failed: " + text);
    }
}

void ViaCurl(const FtpServer& server, const std::string& local, const std::string& remote)
{
    const std::string url =
        "ftp://" + std::string(FtpServer::kAddress) + ":" + std::to_string(server.port()) + remote;
    const std::string login =
        std::string(FtpServer::kWriter) + ":" + std::string(FtpServer::kWriterPassword);
    std::vector<std::string> args = {"curl", "-sS", "--user", login, "-T", local, url};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("could not start curl");
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("curl failed for " + remote);
    }
}

double Seconds(const std::function<void()>& work)
{
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures
{
    std::vector<double> ours;
    std::vector<double> curl;
};

// Alternates the two sides round by round, so that a busy moment of the machine hits both.
Figures Measure(int rounds, const std::function<void()>& ours, const std::function<void()>& curl)
{
    Figures figures;
    for (int round = 0; round < rounds; ++round) {
        figures.ours.push_back(Seconds(ours));
        figures.curl.push_back(Seconds(curl));
    }
    return figures;
}

double Best(std::vector<double> values)
{
    return *std::min_element(values.begin(), values.end());
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Report(const char* what, const Figures& figures, double megabytes)
{
    const auto line = [&](const char* who, const std::vector<double>& values) {
        std::string rounds;
        for (const double value : values) {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, " %.3f", value);
            rounds += buffer;
        }
        std::printf("  %-13s best %7.3f s  median %7.3f s  (%7.1f MB/s)   rounds:%s\n", who,
                    Best(values), Median(values), megabytes / Median(values), rounds.c_str());
    };
    std::printf("%s\n", what);
    line("TransferFile", figures.ours);
    line("curl -T", figures.curl);
    std::printf("  ratio TransferFile / curl: median %.3f, best %.3f\n",
                Median(figures.ours) / Median(figures.curl),
                Best(figures.ours) / Best(figures.curl));
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string local = MakeTempDir("ferrovane-bench");
    try {
        FtpServer server;
        std::filesystem::create_directories(server.home() + "/large");
        std::filesystem::create_directories(server.home() + "/small");

        const std::string large = local + "/large.bin";
        WriteRandomFile(large, kLargeSize, 1);
        std::vector<std::string> small;
        for (int i = 0; i < kSmallCount; ++i) {
            small.push_back(local + "/small" + std::to_string(i) + ".bin");
            WriteRandomFile(small.back(), kSmallSize, 100 + static_cast<unsigned>(i));
        }

        std::printf("bench_transfer: %d round(s), server on 127.0.0.1:%u\n", rounds, server.port());
        const Figures largeFigures = Measure(
            rounds, [&] { ViaTransferFile(server, large, "/large/ours.bin"); },
            [&] { ViaCurl(server, large, "/large/curl.bin"); });
        Report("One file of 256 MiB", largeFigures, kLargeSize / 1e6);
        for (const char* copy : {"/large/ours.bin", "/large/curl.bin"}) {
            if (std::filesystem::file_size(server.home() + copy) != kLargeSize) {
                throw std::runtime_error(std::string("incomplete upload: ") + copy);
            }
        }

        const Figures smallFigures = Measure(
            rounds,
            [&] {
                for (int i = 0; i < kSmallCount; ++i) {
                    ViaTransferFile(server, small[i], "/small/ours" + std::to_string(i) + ".bin");
                }
            },
            [&] {
                for (int i = 0; i < kSmallCount; ++i) {
                    ViaCurl(server, small[i], "/small/curl" + std::to_string(i) + ".bin");
                }
            });
        Report("200 files of 4 KiB, one call / one curl process each", smallFigures,
               kSmallCount * kSmallSize / 1e6);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_transfer: %s\n", error.what());
        RemoveTree(local);
        return 1;
    }
    RemoveTree(local);
    return 0;
}
