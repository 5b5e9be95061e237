// A run that meets a server it cannot verify: asked about only when the window lets it ask, sent
// once more after a yes, and logged once per file either way.
#include "engine/JobRun.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kUnverified = "The server's identity could not be verified.\r\n";

class JobRunTrustTest : public testing::Test
{
protected:
    // The server is trusted once `trusted` is set; until then every transfer fails as unverified.
    void Run(const std::string& source, bool atWindow)
    {
        JobRunSeams seams;
        seams.readJob = [this, source](UploadJob& job) {
            job.webAddress = "ftps://127.0.0.1";
            job.sourceFile = source;
            job.destinationFile = "/in/x";
            return true;
        };
        seams.transfer = [this](const UploadJob&, const std::string& remotePath, const std::string&,
                                std::string& resultText, std::int32_t& success) {
            sent.push_back(remotePath);
            lastUntrusted.reset();
            if (trusted) {
                resultText = "Ok.\r\n";
                success = 1;
                return;
            }
            resultText = kUnverified;
            success = 0;
            ServerIdentity server;
            server.host = "127.0.0.1";
            server.port = 990;
            server.fingerprint = "AB:CD";
            lastUntrusted = server;
        };
        seams.listFiles = [](const std::string&) {
            return std::vector<FilePair>{{"/out/a", "a"}, {"/out/b", "b"}};
        };
        seams.appendLog = [this](const std::string& resultText, const std::string&,
                                 const std::string&) { logged.push_back(resultText); };
        seams.untrustedServer = [this] { return lastUntrusted; };
        if (atWindow) {
            seams.askTrust = [this](const ServerIdentity& server) {
                asked.push_back(server.fingerprint);
                trusted = answer;
                return answer;
            };
        }
        RunJob(seams);
    }

    bool trusted = false;
    bool answer = false;
    std::optional<ServerIdentity> lastUntrusted;
    std::vector<std::string> sent;
    std::vector<std::string> logged;
    std::vector<std::string> asked;
};

TEST_F(JobRunTrustTest, AScheduledRunNeverAsksAndLogsTheFailure)
{
    Run("/out/*", false);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(sent, std::vector<std::string>{"/in/a"});
    EXPECT_EQ(logged, std::vector<std::string>{kUnverified});
}

TEST_F(JobRunTrustTest, AtTheWindowANoLogsTheFailureAndAYesSendsTheFileOnceMore)
{
    Run("/out/one", true);
    EXPECT_EQ(asked, std::vector<std::string>{"AB:CD"});
    EXPECT_EQ(sent, std::vector<std::string>{"/in/x"});
    EXPECT_EQ(logged, std::vector<std::string>{kUnverified});

    asked.clear();
    sent.clear();
    logged.clear();
    answer = true;
    // Asked once; the retry of the first file and the second file both go through.
    Run("/out/*", true);
    EXPECT_EQ(asked, std::vector<std::string>{"AB:CD"});
    EXPECT_EQ((std::vector<std::string>{"/in/a", "/in/a", "/in/b"}), sent);
    EXPECT_EQ((std::vector<std::string>{"Ok.\r\n", "Ok.\r\n"}), logged);
}

TEST_F(JobRunTrustTest, AFailureForAnotherReasonIsNotPutToTheUser)
{
    JobRunSeams seams;
    seams.readJob = [](UploadJob& job) {
        job.sourceFile = "/out/one";
        return true;
    };
    int transfers = 0;
    seams.transfer = [&](const UploadJob&, const std::string&, const std::string&,
                         std::string& resultText, std::int32_t& success) {
        ++transfers;
        resultText = "Could not put file to server!!\r\n";
        success = 0;
    };
    seams.appendLog = [](const std::string&, const std::string&, const std::string&) {};
    seams.untrustedServer = [] { return std::optional<ServerIdentity>(); };
    bool askedAtAll = false;
    seams.askTrust = [&](const ServerIdentity&) { return askedAtAll = true; };
    RunJob(seams);
    EXPECT_FALSE(askedAtAll);
    EXPECT_EQ(transfers, 1);
}

} // namespace
