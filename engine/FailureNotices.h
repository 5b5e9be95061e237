#pragma once

#include "jobs/UploadJob.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// What the notices need of the desktop: sending one (a title and a body of plain text lines), and
// calling back a moment later, once, so that what happens meanwhile goes into the same notice.
struct FailureNoticeSeams
{
    std::function<void(const std::string& title, const std::string& body)> send;
    std::function<void(std::function<void()> gathered)> later;
};

// Decides when the desktop hears about a job: when its runs start failing (after a run that
// worked, or at its first run since the program started), and when they work again. The retries
// in between say nothing new, so they tell nothing. Whatever changes within a moment goes out
// together, one notice for the jobs that began failing and one for those that recovered, so that
// a server that goes down under twenty jobs makes one notice, not twenty.
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
    bool gathering_ = false;
};
