// Job runs against the servers people run, started by the test as root on 127.0.0.1: proftpd
// (plain FTP, ftpes:// with TLS 1.2 or 1.3 and with TLS 1.3 only, ftps://, and SFTP through
// mod_sftp) and OpenSSH's sshd. Each run goes through a JobRun and one TransferSession, as the
// window's runs do; the bytes must arrive whole, every file must be logged as sent, and the
// server's own log must show one login per run on a secure server and one per file on plain FTP.
// proftpd requires every TLS data connection to resume the control connection's session.
#include "engine/JobRun.h"
#include "tests/support/ProftpdServer.h"
#include "tests/support/RunToEnd.h"
#include "tests/support/SshdServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestCertificates.h"
#include "transfer/FolderScanner.h"
#include "transfer/TransferSession.h"
#include "transfer/TrustStore.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Mode = ProftpdServer::Mode;

struct Case
{
    const char* name;
    bool sshd; // else proftpd in `mode`
    Mode mode;
    const char* address;
    const char* hostKeyType = "ed25519"; // sshd's only host key
};

const Case kCases[] = {
    {"ProftpdPlain", false, Mode::Plain, "127.0.0.1"},
    {"ProftpdExplicitTls", false, Mode::ExplicitTls, "ftpes://127.0.0.1"},
    {"ProftpdExplicitTls13Only", false, Mode::ExplicitTls13, "ftpes://127.0.0.1"},
    {"ProftpdImplicitTls", false, Mode::ImplicitTls, "ftps://127.0.0.1"},
    {"ProftpdSftp", false, Mode::Sftp, "sftp://127.0.0.1"},
    {"OpenSshSftp", true, Mode::Sftp, "sftp://127.0.0.1"},
    {"OpenSshRsaHostKey", true, Mode::Sftp, "sftp://127.0.0.1", "rsa"},
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

class RealServersTest : public testing::TestWithParam<Case>
{
protected:
    RealServersTest() : local_(MakeTempDir("ferrovane-real-client")), store_(local_ + "/data")
    {
        std::filesystem::create_directory(local_ + "/files");
    }
    ~RealServersTest() override { RemoveTree(local_); }

    void SetUp() override
    {
        const Case& c = GetParam();
        const std::string why =
            c.sshd ? SshdServer::Unavailable() : ProftpdServer::Unavailable(c.mode);
        // Without root the servers cannot run: skipped, and told so. As root a missing server
        // is a broken install, which must not pass as a skip.
        if (!why.empty() && geteuid() == 0) {
            FAIL() << why;
        }
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        if (c.mode != Mode::Plain && c.mode != Mode::Sftp) {
            certs_ = std::make_unique<TestCertificates>();
            previousAuthority_ = SetTransferAuthorityFileForTesting(certs_->authority());
        }
        if (c.sshd) {
            server_ = std::make_unique<SshdServer>("", "", c.hostKeyType);
        } else {
            server_ = std::make_unique<ProftpdServer>(c.mode, certs_ ? certs_->server() : "");
        }
        server_->addFolder("in");
        if (c.mode == Mode::Sftp) {
            // The server's key as the user is asked to trust it is the one it was made with.
            const ServerIdentity made = server_->hostKey();
            TransferSession probe;
            std::string text;
            std::int32_t success = 0;
            std::optional<ServerIdentity> shown;
            probe.Send(server_->user(), server_->password(), c.address, "in/probe",
                       local_ + "/files", server_->port(), 1, text, success, {}, {&store_, &shown});
            ASSERT_TRUE(shown) << text << server_->logs();
            EXPECT_EQ(shown->keyType + " " + shown->keyBase64 + " " + shown->fingerprint,
                      made.keyType + " " + made.keyBase64 + " " + made.fingerprint);
            std::string failure;
            ASSERT_TRUE(store_.Trust(*shown, failure)) << failure;
        }
    }
    void TearDown() override
    {
        if (certs_) {
            SetTransferAuthorityFileForTesting(previousAuthority_);
        }
    }

    // A few KiB, different for every n.
    std::string Write(const std::string& name, int n)
    {
        std::string bytes;
        for (int i = 0; i < 2000 + n * 211; ++i) {
            bytes += static_cast<char>(i * 31 + n * 7 + i / 256);
        }
        std::ofstream(local_ + "/files/" + name, std::ios::binary) << bytes;
        return bytes;
    }

    // Runs one job as the window does, over one session; returns the result texts logged.
    std::vector<std::string> Run(const std::string& source, const std::string& destination)
    {
        UploadJob job;
        job.userName = server_->user();
        job.password = server_->password();
        job.webAddress = GetParam().address;
        job.port = server_->port();
        job.passiveMode = 1;
        job.sourceFile = local_ + "/files/" + source;
        job.destinationFile = destination;
        TransferSession session;
        std::vector<std::string> logged;
        JobRunSeams seams;
        seams.readJob = [&](UploadJob& current) {
            current = job;
            current.storeInPlace = inPlace_;
            return true;
        };
        seams.storeInPlace = [&] { inPlace_ = true; };
        seams.appendLog = [&](const std::string& resultText, const std::string&,
                              const std::string&) { logged.push_back(resultText); };
        JobRun run(seams, false);
        RunToEnd(run, ListPatternFiles, [&](const FileRequest& file) {
            FileOutcome outcome;
            std::int32_t success = 0;
            std::optional<ServerIdentity> untrusted;
            TransferReplace replace{file.inPlace, false};
            session.Send(file.userName, file.password, file.webAddress, file.remotePath,
                         file.localPath, file.port, file.passiveMode, outcome.resultText, success,
                         {}, {&store_, &untrusted}, &replace);
            outcome.success = success != 0;
            outcome.renameRefused = replace.renameRefused;
            return outcome;
        });
        return logged;
    }

    bool secure() const { return GetParam().mode != Mode::Plain; }
    // The temporary copies of `name` in the server's folder `folder`.
    std::vector<std::string> Parts(const std::string& folder, const std::string& name) const
    {
        std::vector<std::string> parts;
        for (const auto& entry :
             std::filesystem::directory_iterator(server_->home() + "/" + folder)) {
            const std::string file = entry.path().filename().string();
            if (file.starts_with("." + name + ".") && file.ends_with(".ferrovane-part")) {
                parts.push_back(entry.path().string());
            }
        }
        return parts;
    }
    bool Exists(const std::string& name) const
    {
        return std::filesystem::exists(server_->home() + "/" + name);
    }

    std::string local_;
    TrustStore store_;
    std::unique_ptr<TestCertificates> certs_;
    std::string previousAuthority_;
    std::unique_ptr<DaemonServer> server_;
    bool inPlace_ = false; // the job's memory that its server refuses renames
};

} // namespace

