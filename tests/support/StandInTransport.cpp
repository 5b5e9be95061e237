#include "tests/support/StandInTransport.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace {
void Later(const std::shared_ptr<bool>& alive, std::function<void()> answer)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weak = std::weak_ptr<bool>(alive), answer = std::move(answer)] {
            if (weak.lock()) {
                answer();
            }
        },
        Qt::QueuedConnection);
}
} // namespace

StandInTransport::StandInTransport() : alive_(std::make_shared<bool>(true)) {}

StandInTransport::~StandInTransport() = default;

void StandInTransport::List(RunId run, const std::string& pattern)
{
    requests.push_back({run, Request::Kind::List, pattern, {}});
    if (answerSends) {
        Later(alive_, [this, run, pattern] {
            Listed(run, answerLists ? answerLists(pattern) : std::vector<FilePair>{});
        });
    }
}

void StandInTransport::Send(RunId run, FileRequest request)
{
    requests.push_back({run, Request::Kind::Send, {}, request});
    if (answerSends) {
        Later(alive_, [this, run, request] { Done(run, answerSends(request)); });
    }
}

void StandInTransport::Close(RunId run)
{
    requests.push_back({run, Request::Kind::Close, {}, {}});
    if (answerSends) {
        Later(alive_, [this] { AcknowledgeCloses(); });
    }
}

void StandInTransport::AcknowledgeCloses()
{
    while (acknowledged_ < requests.size()) {
        const Request request = requests[acknowledged_++];
        if (request.kind == Request::Kind::Close && sink_.closed) {
            sink_.closed(request.run);
        }
    }
}

FileOutcome StandInTransport::Ok()
{
    FileOutcome outcome;
    outcome.resultText = "Ok.\r\n";
    outcome.success = true;
    return outcome;
}

FileOutcome StandInTransport::Failed(const std::string& text)
{
    FileOutcome outcome;
    outcome.resultText = text;
    return outcome;
}

std::vector<StandInTransport::Request> StandInTransport::Sends() const
{
    std::vector<Request> sends;
    for (const Request& request : requests) {
        if (request.kind == Request::Kind::Send) {
            sends.push_back(request);
        }
    }
    return sends;
}
