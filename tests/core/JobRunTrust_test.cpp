// A run that meets a server it cannot verify: asked about only when the window lets it ask, sent
// once more after a yes, and logged once per file either way.
#include "engine/JobRun.h"
#include "tests/support/RunToEnd.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kUnverified = "The server's identity could not be verified.\r\n";

class JobRunTrustTest : public testing::Test
{
protected:
    // The server is trusted once `trusted` is set; until then every transfer fails as unverified,
    // or with `otherFailure` when that is set.
    void Run(const std::string& source, bool atWindow)
    {
        JobRunSeams seams;
        seams.readJob = [this, source](UploadJob& job) {
            job.webAddress = "ftps://127.0.0.1";
            job.sourceFile = source;
            job.destinationFile = "/in/x";
            return !deletedWhileAsked;
        };
        seams.appendLog = [this](const std::string& resultText, const std::string&,
                                 const std::string&) { logged.push_back(resultText); };
        JobRun run(seams, atWindow);
        const auto list = [](const std::string&) {
            return std::vector<FilePair>{{"/out/a", "a"}, {"/out/b", "b"}};
        };
        const auto send = [this](const FileRequest& file) {
            sent.push_back(file.remotePath);
            FileOutcome outcome;
            if (trusted) {
                outcome.resultText = "Ok.\r\n";
                outcome.success = true;
            } else if (!otherFailure.empty()) {
                outcome.resultText = otherFailure;
            } else {
                outcome.resultText = kUnverified;
                ServerIdentity server;
                server.host = "127.0.0.1";
                server.port = 990;
                server.fingerprint = "AB:CD";
                outcome.untrusted = server;
            }
            return outcome;
        };
        const auto ask = [this](const ServerIdentity& server) {
            asked.push_back(server.fingerprint);
            trusted = answer;
            deletedWhileAsked = deleteWhileAsked;
            return answer;
        };
        RunToEnd(run, list, send, ask);
        EXPECT_EQ(run.Failed(), !trusted && !deletedWhileAsked);
    }

    bool trusted = false;
    bool answer = false;
    bool deleteWhileAsked = false;
    bool deletedWhileAsked = false;
    std::string otherFailure;
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

TEST_F(JobRunTrustTest, AJobDeletedWhileTheUserIsAskedSendsNothingMore)
{
    answer = true;
    deleteWhileAsked = true;
    Run("/out/*", true);
    EXPECT_EQ(sent, std::vector<std::string>{"/in/a"});
    EXPECT_TRUE(logged.empty());
}

TEST_F(JobRunTrustTest, AFailureForAnotherReasonIsNotPutToTheUser)
{
    otherFailure = "Could not put file to server!!\r\n";
    Run("/out/one", true);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(sent.size(), 1u);
}

} // namespace