TEST_P(RealServersTest, OneFile)
{
    const std::string bytes = Write("single.bin", 0);
    EXPECT_EQ(Run("single.bin", "in/single.bin"), std::vector<std::string>{"Ok.\r\n"})
        << server_->logs();
    EXPECT_EQ(server_->readFile("in/single.bin"), bytes);
    EXPECT_EQ(server_->logins(), 1u);
}

TEST_P(RealServersTest, TwentyFilesOfAPattern)
{
    std::vector<std::string> names;
    std::vector<std::string> sent;
    for (int n = 0; n < 20; ++n) {
        names.push_back(std::to_string(n) + ".bin");
        sent.push_back(Write(names.back(), n));
    }
    EXPECT_EQ(Run("*.bin", "in/data.txt"), std::vector<std::string>(20, "Ok.\r\n"))
        << server_->logs();
    std::vector<std::string> wrong; // missing, or not the bytes sent
    for (int n = 0; n < 20; ++n) {
        const std::string name = "in/" + names[n];
        if (!std::filesystem::exists(server_->home() + "/" + name) ||
            server_->readFile(name) != sent[n]) {
            wrong.push_back(name);
        }
    }
    EXPECT_EQ(wrong, std::vector<std::string>{});
    EXPECT_EQ(server_->logins(), secure() ? 1u : 20u);
}

