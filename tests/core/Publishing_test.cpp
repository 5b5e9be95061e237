// Replacing a file on a secure server the way an unlucky server, a flaky network and a careless
// neighbour would have it go: whatever happens, the destination holds the old complete copy or the
// new one, "refuses renames" is said only of a server that refuses them, and nothing is left
// behind that the next run would not remove. Against the servers people run, as root.
#include "tests/support/CuttingRelay.h"
#include "tests/support/ProftpdServer.h"
#include "tests/support/SshdServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestCertificates.h"
#include "transfer/TransferFile.h"
#include "transfer/TransferSession.h"
#include "transfer/TrustStore.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Mode = ProftpdServer::Mode;

enum class Trouble
{
    RenameDenied,    // the server refuses renames: OpenSSH's -P, proftpd's <Limit RNTO>
    CutBeforeRename, // the connection drops after the old copy is removed
    FolderInTheWay,  // a folder under the destination's name
    DiskFull,        // the destination's folder cannot take the new copy
    LongName,        // a name with no room for the temporary form; the upload is killed midway
};

struct Case
{
    const char* name;
    bool sshd; // else proftpd over ftpes://
    Trouble trouble;
    const char* logged; // how the run's last entry begins
    bool newCopy;       // the destination holds the new copy afterwards, else the old one
};

const Case kCases[] = {
    {"OpenSshRefusingRenames", true, Trouble::RenameDenied, "Ok.", true},
    {"ProftpdRefusingRnto", false, Trouble::RenameDenied, "Ok.", true},
    {"OpenSshCutBetweenRemoveAndRename", true, Trouble::CutBeforeRename, "Ok.", true},
    {"OpenSshFolderInTheWay", true, Trouble::FolderInTheWay, "Could not put file to server!!",
     false},
    {"ProftpdFolderInTheWay", false, Trouble::FolderInTheWay, "Could not put file to server!!",
     false},
    {"OpenSshDiskFull", true, Trouble::DiskFull, "Could not put file to server!! writing failed",
     false},
    {"OpenSshLongNameKilled", true, Trouble::LongName, "", false},
};

class PublishingTest : public testing::TestWithParam<Case>
{
protected:
    void SetUp() override
    {
        const Case& c = GetParam();
        if (const std::string why =
                c.sshd ? SshdServer::Unavailable() : ProftpdServer::Unavailable(Mode::ExplicitTls);
            !why.empty()) {
            ASSERT_NE(geteuid(), 0u) << why;
            GTEST_SKIP() << why;
        }
        const bool denied = c.trouble == Trouble::RenameDenied;
        if (c.sshd) {
            server_ = std::make_unique<SshdServer>(denied ? "-P rename,posix-rename" : "");
        } else {
            certs_ = std::make_unique<TestCertificates>();
            previousAuthority_ = SetTransferAuthorityFileForTesting(certs_->authority());
            server_ = std::make_unique<ProftpdServer>(Mode::ExplicitTls, certs_->server(),
                                                      denied ? ProftpdServer::Refusing("in", "RNTO")
                                                             : std::string());
        }
        if (c.trouble == Trouble::DiskFull) {
            server_->addSmallDisk("in", 1 << 20);
        } else {
            server_->addFolder("in");
        }
        port_ = server_->port();
        if (c.trouble == Trouble::CutBeforeRename) {
            relay_ = std::make_unique<CuttingRelay>(port_);
            port_ = relay_->port();
        }
        if (c.sshd) {
            ServerIdentity key = server_->hostKey();
            key.port = port_;
            std::string why;
            ASSERT_TRUE(store_.Trust(key, why)) << why;
        }
        fs::create_directories(local_);
    }
    void TearDown() override
    {
        if (certs_) {
            SetTransferAuthorityFileForTesting(previousAuthority_);
        }
        RemoveTree(root_);
    }

    std::string Write(const std::string& bytes)
    {
        std::ofstream(local_ + "/file", std::ios::binary) << bytes;
        return bytes;
    }

