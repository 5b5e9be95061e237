// Runs side by side over ThreadedTransport against the system's proftpd (FTP, FTP over TLS and
// SFTP): a healthy run lists and sends its files, answered in the order asked, while another
// waits on a server that never answers; the abandon then ends that one at once and every thread
// can be joined.
#include "transfer/ThreadedTransport.h"

#include "tests/support/ProftpdServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestCertificates.h"
#include "transfer/TransferFile.h"
#include "transfer/TrustStore.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Mode = ProftpdServer::Mode;

// Runs the event loop until `done` holds or `limit` has passed; whether it holds.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(5ms);
    }
    return done();
}

// Takes connections into the kernel's backlog and never says a word.
struct SilentListener
{
    SilentListener()
    {
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    }
    ~SilentListener() { close(fd); }
    std::uint16_t port() const { return ntohs(address.sin_port); }

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
};

class ThreadedTransportTest : public testing::TestWithParam<Mode>
{
protected:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "ThreadedTransport_test";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
        if (const std::string why = ProftpdServer::Unavailable(GetParam()); !why.empty()) {
            ASSERT_NE(geteuid(), 0u) << why; // as root a missing server is a broken install
            GTEST_SKIP() << why;
        }
        if (GetParam() == Mode::ExplicitTls) {
            certs_ = std::make_unique<TestCertificates>();
            previousAuthority_ = SetTransferAuthorityFileForTesting(certs_->authority());
        }
        server_ = std::make_unique<ProftpdServer>(GetParam(), certs_ ? certs_->server() : "");
        server_->addFolder("in");
        local_ = MakeTempDir("ferrovane-threaded");
        std::string why;
        ASSERT_TRUE(GetParam() != Mode::Sftp ||
                    TrustStore(local_ + "/data").Trust(server_->hostKey(), why))
            << why;
    }
    void TearDown() override
    {
        if (certs_) {
            SetTransferAuthorityFileForTesting(previousAuthority_);
        }
        RemoveTree(local_);
    }

    FileRequest Request(std::uint16_t port, const std::string& remote, const std::string& local)
    {
        const char* address = GetParam() == Mode::Plain         ? "127.0.0.1"
                              : GetParam() == Mode::ExplicitTls ? "ftpes://127.0.0.1"
                                                                : "sftp://127.0.0.1";
        return {server_->user(), server_->password(), address, remote, local, port, 1};
    }

    std::unique_ptr<TestCertificates> certs_;
    std::string previousAuthority_;
    std::unique_ptr<ProftpdServer> server_;
    std::string local_;
};

} // namespace

TEST_P(ThreadedTransportTest, AHealthyRunFinishesWhileAnotherWaitsUntilAbandoned)
{
    std::map<std::string, std::string> sent; // file name -> bytes
    for (int n = 0; n < 3; ++n) {
        const std::string name = std::to_string(n) + ".bin";
        sent[name] = std::string(200000 + n * 7919, static_cast<char>('a' + n));
        std::ofstream(local_ + "/" + name, std::ios::binary) << sent[name];
    }
    const SilentListener silent;
    std::map<RunId, std::vector<std::string>> done;
    std::optional<std::vector<FilePair>> listed;
    int progress = 0;
    std::vector<RunId> closed;
    ThreadedTransport transport(local_ + "/data");
    transport.SetSink({[&](RunId, std::vector<FilePair> files) { listed = std::move(files); },
                       [&](RunId run, std::uint64_t, std::uint64_t) { progress += run == 2; },
                       [&](RunId run, FileOutcome outcome) {
                           done[run].push_back(outcome.error.value_or(outcome.resultText));
                       },
                       [&](RunId run) { closed.push_back(run); }});

    transport.Send(1, Request(silent.port(), "in/never.bin", local_ + "/0.bin"));
    transport.Send(1, Request(silent.port(), "in/never.bin", local_ + "/1.bin"));
    transport.List(2, local_ + "/*.bin");
    ASSERT_TRUE(WaitFor([&] { return listed.has_value(); }));
    ASSERT_EQ(listed->size(), 3u);
    for (const FilePair& file : *listed) {
        transport.Send(2, Request(server_->port(), "in/" + file.fileName, file.fullPath));
    }
    // Last, so that its quick failure would overtake the others were the order not kept.
    transport.Send(2, Request(server_->port(), "in/gone.bin", local_ + "/gone.bin"));
    transport.Close(2);
    ASSERT_TRUE(WaitFor([&] { return done[2].size() == 4; })) << server_->logs();
    EXPECT_EQ(done[2], (std::vector<std::string>{"Ok.\r\n", "Ok.\r\n", "Ok.\r\n",
                                                 "Could not put file to server!!\r\n"}));
    for (const auto& [name, bytes] : sent) {
        EXPECT_EQ(server_->readFile("in/" + name), bytes) << name;
    }
    if (GetParam() != Mode::Plain) {
        EXPECT_EQ(server_->logins(), 1u); // the run's files over one login
    }
    EXPECT_GT(progress, 0);
    EXPECT_TRUE(WaitFor([&] { return transport.Sessions() == 1; })); // run 2 closed and joined
    EXPECT_EQ(closed, std::vector<RunId>{2});
    EXPECT_TRUE(done[1].empty());
    transport.Close(4); // a run that never asked anything has nothing to close
    EXPECT_TRUE(WaitFor([&] { return closed.size() == 2; }));

    transport.AbandonAll();
    EXPECT_TRUE(WaitFor([&] { return done[1].size() == 2; }, 3s));
    EXPECT_EQ(done[1], std::vector<std::string>(2, "Transfer abandoned.\r\n"));
    transport.Send(3, Request(server_->port(), "in/late.bin", local_ + "/0.bin"));
    EXPECT_TRUE(done[3].empty()); // answered later, from the event loop
    EXPECT_TRUE(WaitFor([&] { return done[3].size() == 1; }));
    EXPECT_EQ(done[3], std::vector<std::string>{"Transfer abandoned.\r\n"});
    EXPECT_TRUE(transport.WaitUntilIdle(2s));
    EXPECT_EQ(transport.Sessions(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Servers, ThreadedTransportTest,
                         testing::Values(Mode::Plain, Mode::ExplicitTls, Mode::Sftp));
