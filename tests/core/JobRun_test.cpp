#include "engine/JobRun.h"
#include "tests/support/RunToEnd.h"
#include "tests/support/TempHome.h"
#include "transfer/FolderScanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Sent
{
    std::string userName;
    std::string webAddress;
    std::string remotePath;
    std::string localPath;

    bool operator==(const Sent&) const = default;
};

struct Logged
{
    std::string resultText;
    std::string localPath;
    std::string remotePath;

    bool operator==(const Logged&) const = default;
};

UploadJob MakeJob(const std::string& name, const std::string& source,
                  const std::string& destination)
{
    static std::uint64_t lastId = 0;
    UploadJob job;
    job.id = ++lastId;
    job.userName = name;
    job.password = name + "-secret";
    job.webAddress = name + ".example.net";
    job.sourceFile = source;
    job.destinationFile = destination;
    return job;
}

const std::vector<FilePair> kThreeFiles = {
    {"/out/a.csv", "a.csv"}, {"/out/b.csv", "b.csv"}, {"/out/c.csv", "c.csv"}};

const std::string kPutFailed = "Could not put file to server!!\r\n";

// A schedule in miniature: the job list, and stand-ins for the transfer, the listing and the
// log, wired to a JobRun as the schedule wires them.
class JobRunTest : public testing::Test
{
protected:
    void Run(int position)
    {
        const std::uint64_t id = jobs[static_cast<std::size_t>(position)].id;
        JobRunSeams seams;
        seams.readJob = [this, id](UploadJob& job) {
            for (const UploadJob& candidate : jobs) {
                if (candidate.id == id) {
                    job = candidate;
                    return true;
                }
            }
            return false;
        };
        seams.appendLog = [this](const std::string& resultText, const std::string& localPath,
                                 const std::string& remotePath) {
            logged.push_back({resultText, localPath, remotePath});
            if (between) {
                between(logged.size());
            }
        };
        JobRun run(seams, false);
        const auto list = [this](const std::string& pattern) {
            listed.push_back(pattern);
            return realListing ? ListPatternFiles(pattern) : listing;
        };
        const auto send = [this](const FileRequest& file) {
            sent.push_back({file.userName, file.webAddress, file.remotePath, file.localPath});
            FileOutcome outcome;
            outcome.success = file.localPath != failOn;
            outcome.resultText = outcome.success ? "Ok.\r\n" : kPutFailed;
            return outcome;
        };
        RunToEnd(run, list, send);
    }

    JobList jobs;
    std::vector<FilePair> listing;
    bool realListing = false; // list with the real folder scan instead of `listing`
    std::string failOn;
    // Runs after each entry, while the next file waits: the window may change the list then.
    std::function<void(std::size_t entries)> between;

    std::vector<Sent> sent;
    std::vector<Logged> logged;
    std::vector<std::string> listed;
};

} // namespace

class SingleFileRunTest : public JobRunTest, public testing::WithParamInterface<const char*>
{};

TEST_P(SingleFileRunTest, SendsTheSourceAsStoredAndLogsOnce)
{
    const std::string source = GetParam();
    jobs = {MakeJob("ann", source, "/in/data.txt")};
    failOn = source; // the outcome does not matter: one entry either way
    Run(0);
    EXPECT_TRUE(listed.empty());
    EXPECT_EQ(sent, (std::vector<Sent>{{"ann", "ann.example.net", "/in/data.txt", source}}));
    EXPECT_EQ(logged, (std::vector<Logged>{{kPutFailed, source, "/in/data.txt"}}));
}

// "?" alone is no wildcard, and an empty source still goes to the transfer.
INSTANTIATE_TEST_SUITE_P(Sources, SingleFileRunTest,
                         testing::Values("/out/file?.txt", "/out/plain.txt", "", "/out/[ab].txt"));

TEST_F(JobRunTest, WildcardRunStopsAfterTheFirstFailure)
{
    jobs = {MakeJob("ann", "/out/*.csv", "/site/in/data.txt")};
    listing = kThreeFiles;
    failOn = "/out/b.csv";
    Run(0);
    EXPECT_EQ(listed, std::vector<std::string>{"/out/*.csv"});
    EXPECT_EQ(sent,
              (std::vector<Sent>{{"ann", "ann.example.net", "/site/in/a.csv", "/out/a.csv"},
                                 {"ann", "ann.example.net", "/site/in/b.csv", "/out/b.csv"}}));
    EXPECT_EQ(logged, (std::vector<Logged>{{"Ok.\r\n", "/out/a.csv", "/site/in/a.csv"},
                                           {kPutFailed, "/out/b.csv", "/site/in/b.csv"}}));
}

