#include "engine/Scheduler.h"

#include <climits>
#include <cstddef>

void ScheduledStep(JobList& jobs, int running, const RunJobAt& runJob)
{
    if (running == 0) {
        return;
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const std::int32_t old = jobs[i].countdown;
        // A negative countdown only goes further down and never runs; stop at the bottom rather
        // than overflow after a hand-edited store put it there.
        jobs[i].countdown = old == INT32_MIN ? old : old - 1;
        if (old == 0) {
            jobs[i].countdown = jobs[i].intervalSeconds;
            runJob(static_cast<int>(i));
        }
    }
}

void SelectedStep(int selectedCount, const std::function<int(int after)>& nextSelected,
                  const RunJobAt& runJob)
{
    int row = -1;
    for (int n = 0; n < selectedCount; ++n) {
        row = nextSelected(row);
        if (row < 0) {
            return;
        }
        runJob(row);
    }
}
