// The real program, ended by a termination signal in the middle of its work: it leaves within two
// seconds, with status 0 and its jobs saved, whatever the server or the run is doing.
#include "jobs/PasswordCipher.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TempHome.h"

#include <QFile>
#include <QImage>
#include <QSettings>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Listens on 127.0.0.1 and never answers: the connection is made, the greeting never comes.
int SilentServer(std::uint16_t& port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(listener, 4);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return listener;
}

// Whether the program catches the termination signals yet, that is, has begun its main.
bool Catching(pid_t program)
{
    std::ifstream status("/proc/" + std::to_string(program) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask & 0x4003) == 0x4003; // SIGHUP, SIGINT, SIGTERM
        }
    }
    return false;
}

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

    // A running schedule's job `index` (the jobs before it stored already), written as the
    // program itself stores it.
    void StoreRunningJob(std::uint16_t port, const std::string& source,
                         const std::string& destination, int interval = 1, int index = 0) const
    {
        std::filesystem::create_directories(folder_ + "/config/Ombrix");
        QSettings store(QString::fromStdString(StoreFile()), QSettings::IniFormat);
        store.beginGroup(QStringLiteral("1.0"));
        store.setValue(QStringLiteral("Runned"), 1);
        const auto key = [index](const char* name) {
            return QStringLiteral("%1-%2").arg(QLatin1String(name)).arg(index);
        };
        store.setValue(key("Time"), interval);
        store.setValue(key("Destination file"), QString::fromStdString(destination));
        store.setValue(key("Source file"), QString::fromStdString(source));
        store.setValue(key("WEB"), QString::fromLatin1(FtpServer::kAddress));
        store.setValue(key("User name"), QString::fromLatin1(FtpServer::kWriter));
        PasswordCipher cipher(true, folder_ + "/data/Ombrix/ferrovane");
        store.setValue(key("Password"),
                       QString::fromLatin1(cipher.Encode(FtpServer::kWriterPassword)));
        store.setValue(key("Port"), port);
        store.setValue(key("Passive mode"), 1);
    }

    // platform: offscreen, or minimal with every paint that reaches the screen kept as a picture
    // (outputNNNN.png in the test's folder, where the program runs).
    void Start(const std::string& platform = "offscreen")
    {
        child_ = Spawn(platform);
        ASSERT_GT(child_, 0);
    }

    // Starts the program as Start does, leaving its end to the caller.
    pid_t Spawn(const std::string& platform)
    {
        const std::string program = FERROVANE_PROGRAM;
        std::vector<std::string> settings = {
            "QT_QPA_PLATFORM=" + platform, "QT_DEBUG_BACKINGSTORE=1",
            "QT_LOGGING_RULES=default.debug=false", "XDG_CONFIG_HOME=" + folder_ + "/config",
            "XDG_DATA_HOME=" + folder_ + "/data"};
        // The lock and the socket that keep the program to one run go in the test's own folder.
        settings.push_back("XDG_RUNTIME_DIR=" + folder_);
        std::vector<char*> envp;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (std::none_of(settings.begin(), settings.end(), [&](const std::string& setting) {
                    return entry.rfind(setting.substr(0, setting.find('=') + 1), 0) == 0;
                })) {
                envp.push_back(*e);
            }
        }
        for (std::string& entry : settings) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, folder_.c_str());
        pid_t child = -1;
        const int spawned =
            posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        return spawned == 0 ? child : -1;
    }

    // The first picture of the window under the minimal platform: the program has come through
    // its start-up.
    bool WaitForPaint() const
    {
        const std::string shown = folder_ + "/output0000.png";
        return WaitFor([&] { return std::filesystem::exists(shown); }, std::chrono::seconds(10));
    }

    // Sends the signal and waits for the program's end: how long it took, and its status.
    std::pair<milliseconds, int> Terminate(int signalNumber)
    {
        const auto sent = Clock::now();
        ::kill(child_, signalNumber);
        int status = -1;
        pid_t done = 0;
        while ((done = ::waitpid(child_, &status, WNOHANG)) == 0 &&
               Clock::now() - sent < std::chrono::seconds(5)) {
            std::this_thread::sleep_for(milliseconds(5));
        }
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
        if (done != child_) { // still running: ended here, so that no case leaves it behind
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        child_ = -1;
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
            std::this_thread::sleep_for(milliseconds(2));
        }
        return true;
    }

    std::string folder_ = MakeTempDir("ferrovane-term");
    pid_t child_ = -1;
};

// Two transfers out at once: one stalled in the middle of its data, one waiting for a greeting.
TEST_F(TerminationTest, ASignalDuringStalledTransfersEndsTheProgramAtOnce)
{
    FtpServerOptions options;
    options.stallAfterBytes = 256 * 1024; // then the server neither reads nor answers
    FtpServer server(options);
    std::uint16_t silentPort = 0;
    const int silent = SilentServer(silentPort);
    const std::string source = folder_ + "/big.bin";
    std::ofstream(source, std::ios::binary) << std::string(16 * 1024 * 1024, 'x');
    StoreRunningJob(server.port(), source, "/big.bin");
    StoreRunningJob(silentPort, source, "/big.bin", 1, 1);

    Start();
    ASSERT_TRUE(WaitFor([&] { return Stores(server) > 0; }, std::chrono::seconds(20)));
    std::this_thread::sleep_for(milliseconds(1500)); // well into the stall
    pollfd connected = {silent, POLLIN, 0};
    EXPECT_EQ(::poll(&connected, 1, 0), 1) << "the second job waits for its server too";

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
    EXPECT_EQ(stored.value(QStringLiteral("1.0/Port-1")).toInt(), silentPort);
    ::close(silent);
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
    std::cout << "ended " << took.count() << " ms after the signal, after " << storesAtEnd << " of "
              << kFiles << " files\n";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LE(took, milliseconds(2000));
    EXPECT_LT(storesAtEnd, kFiles / 10) << "the run went on after the signal";
}

