// Jobs, passwords and the running flag surviving a restart of the window, and a crash.
#include "app/AppMessageBox.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/TempHome.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {
const char* const kChildFolder = "FERROVANE_TEST_CHILD_STORE";

class PersistenceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
    }
};
} // namespace

TEST_F(PersistenceTest, JobsPasswordsAndTheRunningFlagComeBackAfterARestart)
{
    const std::string folder = MakeTempDir("ferrovane-restart");
    {
        DialogDriver first(folder);
        first.AddJob(QStringLiteral("ftp.one.test"), QStringLiteral("anna"),
                     QStringLiteral("/data/a.txt"), QStringLiteral("/in/a.txt"), 30,
                     QStringLiteral("2121"), true, QStringLiteral("pa55 w0rd"));
        first.AddJob(QString(), QString(), QString(), QString(), 7, QStringLiteral("21"), false,
                     QString());
        first.Click("startButton");
        QTimer::singleShot(0, [&] { QTest::keyClick(first.Edit("userEdit"), Qt::Key_Escape); });
        first.dialog().DoModal();
    }
    QFile stored(QString::fromStdString(folder + "/ferrovane.conf"));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_FALSE(stored.readAll().contains("pa55")) << "the password is never stored in clear";

    DialogDriver second(folder);
    const JobList& jobs = second.dialog().Jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].password, "pa55 w0rd");
    EXPECT_EQ(jobs[0].webAddress, "ftp.one.test");
    EXPECT_EQ(jobs[0].port, 2121);
    EXPECT_EQ(jobs[0].passiveMode, 1);
    EXPECT_EQ(jobs[0].intervalSeconds, 30);
    // Empty texts come back as a single space; an empty password stays empty.
    EXPECT_EQ(jobs[1].userName, " ");
    EXPECT_EQ(jobs[1].destinationFile, " ");
    EXPECT_EQ(jobs[1].password, "");
    EXPECT_EQ(second.Text("passwordEdit"), QStringLiteral("pa55 w0rd"));
    EXPECT_EQ(second.RowCount(), 2);
    EXPECT_EQ(second.dialog().Running(), 1);
    EXPECT_TRUE(second.dialog().TimerActive());
    // The running schedule resumed with one count-down at start-up.
    EXPECT_EQ(jobs[0].countdown, 29);
    RemoveTree(folder);
}

// Runs in a child process only: adds a job through the window, says so, and waits to be killed.
TEST_F(PersistenceTest, ChildAddsAJobAndWaits)
{
    const char* folder = std::getenv(kChildFolder);
    if (folder == nullptr) {
        GTEST_SKIP() << "runs only as the child of the crash test";
    }
    DialogDriver driver{std::string(folder)};
    driver.AddJob(QStringLiteral("crash.test"), QStringLiteral("carl"), QStringLiteral("/a"),
                  QStringLiteral("/b"), 9, QStringLiteral("21"), false, QStringLiteral("secret"));
    QFile(QString::fromLatin1(folder) + QStringLiteral("/added")).open(QIODevice::WriteOnly);
    for (;;) {
        QTest::qWait(50);
    }
}

TEST_F(PersistenceTest, AJobAddedBeforeTheProcessIsKilledIsThereAtTheNextStart)
{
    const std::string folder = MakeTempDir("ferrovane-crash");
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string filter = "--gtest_filter=PersistenceTest.ChildAddsAJobAndWaits";
    const std::string env = std::string(kChildFolder) + "=" + folder;
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    envp.push_back(const_cast<char*>(env.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(filter.c_str()), nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(folder + "/added") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(std::filesystem::exists(folder + "/added")) << "the child never added its job";
    ASSERT_TRUE(WIFSIGNALED(status));

    DialogDriver next(folder);
    ASSERT_EQ(next.dialog().Jobs().size(), 1u);
    EXPECT_EQ(next.dialog().Jobs()[0].webAddress, "crash.test");
    EXPECT_EQ(next.dialog().Jobs()[0].password, "secret");
    RemoveTree(folder);
}