// A reader of the destination sees the old copy or the new one, never a part: replacing works
// (OpenSSH's rename does not overwrite), an upload killed mid-way leaves the good copy, and the
// next run replaces it and leaves no temporary file. Plain FTP stores in place, as it always has.
TEST_P(RealServersTest, SecureUploadsReplaceTheDestinationWhole)
{
    if (!secure()) {
        return;
    }
    Write("report.bin", 1);
    ASSERT_EQ(Run("report.bin", "in/report.bin"), std::vector<std::string>{"Ok.\r\n"})
        << server_->logs();
    const std::string good = Write("report.bin", 2);
    ASSERT_EQ(Run("report.bin", "in/report.bin"), std::vector<std::string>{"Ok.\r\n"})
        << server_->logs();
    EXPECT_TRUE(server_->readFile("in/report.bin") == good);

    // A large upload to the same place, its process killed once the server has part of it.
    {
        std::ofstream big(local_ + "/files/big.bin", std::ios::binary);
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 96; ++i) {
            big << block;
        }
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string text;
        std::int32_t success = 0;
        TransferFile(server_->user(), server_->password(), GetParam().address, "in/report.bin",
                     local_ + "/files/big.bin", server_->port(), 1, text, success, {},
                     {&store_, nullptr});
        _exit(0);
    }
    const auto begun = [&] {
        const std::vector<std::string> parts = Parts("in", "report.bin");
        return parts.size() == 1 && std::filesystem::file_size(parts[0]) > 0;
    };
    for (int i = 0; i < 20000 && !begun(); ++i) {
        usleep(500);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(server_->readFile("in/report.bin") == good);

    const std::string next = Write("report.bin", 3);
    EXPECT_EQ(Run("report.bin", "in/report.bin"), std::vector<std::string>{"Ok.\r\n"});
    EXPECT_TRUE(server_->readFile("in/report.bin") == next);
    // The copy the killed upload left is gone with the next run.
    EXPECT_EQ(Parts("in", "report.bin"), std::vector<std::string>{});
}

// On SFTP "/" is the server's own root, not the login folder as FTP servers show it: the failure
// says so.
TEST_P(RealServersTest, AnSftpPathFromTheRootThatIsNotThereSaysWhatSftpPathsAre)
{
    if (!GetParam().sshd) {
        return;
    }
    Write("report.bin", 1);
    const std::vector<std::string> logged = Run("report.bin", "/in/report.bin");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("Could not change directory !! ", 0), 0u) << logged[0];
    EXPECT_NE(logged[0].find("relative to your login folder"), std::string::npos) << logged[0];
}

// A folder that refuses renames gets the files under their final names, told once.
TEST_P(RealServersTest, AFolderThatRefusesRenamesGetsTheFinalNamesToldOnce)
{
    if (GetParam().mode != Mode::ExplicitTls || GetParam().sshd) {
        return;
    }
    server_->addFolder("drop");
    const std::string a = Write("a.bin", 4);
    const std::string b = Write("b.bin", 5);
    const std::vector<std::string> logged = Run("*.bin", "drop/x");
    ASSERT_EQ(logged.size(), 3u) << server_->logs();
    EXPECT_EQ(logged[0].rfind("The server refuses renames", 0), 0u) << logged[0];
    EXPECT_EQ(logged[1], "Ok.\r\n");
    EXPECT_EQ(logged[2], "Ok.\r\n");
    EXPECT_EQ(server_->readFile("drop/a.bin"), a);
    EXPECT_EQ(server_->readFile("drop/b.bin"), b);
    EXPECT_EQ(Parts("drop", "a.bin"), std::vector<std::string>{});
    // The next run goes straight under the final names, without a word.
    EXPECT_EQ(Run("*.bin", "drop/x"), std::vector<std::string>(2, "Ok.\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServersTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });
