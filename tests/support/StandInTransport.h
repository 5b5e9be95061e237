#pragma once

#include "transfer/RunTransport.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A transport that sends nothing: it records what the runs ask, and answers when the test says so,
// or by itself from the event loop when `answerSends` is set (lists then come from
// `answerLists`, or empty, and closes are acknowledged at once).
class StandInTransport : public RunTransport
{
public:
    struct Request
    {
        enum class Kind
        {
            List,
            Send,
            Close,
        };
        RunId run = 0;
        Kind kind = Kind::Send;
        std::string pattern;
        FileRequest file;
    };

    StandInTransport();
    ~StandInTransport() override;

    void SetSink(Sink sink) override { sink_ = std::move(sink); }
    void List(RunId run, const std::string& pattern) override;
    void Send(RunId run, FileRequest request) override;
    void Close(RunId run) override;
    void AbandonAll() override { abandoned = true; }

    // Answers by hand, as the transfer side would.
    void Listed(RunId run, std::vector<FilePair> files) { sink_.listed(run, std::move(files)); }
    void Done(RunId run, FileOutcome outcome) { sink_.fileDone(run, std::move(outcome)); }
    // Tells every run closed since the last call that its connection has closed.
    void AcknowledgeCloses();
    static FileOutcome Ok();
    static FileOutcome Failed(const std::string& text = "Could not put file to server!!\r\n");

    // The sends asked so far, and the runs they belong to.
    std::vector<Request> Sends() const;

    std::vector<Request> requests;
    bool abandoned = false;
    std::function<FileOutcome(const FileRequest&)> answerSends;
    std::function<std::vector<FilePair>(const std::string&)> answerLists;

private:
    Sink sink_;
    std::size_t acknowledged_ = 0; // requests looked at by AcknowledgeCloses
    // Answers posted to the event loop are dropped once the stand-in is gone.
    std::shared_ptr<bool> alive_;
};
