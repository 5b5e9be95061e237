#pragma once

#include "engine/JobRun.h"

#include <functional>
#include <string>
#include <vector>

// Drives a job run to its end at once, as the schedule does over a transport that answers
// straight away: its pattern listed by `list`, its files sent by `send`, its questions answered by
// `ask` (no answer: no). A file whose outcome holds an error ends the run there, as the schedule
// ends it.
void RunToEnd(JobRun& run, const std::function<std::vector<FilePair>(const std::string&)>& list,
              const std::function<FileOutcome(const FileRequest&)>& send,
              const std::function<bool(const ServerIdentity&)>& ask = {});