TEST_F(TerminationTest, ASignalAtAnyMomentOfTheStartEndsTheProgramWithItsJobsKept)
{
    const struct
    {
        int signalNumber;
        int afterMs; // 0: the moment main has begun; 1500: in the start-up transfer
    } cases[] = {{SIGTERM, 0},    {SIGINT, 0},    {SIGHUP, 0},
                 {SIGTERM, 1500}, {SIGINT, 1500}, {SIGHUP, 1500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signalNumber)) + " at " + std::to_string(c.afterMs));
        RemoveTree(folder_);
        folder_ = MakeTempDir("ferrovane-term");
        std::uint16_t port = 0;
        const int server = SilentServer(port); // the job (interval 0) runs at start-up, on it
        StoreRunningJob(port, folder_ + "/a.txt", "/a.txt", 0);
        struct stat before = {}, after = {};
        ::stat(StoreFile().c_str(), &before);
        Start("minimal");
        const auto launched = Clock::now();
        ASSERT_TRUE(WaitFor([&] { return Catching(child_); }, std::chrono::seconds(5)));
        std::cout << "main after " << (Clock::now() - launched) / milliseconds(1) << " ms\n";
        if (c.afterMs > 1000) {
            // The window is painted on the screen within a second, while the transfer waits.
            const QString shown = QString::fromStdString(folder_ + "/output0000.png");
            EXPECT_TRUE(WaitFor([&] { return QFile::exists(shown); }, std::chrono::seconds(2)));
            std::cout << "painted after " << (Clock::now() - launched) / milliseconds(1) << " ms\n";
            EXPECT_LE(Clock::now() - launched, milliseconds(1000));
            std::this_thread::sleep_until(launched + milliseconds(c.afterMs));
            pollfd connected = {server, POLLIN, 0};
            EXPECT_EQ(::poll(&connected, 1, 0), 1) << "no transfer";
            const QImage window(shown);
            EXPECT_NE(window.pixel(5, 5), window.pixel(window.width() / 2, 25)) << "blank";
        }
        std::this_thread::sleep_until(launched + milliseconds(c.afterMs));
        const auto [took, status] = Terminate(c.signalNumber);
        ::close(server);
        std::cout << "status " << status << " after " << took.count() << " ms\n";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_LE(took, milliseconds(2000));
        // Saved anew once the window ran, never as an empty list; the password still reads.
        ::stat(StoreFile().c_str(), &after);
        EXPECT_TRUE(c.afterMs < 1000 || after.st_ino != before.st_ino) << "not saved";
        QSettings stored(QString::fromStdString(StoreFile()), QSettings::IniFormat);
        EXPECT_EQ(stored.value(QStringLiteral("1.0/Runned")).toInt(), 1);
        const QByteArray text = stored.value(QStringLiteral("1.0/Password-0")).toByteArray();
        EXPECT_STREQ(PasswordCipher(true, folder_ + "/data/Ombrix/ferrovane").Decode(text.data()),
                     FtpServer::kWriterPassword);
    }
}

// A second start with the same settings ends at once and touches nothing; the first goes on. A
// first start that was killed leaves no lock that keeps the next from running.
TEST_F(TerminationTest, ASecondStartEndsAtOnceAndAKilledFirstHoldsNothingUp)
{
    StoreRunningJob(1, folder_ + "/a.txt", "/a.txt", 3600);
    struct stat before = {}, after = {};
    ::stat(StoreFile().c_str(), &before);
    Start("minimal");
    ASSERT_TRUE(WaitForPaint());

    const pid_t second = Spawn("offscreen");
    int status = -1;
    if (!WaitFor([&] { return ::waitpid(second, &status, WNOHANG) == second; },
                 std::chrono::seconds(10))) {
        ::kill(second, SIGKILL);
        ::waitpid(second, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ::stat(StoreFile().c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(::waitpid(child_, nullptr, WNOHANG), 0) << "the first start has ended";

    ::kill(child_, SIGKILL);
    ::waitpid(child_, nullptr, 0);
    std::filesystem::remove(folder_ + "/output0000.png");
    Start("minimal");
    EXPECT_TRUE(WaitForPaint()) << "the killed start's lock kept this one from running";
    EXPECT_EQ(Terminate(SIGTERM).second, 0);
}

// A named pipe in the settings file's place is never opened: the program shows its window, ends
// on a signal as always, and leaves the pipe as it was.
TEST_F(TerminationTest, ANamedPipeAsTheSettingsFileHoldsNothingUp)
{
    std::filesystem::create_directories(folder_ + "/config/Ombrix");
    ASSERT_EQ(::mkfifo(StoreFile().c_str(), 0600), 0);
    Start("minimal");
    EXPECT_TRUE(WaitForPaint()) << "held in open()";
    EXPECT_EQ(Terminate(SIGTERM).second, 0);
    struct stat after = {};
    EXPECT_TRUE(::lstat(StoreFile().c_str(), &after) == 0 && S_ISFIFO(after.st_mode));
}

} // namespace