TEST_F(JobRunTest, NoMatchSendsAndLogsNothing)
{
    jobs = {MakeJob("ann", "/out/*.none", "/in/")};
    Run(0);
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(logged.empty());
}

struct DestinationCase
{
    const char* destination;
    const char* remoteOfA;
};

void PrintTo(const DestinationCase& param, std::ostream* out)
{
    *out << "destination \"" << param.destination << "\"";
}

class DestinationTest : public JobRunTest, public testing::WithParamInterface<DestinationCase>
{};

TEST_P(DestinationTest, FilesGoIntoTheDestinationsFolderUnderTheirOwnName)
{
    jobs = {MakeJob("ann", "/out/*", GetParam().destination)};
    listing = {{"/out/a.csv", "a.csv"}};
    Run(0);
    EXPECT_EQ(sent,
              (std::vector<Sent>{{"ann", "ann.example.net", GetParam().remoteOfA, "/out/a.csv"}}));
}

INSTANTIATE_TEST_SUITE_P(Destinations, DestinationTest,
                         testing::Values(DestinationCase{"/in/", "/in/a.csv"},
                                         DestinationCase{"data.txt", "a.csv"},
                                         DestinationCase{"", "a.csv"},
                                         DestinationCase{"/", "/a.csv"},
                                         DestinationCase{"pub/x/data.txt", "pub/x/a.csv"},
                                         DestinationCase{"\\in\\data.txt", "a.csv"}));

TEST_F(JobRunTest, AChangeBetweenFilesAppliesToTheRest)
{
    jobs = {MakeJob("ann", "/out/*.csv", "/in/")};
    listing = kThreeFiles;
    between = [this](std::size_t entries) {
        if (entries == 1) {
            // As the editor's change does: new settings, the same job.
            const std::uint64_t id = jobs[0].id;
            jobs[0] = MakeJob("bob", "/elsewhere/x", "/other/x.txt");
            jobs[0].id = id;
        }
    };
    Run(0);
    EXPECT_EQ(sent, (std::vector<Sent>{{"ann", "ann.example.net", "/in/a.csv", "/out/a.csv"},
                                       {"bob", "bob.example.net", "/other/b.csv", "/out/b.csv"},
                                       {"bob", "bob.example.net", "/other/c.csv", "/out/c.csv"}}));
}

struct DeleteCase
{
    int deleted; // position deleted after the first entry; the run is of job 1
    std::size_t filesSent;
};

void PrintTo(const DeleteCase& param, std::ostream* out)
{
    *out << "delete job " << param.deleted;
}

class DeleteDuringRunTest : public JobRunTest, public testing::WithParamInterface<DeleteCase>
{};

TEST_P(DeleteDuringRunTest, TheRunKeepsToItsOwnJobOrStops)
{
    jobs = {MakeJob("ann", "/a/*", "/a/"), MakeJob("bob", "/out/*", "/in/"),
            MakeJob("cat", "/c/*", "/c/")};
    listing = kThreeFiles;
    between = [this](std::size_t entries) {
        if (entries == 1) {
            jobs.erase(jobs.begin() + GetParam().deleted);
        }
    };
    Run(1);
    ASSERT_EQ(sent.size(), GetParam().filesSent);
    EXPECT_EQ(logged.size(), GetParam().filesSent);
    for (const Sent& file : sent) {
        EXPECT_EQ(file.userName, "bob");
        EXPECT_EQ(file.webAddress, "bob.example.net");
    }
}

INSTANTIATE_TEST_SUITE_P(Deletes, DeleteDuringRunTest,
                         testing::Values(DeleteCase{1, 1}, // its own job: stops at once
                                         DeleteCase{0, 3}, // a job above: it moved up
                                         DeleteCase{2, 3}));

// The real listing: a matching subfolder is never sent.
TEST_F(JobRunTest, WildcardRunSendsOnlyTheFoldersOwnFiles)
{
    const std::string dir = MakeTempDir("ferrovane-run");
    std::filesystem::create_directories(dir + "/sub.csv");
    for (const char* name : {"a.csv", "b.csv", "c.csv", "notes.txt", "sub.csv/d.csv"}) {
        std::ofstream(dir + "/" + name) << name;
    }
    jobs = {MakeJob("ann", dir + "/*.csv", "/in/data.txt")};
    realListing = true;
    Run(0);
    RemoveTree(dir);

    std::vector<std::string> remotes;
    for (const Sent& file : sent) {
        remotes.push_back(file.remotePath);
        EXPECT_EQ(file.localPath, dir + file.remotePath.substr(3));
    }
    std::sort(remotes.begin(), remotes.end());
    EXPECT_EQ(remotes, (std::vector<std::string>{"/in/a.csv", "/in/b.csv", "/in/c.csv"}));
    EXPECT_EQ(logged.size(), 3u);
}
