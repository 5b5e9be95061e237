#pragma once

#include "jobs/UploadJob.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What the notices need of the desktop: sending one (a title and a body of plain text lines), and
// calling back a moment later, so that what happens meanwhile goes into the same notice.
struct FailureNoticeSeams
{
    std::function<void(const std::string& title, const std::string& body)> send;
    std::function<void(std::function<void()> gathered)> later;
};

// Decides when the desktop hears about a job: when its runs start failing (after a run that
// worked, or at its first run since the program started), and when they work again. The retries
// in between say nothing new, so they tell nothing. Changes that come within a moment of each
// other go out together, one notice for the jobs that began failing and one for those that
// recovered, so that a server that goes down under twenty jobs makes one notice, not twenty.
//
// A notice names each job's destination and server, and for a failure its last result, never
// anything else of the job: the result comes from the server, so the job's password is taken out
// of it should the server have echoed it.
class FailureNotices
{
public:
    explicit FailureNotices(FailureNoticeSeams seams);

    // A run of `job` has ended; its last run tells how.
    void RunEnded(const UploadJob& job);

    // How many jobs a notice names before it only counts the rest.
    static constexpr std::size_t kNamed = 3;

private:
    struct Change
    {
        std::uint64_t jobId = 0;
        std::string line; // destination, server and, for a failure, the reason
    };

    void Gathered();
    void Send(const std::vector<Change>& changes, const std::string& one, const std::string& many);

    FailureNoticeSeams seams_;
    // Per job (by its identity while the program runs): whether its runs fail now, as last told.
    std::map<std::uint64_t, bool> failing_;
    std::vector<Change> begunFailing_;
    std::vector<Change> recovered_;
    // Each change opens the moment anew, for up to kLongestGathering after the first change it
    // holds: the runs of one server go one after another, so their failures come apart.
    static constexpr std::chrono::seconds kLongestGathering{10};
    std::optional<std::chrono::steady_clock::time_point> firstChange_;
    std::uint64_t moment_ = 0; // the latest moment asked for; only its end sends
};
