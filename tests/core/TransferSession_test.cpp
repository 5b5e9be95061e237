// A run's files over one session: one login for all of them on a secure server, one per file on
// plain FTP, every file still in its own folder with its own result.
#include "transfer/TransferSession.h"

#include "tests/support/FtpServer.h"
#include "tests/support/SftpServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestCertificates.h"
#include "transfer/TrustStore.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string kOk = "Ok.\r\n";

int CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix)
{
    return static_cast<int>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

class TransferSessionTest : public testing::Test
{
protected:
    TransferSessionTest() : local_(MakeTempDir("ferrovane-session")), store_(local_ + "/data")
    {
        for (int i = 0; i < 5; ++i) {
            std::ofstream(Local(i), std::ios::binary) << "file " << i << std::string(5000 * i, 'x');
        }
        previousAuthority_ = SetTransferAuthorityFileForTesting(certificates_.authority());
    }
    ~TransferSessionTest() override
    {
        SetTransferAuthorityFileForTesting(previousAuthority_);
        RemoveTree(local_);
    }

    std::string Local(int i) const { return local_ + "/f" + std::to_string(i) + ".txt"; }
    std::string Bytes(int i) const
    {
        return "file " + std::to_string(i) + std::string(5000 * static_cast<std::size_t>(i), 'x');
    }

    // Sends the five files the way a wildcard run does, into `folder`; gives the results.
    std::vector<std::string> SendAll(TransferSession& session, const std::string& address,
                                     std::uint16_t port, const std::string& folder,
                                     const std::string& user, const std::string& password)
    {
        std::vector<std::string> results;
        for (int i = 0; i < 5; ++i) {
            std::string text;
            std::int32_t success = -1;
            session.Send(user, password, address, folder + "f" + std::to_string(i) + ".txt",
                         Local(i), port, 1, text, success, {}, {&store_, nullptr});
            results.push_back(text);
        }
        return results;
    }

    TestCertificates certificates_;
    std::string previousAuthority_;
    std::string local_;
    TrustStore store_;
};

TEST_F(TransferSessionTest, SchemesLogInOncePerRunAndABareAddressOncePerFile)
{
    const std::vector<std::string> allOk(5, kOk);
    const struct
    {
        FtpServerTls::Mode mode;
        const char* address;
    } cases[] = {{FtpServerTls::Mode::None, "127.0.0.1"},
                 {FtpServerTls::Mode::None, "ftp://127.0.0.1"},
                 {FtpServerTls::Mode::Explicit, "ftpes://127.0.0.1"},
                 {FtpServerTls::Mode::Implicit, "ftps://127.0.0.1"}};
    for (const auto& [mode, address] : cases) {
        SCOPED_TRACE(address);
        const bool bare = std::string(address).find("://") == std::string::npos;
        FtpServerTls tls;
        tls.mode = mode;
        tls.certificateFile = certificates_.server();
        tls.required = mode != FtpServerTls::Mode::None;
        FtpServer server({}, tls);
        std::filesystem::create_directories(server.home() + "/in/sub");
        {
            TransferSession session;
            // A folder relative to the login folder: every file lands in it, not one deeper.
            EXPECT_EQ(SendAll(session, address, server.port(), "in/sub/", FtpServer::kWriter,
                              FtpServer::kWriterPassword),
                      allOk);
        }
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(server.readFile("in/sub/f" + std::to_string(i) + ".txt"), Bytes(i));
        }
        const auto commands = server.commands();
        EXPECT_EQ(CountStartingWith(commands, "USER "), bare ? 5 : 1);
        EXPECT_EQ(CountStartingWith(commands, "STOR "), 5);
        // One login keeps its folder: no change of directory once it is there.
        EXPECT_EQ(CountStartingWith(commands, "CWD "), bare ? 5 : 1);
    }
}

TEST_F(TransferSessionTest, AFailedFileEndsTheConnectionAndAnotherLoginGetsItsOwn)
{
    FtpServerTls tls;
    tls.mode = FtpServerTls::Mode::Explicit;
    tls.certificateFile = certificates_.server();
    FtpServer server({}, tls);
    TransferSession session;
    std::string text;
    std::int32_t success = -1;
    const auto send = [&](const std::string& user, const std::string& password,
                          const std::string& remote) {
        session.Send(user, password, "ftpes://127.0.0.1", remote, Local(1), server.port(), 1, text,
                     success);
    };
    send(FtpServer::kWriter, FtpServer::kWriterPassword, "a.txt");
    EXPECT_EQ(text, kOk);
    send(FtpServer::kWriter, FtpServer::kWriterPassword, "missing/b.txt");
    EXPECT_EQ(text.rfind("Could not change directory !! 550 ", 0), 0u) << text;
    EXPECT_EQ(success, 0);
    // From the login folder again, over a new login.
    send(FtpServer::kWriter, FtpServer::kWriterPassword, "c.txt");
    EXPECT_EQ(text, kOk);
    EXPECT_EQ(server.readFile("c.txt"), Bytes(1));
    // Another user is never sent over the writer's connection.
    send(FtpServer::kReader, FtpServer::kReaderPassword, "d.txt");
    EXPECT_EQ(success, 0);
    const auto commands = server.commands();
    EXPECT_EQ(CountStartingWith(commands, "USER writer"), 2);
    EXPECT_EQ(CountStartingWith(commands, "USER reader"), 1);
}

TEST_F(TransferSessionTest, SftpLogsInOncePerRun)
{
    SftpServer server;
    std::filesystem::create_directories(server.home() + "/in");
    {
        std::string text;
        std::int32_t success = -1;
        std::optional<ServerIdentity> untrusted;
        TransferSession probe;
        probe.Send(SftpServer::kUser, SftpServer::kPassword, "sftp://127.0.0.1", "x", Local(0),
                   server.port(), 0, text, success, {}, {&store_, &untrusted});
        ASSERT_TRUE(untrusted.has_value()) << text;
        std::string why;
        ASSERT_TRUE(store_.Trust(*untrusted, why)) << why;
    }
    {
        TransferSession session;
        EXPECT_EQ(SendAll(session, "sftp://127.0.0.1", server.port(), "in/", SftpServer::kUser,
                          SftpServer::kPassword),
                  std::vector<std::string>(5, kOk));
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(server.readFile("in/f" + std::to_string(i) + ".txt"), Bytes(i));
    }
    EXPECT_EQ(CountStartingWith(server.log(), "LOGIN writer ok"), 1);
    EXPECT_EQ(CountStartingWith(server.log(), "WRITE "), 5);
}

} // namespace
