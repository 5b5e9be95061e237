#pragma once

#include "jobs/UploadJob.h"

#include <cstdint>
#include <functional>

// The two steps of the upload schedule. The window owns the job list, the running flag and the
// selection; these functions only walk them and hand each job that is due to `runJob`, which
// starts its run and returns at once.

// Starts a run of the job at a position; may throw, and the throw ends the step at once.
using RunJobAt = std::function<void(int position)>;

// One scheduled step: counts every job down by one and runs each job whose countdown was 0, after
// setting its countdown back to its interval. A job with interval N thus runs on every (N + 1)-th
// step. Does nothing while `running` is 0. The list's size is read afresh at every position.
void ScheduledStep(JobList& jobs, int running, const RunJobAt& runJob);

// Runs the selected rows now, in ascending order, touching no countdown. `selectedCount` is asked
// once; `nextSelected(after)` gives the next selected row after `after` (-1 = before the first),
// or -1 when there is none, which ends the walk early.
void SelectedStep(int selectedCount, const std::function<int(int after)>& nextSelected,
                  const RunJobAt& runJob);

// The first wait after a failed scheduled run; a job whose interval is no longer keeps to it.
inline constexpr std::int32_t kFirstRetrySeconds = 10;

// Brings a job back soon after a failed scheduled run, at `now`: the next try comes 10 ticks on,
// then 30, 90, 270 and so on after each further failure, but never later than the job's interval
// would bring it. A run that did not fail puts the job back on its interval, as does any run of a
// job whose interval is kFirstRetrySeconds or less. The job's countdown was set back to its
// interval when the run began.
void AfterScheduledRun(UploadJob& job, bool failed, std::int64_t now);
