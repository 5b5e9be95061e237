#include "engine/RunTracker.h"

#include <algorithm>

std::shared_ptr<RunSlot> RunTracker::Begin(int position)
{
    DropEnded();
    auto slot = std::make_shared<RunSlot>();
    slot->position = position;
    slots_.push_back(slot);
    return slot;
}

void RunTracker::JobRemoved(int position)
{
    DropEnded();
    for (const auto& weak : slots_) {
        const auto slot = weak.lock();
        if (!slot || slot->removed) {
            continue;
        }
        if (slot->position == position) {
            slot->removed = true;
        } else if (slot->position > position) {
            --slot->position;
        }
    }
}

std::size_t RunTracker::ActiveRuns() const
{
    return static_cast<std::size_t>(std::count_if(
        slots_.begin(), slots_.end(), [](const auto& weak) { return !weak.expired(); }));
}

void RunTracker::DropEnded()
{
    std::erase_if(slots_, [](const auto& weak) { return weak.expired(); });
}

bool ReadTrackedJob(const RunSlot& slot, const JobList& jobs, UploadJob& job)
{
    if (slot.removed || slot.position < 0 ||
        static_cast<std::size_t>(slot.position) >= jobs.size()) {
        return false;
    }
    job = jobs[static_cast<std::size_t>(slot.position)];
    return true;
}
