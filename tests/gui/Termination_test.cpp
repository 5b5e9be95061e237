// The real program, ended by a termination signal in the middle of its work: it leaves within two
// seconds, with status 0 and its jobs saved, whatever the server or the run is doing.
#include "jobs/PasswordCipher.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TempHome.h"

#include <QFile>
#include <QSettings>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class TerminationTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        RemoveTree(folder_);
    }

    std::string StoreFile() const { return folder_ + "/config/Ombrix/ferrovane.conf"; }

    // One running job, written as the program itself stores it.
    void StoreRunningJob(std::uint16_t port, const std::string& source,
                         const std::string& destination) const
    {
        std::filesystem::create_directories(folder_ + "/config/Ombrix");
        QSettings store(QString::fromStdString(StoreFile()), QSettings::IniFormat);
        store.beginGroup(QStringLiteral("1.0"));
        store.setValue(QStringLiteral("Runned"), 1);
        store.setValue(QStringLiteral("Time-0"), 1);
        store.setValue(QStringLiteral("Destination file-0"), QString::fromStdString(destination));
        store.setValue(QStringLiteral("Source file-0"), QString::fromStdString(source));
        store.setValue(QStringLiteral("WEB-0"), QString::fromLatin1(FtpServer::kAddress));
        store.setValue(QStringLiteral("User name-0"), QString::fromLatin1(FtpServer::kWriter));
        PasswordCipher cipher(true, folder_ + "/data/Ombrix/ferrovane");
        store.setValue(QStringLiteral("Password-0"),
                       QString::fromLatin1(cipher.Encode(FtpServer::kWriterPassword)));
        store.setValue(QStringLiteral("Port-0"), port);
        store.setValue(QStringLiteral("Passive mode-0"), 1);
    }

    void Start()
    {
        const std::string program = FERROVANE_PROGRAM;
        std::vector<std::string> settings = {"QT_QPA_PLATFORM=offscreen",
                                             "XDG_CONFIG_HOME=" + folder_ + "/config",
                                             "XDG_DATA_HOME=" + folder_ + "/data"};
        std::vector<char*> envp;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0 && entry.rfind("XDG_CONFIG_HOME=", 0) != 0 &&
                entry.rfind("XDG_DATA_HOME=", 0) != 0) {
                envp.push_back(*e);
            }
        }
        for (std::string& entry : settings) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        ASSERT_EQ(posix_spawn(&child_, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    }

    // Sends the signal and waits for the program's end: how long it took, and its status.
    std::pair<milliseconds, int> Terminate(int signalNumber)
    {
        const auto sent = Clock::now();
        ::kill(child_, signalNumber);
        int status = -1;
        pid_t done = 0;
        while ((done = ::waitpid(child_, &status, WNOHANG)) == 0 &&
               Clock::now() - sent < std::chrono::seconds(20)) {
            std::this_thread::sleep_for(milliseconds(5));
        }
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
        if (done == child_) {
            child_ = -1;
        }
        return {took, status};
    }

    static int Stores(const FtpServer& server)
    {
        const auto commands = server.commands();
        return static_cast<int>(std::count_if(commands.begin(), commands.end(), [](auto& line) {
            return line.rfind("STOR ", 0) == 0;
        }));
    }

    static bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (!condition()) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        return true;
    }

    std::string folder_ = MakeTempDir("ferrovane-term");
    pid_t child_ = -1;
};

TEST_F(TerminationTest, ASignalDuringAStalledTransferEndsTheProgramAtOnce)
{
    FtpServerOptions options;
    options.stallAfterBytes = 256 * 1024; // then the server neither reads nor answers
    FtpServer server(options);
    const std::string source = folder_ + "/big.bin";
    std::ofstream(source, std::ios::binary) << std::string(16 * 1024 * 1024, 'x');
    StoreRunningJob(server.port(), source, "/big.bin");

    Start();
    ASSERT_TRUE(WaitFor([&] { return Stores(server) > 0; }, std::chrono::seconds(20)));
    std::this_thread::sleep_for(milliseconds(1500)); // well into the stall

    const auto [took, status] = Terminate(SIGTERM);
    std::cout << "ended " << took.count() << " ms after the signal\n";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LE(took, milliseconds(2000));
    // Saved as on every exit: the job and the running schedule are still there.
    QSettings stored(QString::fromStdString(StoreFile()), QSettings::IniFormat);
    EXPECT_EQ(stored.value(QStringLiteral("1.0/Runned")).toInt(), 1);
    EXPECT_EQ(stored.value(QStringLiteral("1.0/Source file-0")).toString(),
              QString::fromStdString(source));
}

TEST_F(TerminationTest, ASignalDuringALongPatternRunEndsItBeforeTheNextFile)
{
    FtpServer server;
    const std::string out = folder_ + "/out";
    std::filesystem::create_directories(out);
    constexpr int kFiles = 20000;
    for (int i = 0; i < kFiles; ++i) {
        std::ofstream(out + "/f" + std::to_string(i) + ".txt") << i;
    }
    StoreRunningJob(server.port(), out + "/*.txt", "/");

    Start();
    ASSERT_TRUE(WaitFor([&] { return Stores(server) >= 20; }, std::chrono::seconds(30)));

    const auto [took, status] = Terminate(SIGINT);
    const int storesAtEnd = Stores(server);
    std::cout << "ended " << took.count() << " ms after the signal, after " << storesAtEnd
              << " of " << kFiles << " files\n";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LE(took, milliseconds(2000));
    EXPECT_LT(storesAtEnd, kFiles / 10) << "the run went on after the signal";
}

} // namespace
