#pragma once

#include "transfer/RunTransport.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TransferSession;
class TrustStore;

// The transfer side as the program runs it: every run gets a thread of its own, made at its first
// List or Send, which works through the run's requests in the order asked over one
// TransferSession, so a wildcard run keeps one login where the scheme has one. The thread ends
// once the run is closed (or everything is abandoned) and its queue is empty, destroying the
// session, and with it the connection, on its own thread; the owner's thread joins it when its
// end is announced. Answers are posted to the owner's event loop, never given from inside a call.
//
// A thread per run rather than one libcurl multi handle for all: libcurl 7.88 blocks inside some
// steps of its multi interface (FTP waits for the 226 after the data and sends RNFR/RNTO in its
// done step, QUIT at disconnect, all blocking), so a server that withholds one reply would stall
// every transfer sharing its thread.
class ThreadedTransport : public QObject, public RunTransport
{
    Q_OBJECT

public:
    // trustRoot: the folder TrustStore reads the trusted servers from (transfer/TrustStore.h).
    explicit ThreadedTransport(std::string trustRoot, QObject* parent = nullptr);
    // Abandons everything and joins every thread, so none outlives the object it posts to.
    ~ThreadedTransport() override;
    ThreadedTransport(const ThreadedTransport&) = delete;
    ThreadedTransport& operator=(const ThreadedTransport&) = delete;

    void SetSink(Sink sink) override;
    void List(RunId run, const std::string& pattern) override;
    void Send(RunId run, FileRequest request) override;
    void Close(RunId run) override;
    void AbandonAll() override;

    // Joins every run's thread that ends within `limit`; true when none is left. For the exit,
    // after AbandonAll; it dispatches no events meanwhile.
    bool WaitUntilIdle(std::chrono::milliseconds limit);
    // Run threads not yet joined.
    std::size_t Sessions() const { return sessions_.size(); }

private:
    struct Session;
    struct Request;

    void Enqueue(RunId run, Request request);
    // Answers, through the event loop, a request that no thread will take: everything is
    // abandoned, or no thread could be had. A file gets `outcome`, a list nothing.
    void AnswerHere(RunId run, const Request& request, FileOutcome outcome);
    void Work(Session& session);
    // Answers one request on the run's thread. `trust` and `transfer` are the thread's own, made
    // at its first file.
    void Perform(RunId run, const Request& request, std::optional<TrustStore>& trust,
                 std::unique_ptr<TransferSession>& transfer);
    // Joins the threads that have announced their end.
    void JoinEnded();
    // A run's thread has ended, its connection closed: joins it and tells the sink.
    void Closed(RunId run);

    const std::string trustRoot_;
    Sink sink_;
    std::atomic<bool> abandoned_{false};
    std::vector<std::unique_ptr<Session>> sessions_;
};
