#include "engine/JobRun.h"
#include "tests/support/FtpServer.h"
#include "tests/support/RunToEnd.h"
#include "tests/support/TempHome.h"
#include "transfer/FolderScanner.h"
#include "transfer/TransferFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Logged
{
    std::string resultText;
    std::string localPath;
    std::string remotePath;
};

// A wildcard job run wired as the window wires it, with the real listing and the real transfer.
class JobRunFtpTest : public testing::Test
{
protected:
    void SetUp() override
    {
        source = MakeTempDir("ferrovane-run-ftp");
        std::filesystem::create_directories(server.home() + "/in");
        UploadJob job;
        job.userName = FtpServer::kWriter;
        job.password = FtpServer::kWriterPassword;
        job.webAddress = FtpServer::kAddress;
        job.sourceFile = source + "/*.bin";
        job.destinationFile = "/in/data.txt";
        job.port = server.port();
        job.passiveMode = 1;
        jobs = {job};
    }
    void TearDown() override { RemoveTree(source); }

    void Write(const std::string& name, const std::string& bytes)
    {
        std::filesystem::create_directories(
            std::filesystem::path(source + "/" + name).parent_path());
        std::ofstream(source + "/" + name, std::ios::binary) << bytes;
    }

    void Run()
    {
        JobRunSeams seams;
        seams.readJob = [this](UploadJob& job) {
            job = jobs[0];
            return true;
        };
        seams.appendLog = [this](const std::string& resultText, const std::string& localPath,
                                 const std::string& remotePath) {
            logged.push_back({resultText, localPath, remotePath});
        };
        JobRun run(seams, false);
        RunToEnd(run, ListPatternFiles, [](const FileRequest& file) {
            FileOutcome outcome;
            std::int32_t success = 0;
            TransferFile(file.userName, file.password, file.webAddress, file.remotePath,
                         file.localPath, file.port, file.passiveMode, outcome.resultText, success);
            outcome.success = success != 0;
            return outcome;
        });
    }

    std::vector<std::string> Stores() const
    {
        std::vector<std::string> stores;
        for (const std::string& command : server.commands()) {
            if (command.rfind("STOR ", 0) == 0) {
                stores.push_back(command);
            }
        }
        return stores;
    }

    FtpServer server;
    std::string source;
    JobList jobs;
    std::vector<Logged> logged;
};

} // namespace

TEST_F(JobRunFtpTest, AWildcardRunSendsEveryMatchingFileIntoTheRemoteFolder)
{
    const std::string a("alpha\0\r\n\xff", 9);
    const std::string b(70000, '\x5a');
    const std::string c = "gamma";
    Write("a.bin", a);
    Write("b.bin", b);
    Write("c.bin", c);
    Write("notes.txt", "not matched");
    Write("sub.bin/d.bin", "in a matching subfolder");
    Run();

    EXPECT_EQ(server.readFile("in/a.bin"), a);
    EXPECT_EQ(server.readFile("in/b.bin"), b);
    EXPECT_EQ(server.readFile("in/c.bin"), c);
    EXPECT_FALSE(std::filesystem::exists(server.home() + "/in/notes.txt"));
    EXPECT_FALSE(std::filesystem::exists(server.home() + "/in/sub.bin"));
    EXPECT_FALSE(std::filesystem::exists(server.home() + "/in/d.bin"));
    EXPECT_EQ(Stores().size(), 3u);

    ASSERT_EQ(logged.size(), 3u);
    std::vector<std::string> remotes;
    for (const Logged& entry : logged) {
        EXPECT_EQ(entry.resultText, "Ok.\r\n");
        EXPECT_EQ(entry.localPath, source + "/" + entry.remotePath.substr(4));
        remotes.push_back(entry.remotePath);
    }
    std::sort(remotes.begin(), remotes.end());
    EXPECT_EQ(remotes, (std::vector<std::string>{"/in/a.bin", "/in/b.bin", "/in/c.bin"}));
}

// A dangling link is listed, so its failed upload shows in the log, and the run stops there.
TEST_F(JobRunFtpTest, TheRunStopsAtTheFirstFileThatFails)
{
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
        Write(name, name);
    }
    std::filesystem::create_symlink(source + "/gone", source + "/broken.bin");
    const std::vector<FilePair> order = ListPatternFiles(jobs[0].sourceFile);
    const auto broken = std::find_if(order.begin(), order.end(), [](const FilePair& file) {
        return file.fileName == "broken.bin";
    });
    ASSERT_NE(broken, order.end());
    const std::size_t tried = static_cast<std::size_t>(broken - order.begin()) + 1;

    Run();
    ASSERT_EQ(logged.size(), tried);
    for (std::size_t n = 0; n + 1 < tried; ++n) {
        EXPECT_EQ(logged[n].resultText, "Ok.\r\n");
        EXPECT_EQ(server.readFile("in/" + order[n].fileName), order[n].fileName);
    }
    EXPECT_EQ(logged.back().resultText, "Could not put file to server!!\r\n");
    EXPECT_EQ(logged.back().localPath, source + "/broken.bin");
    for (std::size_t n = tried; n < order.size(); ++n) {
        EXPECT_FALSE(std::filesystem::exists(server.home() + "/in/" + order[n].fileName));
    }
}
