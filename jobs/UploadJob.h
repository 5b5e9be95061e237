#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One configured periodic upload. Its position in the job list is its row in the list view and
// the index of its keys in the settings store; while the program runs, the schedule also gives it
// an identity of its own, so that a run keeps to its job when rows move.
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

    // The text that stands for this job's password in the settings store: as loaded, or as last
    // enciphered for a save. Empty for a job whose password has never been stored.
    std::string storedPassword;
    // storedPassword could not be deciphered when it was loaded (the key file is missing, damaged
    // or another one). It is then written back unchanged at every save, so that putting the right
    // key back brings the password back, until the user types a new password for the job.
    bool passwordUnread = false;

    // How this job's last run in this session ended, for its row in the list: when (0 until it
    // first runs), whether it failed, and the result text. Kept in memory only: the store never
    // writes or reads it, and it is no part of what makes two jobs equal.
    struct LastRun
    {
        std::int64_t when = 0;
        bool failed = false;
        std::string text;
    };
    LastRun lastRun;
    // The job's secure server refused to rename a stored file over its destination: from then on,
    // for as long as the program runs, the job's files go straight under their final names.
    // Memory only, like lastRun.
    bool storeInPlace = false;
    // After a failed scheduled run, how long the job waits for its next try (10 s, then three
    // times as long after each further failure) and when that try is due; both 0 while the job
    // runs on its interval. Memory only, like lastRun: a restart puts every job on its interval.
    std::int32_t retryDelay = 0;
    std::int64_t retryDue = 0;

    // Who this job is while the program runs: given by the schedule (0 until then), kept by a
    // change in the editor, never stored.
    std::uint64_t id = 0;
    // Whether a run of this job goes now, or waits while another job's run holds the same server.
    // Memory only, kept by the schedule.
    enum class RunState
    {
        Idle,
        Waiting,
        Running,
    };
    RunState runState = RunState::Idle;

    // Jobs are equal when everything the user configured is; how the password is stored is the
    // store's own bookkeeping.
    bool operator==(const UploadJob& other) const
    {
        return userName == other.userName && password == other.password &&
               webAddress == other.webAddress && sourceFile == other.sourceFile &&
               destinationFile == other.destinationFile &&
               intervalSeconds == other.intervalSeconds && countdown == other.countdown &&
               port == other.port && passiveMode == other.passiveMode;
    }
};

// The ordered job list owned by the main window.
using JobList = std::vector<UploadJob>;
