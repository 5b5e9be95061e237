#pragma once

#include "jobs/UploadJob.h"

#include <cstddef>
#include <memory>
#include <vector>

// Where one run's job is now: its position in the job list, and whether it has been deleted.
struct RunSlot
{
    int position = 0;
    bool removed = false;
};

// Keeps each run in progress on its own job while the job list changes under it. A job is named
// by its position, and a delete moves every later job up by one; without this a run resumed after
// a delete would read the next job in the list and send the rest of its files with that job's
// login to that job's server. Runs may nest: each has its own slot.
class RunTracker
{
public:
    // Starts tracking a run of the job at `position`. The slot is tracked as long as someone holds
    // it; the run holds it until it ends.
    std::shared_ptr<RunSlot> Begin(int position);

    // The job at `position` has been removed from the list: runs of it are marked removed, runs
    // of later jobs move up by one.
    void JobRemoved(int position);

    // How many runs are in progress.
    std::size_t ActiveRuns() const;

private:
    void DropEnded();

    std::vector<std::weak_ptr<RunSlot>> slots_;
};

// Reads the slot's job from the list; false when it has been removed (or, defensively, when its
// position is no longer in the list).
bool ReadTrackedJob(const RunSlot& slot, const JobList& jobs, UploadJob& job);
