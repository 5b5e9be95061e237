#include "tests/support/RunToEnd.h"

void RunToEnd(JobRun& run, const std::function<std::vector<FilePair>(const std::string&)>& list,
              const std::function<FileOutcome(const FileRequest&)>& send,
              const std::function<bool(const ServerIdentity&)>& ask)
{
    RunStep step = run.Start();
    for (;;) {
        switch (step.kind) {
        case RunStep::Kind::End:
            return;
        case RunStep::Kind::List:
            step = run.Listed(list(step.pattern));
            break;
        case RunStep::Kind::Ask:
            step = run.Answered(ask && ask(step.server));
            break;
        case RunStep::Kind::Send: {
            const FileOutcome outcome = send(step.request);
            if (outcome.error) {
                return;
            }
            step = run.FileDone(outcome);
            break;
        }
        }
    }
}
