// Uploads over SSH (sftp://) to a server started on 127.0.0.1 with a host key made for the test:
// the bytes arrive where FTP would put them, a wrong password is told in one line, and a host
// key is taken only once it is in the program's own known-hosts file.
#include "transfer/TransferFile.h"

#include "tests/support/CuttingRelay.h"
#include "tests/support/SftpServer.h"
#include "tests/support/TempHome.h"
#include "transfer/TrustStore.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

const std::string kOk = "Ok.\r\n";

class TransferSftpTest : public testing::Test
{
protected:
    TransferSftpTest() : local_(MakeTempDir("ferrovane-sftp-client")), store_(local_ + "/data")
    {
        for (int i = 0; i < 300000; ++i) {
            contents_ += static_cast<char>(i * 13 + i / 256);
        }
        std::ofstream(local_ + "/up.bin", std::ios::binary) << contents_;
    }
    ~TransferSftpTest() override { RemoveTree(local_); }

    struct Result
    {
        std::string text;
        std::int32_t success = -1;
        std::optional<ServerIdentity> untrusted;
    };

    Result Upload(const SftpServer& server, const std::string& remote,
                  const std::string& password = SftpServer::kPassword,
                  const TrustStore* store = nullptr)
    {
        Result result;
        TransferFile(SftpServer::kUser, password, "sftp://127.0.0.1", remote, local_ + "/up.bin",
                     server.port(), 0, result.text, result.success, {},
                     {store ? store : &store_, &result.untrusted});
        return result;
    }

    // Records the server's key as the window does after a yes.
    void TrustKeyOf(const SftpServer& server)
    {
        const Result refused = Upload(server, "probe.bin");
        ASSERT_TRUE(refused.untrusted.has_value()) << refused.text;
        std::string why;
        ASSERT_TRUE(store_.Trust(*refused.untrusted, why)) << why;
    }

    std::string local_;
    TrustStore store_;
    std::string contents_;
};

TEST_F(TransferSftpTest, AnUnknownHostKeyIsRefusedBeforeTheLoginAndNamedByItsFingerprint)
{
    SftpServer server;
    const Result result = Upload(server, "up.bin");
    EXPECT_EQ(result.text, "The server's identity could not be verified (host key " +
                               server.fingerprint() +
                               "). Select the job and use \"Update now selected items\" to "
                               "review the server.\r\n");
    EXPECT_EQ(result.success, 0);
    ASSERT_TRUE(result.untrusted.has_value());
    EXPECT_EQ(result.untrusted->kind, ServerIdentity::Kind::Ssh);
    EXPECT_EQ(result.untrusted->host, "127.0.0.1");
    EXPECT_EQ(result.untrusted->port, server.port());
    EXPECT_FALSE(result.untrusted->changed);
    EXPECT_EQ(result.untrusted->fingerprint, server.fingerprint());
    EXPECT_EQ(result.untrusted->keyType, "ecdsa-sha2-nistp256");
    EXPECT_TRUE(server.log().empty()) << "no password may go to an unknown server";
    EXPECT_FALSE(std::filesystem::exists(server.home() + "/up.bin"));

    // Without a store of known hosts nothing is known: still refused, never taken blindly.
    Result bare;
    TransferFile(SftpServer::kUser, SftpServer::kPassword,
                 "sftp://127.0.0.1:" + std::to_string(server.port()), "up.bin", local_ + "/up.bin",
                 0, 1, bare.text, bare.success);
    EXPECT_EQ(bare.success, 0);
    EXPECT_NE(bare.text.find(server.fingerprint()), std::string::npos) << bare.text;
    EXPECT_TRUE(server.log().empty());
}

TEST_F(TransferSftpTest, AKnownServerTakesTheBytesExactlyWhereFtpWouldPutThem)
{
    SftpServer server;
    TrustKeyOf(server);
    std::filesystem::create_directories(server.home() + "/in/deep");

    const struct
    {
        std::string remote;
        std::string arrives;
    } cases[] = {{"up.bin", "up.bin"},
                 {"in/deep/a b#%.bin", "in/deep/a b#%.bin"},
                 {"/in/abs.bin", "in/abs.bin"}};
    // Each upload's connection closes with it: a program that runs for weeks keeps no socket.
    const auto openFiles = [] {
        const std::filesystem::directory_iterator fds("/proc/self/fd");
        return std::distance(begin(fds), end(fds));
    };
    const auto openBefore = openFiles();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote);
        const Result result = Upload(server, c.remote);
        EXPECT_EQ(result.text, kOk);
        EXPECT_EQ(result.success, 1);
        EXPECT_FALSE(result.untrusted.has_value());
        EXPECT_EQ(server.readFile(c.arrives), contents_);
    }
    EXPECT_EQ(openFiles(), openBefore);

    // A folder that is not there is told as for FTP.
    const Result missing = Upload(server, "nowhere/up.bin");
    EXPECT_EQ(missing.text.rfind("Could not change directory !! ", 0), 0u) << missing.text;
    EXPECT_GT(missing.text.size(), std::string("Could not change directory !! \r\n").size());
    EXPECT_EQ(missing.success, 0);
}