    std::string Send(TransferSession& session, const std::string& remote, TransferReplace* replace)
    {
        std::string text;
        std::int32_t success = 0;
        session.Send(server_->user(), server_->password(),
                     GetParam().sshd ? "sftp://127.0.0.1" : "ftpes://127.0.0.1", remote,
                     local_ + "/file", port_, 1, text, success, {}, {&store_, nullptr}, replace);
        return text;
    }

    // The server's temporary copies in "in".
    std::vector<std::string> Parts() const
    {
        std::vector<std::string> parts;
        for (const auto& entry : fs::directory_iterator(server_->home() + "/in")) {
            if (entry.path().string().ends_with(".ferrovane-part")) {
                parts.push_back(entry.path().filename().string());
            }
        }
        return parts;
    }

    std::string root_ = MakeTempDir("ferrovane-publishing");
    std::string local_ = root_ + "/local";
    TrustStore store_{root_ + "/data"};
    std::unique_ptr<TestCertificates> certs_;
    std::string previousAuthority_;
    std::unique_ptr<DaemonServer> server_;
    std::unique_ptr<CuttingRelay> relay_;
    std::uint16_t port_ = 0;
};

} // namespace

TEST_P(PublishingTest, TheDestinationIsNeverLostNorHalfWritten)
{
    const Case& c = GetParam();
    const std::string name = c.trouble == Trouble::LongName ? std::string(250, 'n') : "report.bin";
    const std::string remote = "in/" + name;
    const std::string good = Write(std::string(1000, 'g'));
    {
        TransferSession session;
        ASSERT_EQ(Send(session, remote, nullptr), "Ok.\r\n") << server_->logs();
    }
    const std::string next =
        Write(std::string(c.trouble == Trouble::DiskFull ? 2 << 20 : 3000, 'n'));
    if (c.trouble == Trouble::FolderInTheWay) {
        fs::remove(server_->home() + "/" + remote);
        fs::create_directory(server_->home() + "/" + remote);
    }
    if (c.trouble == Trouble::CutBeforeRename) {
        const std::string destination = server_->home() + "/" + remote;
        relay_->cutWhen([destination](std::uint64_t) { return !fs::exists(destination); });
    }

    TransferReplace replace;
    std::string logged;
    if (c.trouble == Trouble::LongName) {
        // Killed once the server holds part of the new copy.
        Write(std::string(96 << 20, 'n'));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TransferSession session;
            Send(session, remote, nullptr);
            _exit(0);
        }
        const auto begun = [&] {
            const std::vector<std::string> parts = Parts();
            return parts.size() == 1 && fs::file_size(server_->home() + "/in/" + parts[0]) > 0;
        };
        for (int i = 0; i < 20000 && !begun(); ++i) {
            usleep(500);
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ASSERT_EQ(Parts().size(), 1u);
        EXPECT_LT(Parts()[0].size(), 60u);
    } else {
        TransferSession session;
        logged = Send(session, remote, &replace);
    }

    EXPECT_EQ(logged.rfind(c.logged, 0), 0u) << logged << server_->logs();
    EXPECT_EQ(replace.renameRefused, c.trouble == Trouble::RenameDenied);
    if (c.trouble == Trouble::FolderInTheWay) {
        EXPECT_TRUE(fs::is_directory(server_->home() + "/" + remote));
    } else {
        EXPECT_TRUE(server_->readFile(remote) == (c.newCopy ? next : good));
    }
    if (c.trouble != Trouble::LongName) {
        EXPECT_EQ(Parts(), std::vector<std::string>{});
    }
    if (c.trouble == Trouble::DiskFull || c.trouble == Trouble::LongName) {
        // Whatever was left, the next run with room removes it and replaces the copy.
        Write(std::string(2000, 'm'));
        TransferSession session;
        EXPECT_EQ(Send(session, remote, nullptr), "Ok.\r\n");
        EXPECT_EQ(Parts(), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PublishingTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });
