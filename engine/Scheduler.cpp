#include "engine/Scheduler.h"

#include <algorithm>
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

void AfterScheduledRun(UploadJob& job, bool failed, std::int64_t now)
{
    if (!failed || job.intervalSeconds <= kFirstRetrySeconds) {
        job.retryDelay = 0;
        job.retryDue = 0;
        return;
    }
    const std::int64_t delay = job.retryDelay <= 0
                                   ? kFirstRetrySeconds
                                   : std::min<std::int64_t>(job.retryDelay * 3LL, INT32_MAX);
    job.retryDelay = static_cast<std::int32_t>(delay);
    // A countdown of N runs the job on the (N + 1)-th tick.
    job.countdown =
        static_cast<std::int32_t>(std::min<std::int64_t>(delay - 1, job.intervalSeconds));
    job.retryDue = now + job.countdown + 1;
}