TEST_F(TransferSftpTest, AWrongPasswordIsOneLineAndAChangedKeyIsRefused)
{
    const std::string key = local_ + "/host-key";
    std::uint16_t port = 0;
    {
        SftpServer server(key);
        TrustKeyOf(server);
        port = server.port();
        const Result result = Upload(server, "up.bin", "wrong");
        EXPECT_EQ(result.text,
                  "Could not log in: the SSH server refused the user name or password!!\r\n");
        EXPECT_EQ(result.success, 0);
        EXPECT_FALSE(result.untrusted.has_value());
        EXPECT_EQ(server.log().front(), "LOGIN writer refused");
    }

    // The same port with a new key: a changed identity, told as such, and no password sent.
    std::filesystem::remove(key);
    SftpServer changed(key, port);
    const Result result = Upload(changed, "up.bin");
    EXPECT_EQ(result.text.rfind(
                  "The server's identity has changed (host key " + changed.fingerprint() + ").", 0),
              0u)
        << result.text;
    ASSERT_TRUE(result.untrusted.has_value());
    EXPECT_TRUE(result.untrusted->changed);
    EXPECT_TRUE(changed.log().empty());

    // Trusting the new key replaces the old one.
    std::string why;
    ASSERT_TRUE(store_.Trust(*result.untrusted, why)) << why;
    EXPECT_EQ(Upload(changed, "up.bin").text, kOk);
    EXPECT_EQ(changed.readFile("up.bin"), contents_);
}

TEST_F(TransferSftpTest, AKeyOfAnotherTypeThanTheRecordedOneIsAChangedIdentity)
{
    SftpServer server; // offers an ECDSA key only
    // An Ed25519 key recorded for the same server (its type name and 32 bytes, in base64).
    ServerIdentity recorded;
    recorded.kind = ServerIdentity::Kind::Ssh;
    recorded.host = "127.0.0.1";
    recorded.port = server.port();
    recorded.fingerprint = "SHA256:recorded";
    recorded.keyType = "ssh-ed25519";
    recorded.keyBase64 = "AAAAC3NzaC1lZDI1NTE5AAAAIEJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJC";
    std::string why;
    ASSERT_TRUE(store_.Trust(recorded, why)) << why;

    const Result result = Upload(server, "up.bin");
    EXPECT_EQ(result.text.rfind(
                  "The server's identity has changed (host key " + server.fingerprint() + ").", 0),
              0u)
        << result.text;
    ASSERT_TRUE(result.untrusted.has_value());
    EXPECT_TRUE(result.untrusted->changed);
    EXPECT_EQ(result.untrusted->keyType, "ecdsa-sha2-nistp256");
    EXPECT_TRUE(server.log().empty()) << "no password may go to a changed server";

    ASSERT_TRUE(store_.Trust(*result.untrusted, why)) << why;
    EXPECT_EQ(Upload(server, "up.bin").text, kOk);
}

} // namespace

TEST_F(TransferSftpTest, AServerThatStopsAnsweringMidFileIsLeftAfterTheStallTimeout)
{
    SftpServer server;
    CuttingRelay relay(server.port());
    const auto send = [&] {
        Result result;
        TransferFile(SftpServer::kUser, SftpServer::kPassword, "sftp://127.0.0.1", "up.bin",
                     local_ + "/up.bin", relay.port(), 0, result.text, result.success, {},
                     {&store_, &result.untrusted});
        return result;
    };
    const Result refused = send();
    ASSERT_TRUE(refused.untrusted.has_value()) << refused.text;
    std::string why;
    ASSERT_TRUE(store_.Trust(*refused.untrusted, why)) << why;
    // Logged in, a third of the file out: from there nothing reaches the server.
    relay.holdWhen([](std::uint64_t bytes) { return bytes > 100000; });
    const TransferTimeouts previous =
        SetTransferTimeoutsForTesting({std::chrono::seconds(30), std::chrono::milliseconds(500)});
    const auto start = std::chrono::steady_clock::now();
    const Result stalled = send();
    SetTransferTimeoutsForTesting(previous);
    EXPECT_EQ(stalled.text, "Could not put file to server!!\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
