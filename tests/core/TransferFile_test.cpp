#include "transfer/TransferFile.h"

#include "tests/support/FtpServer.h"
#include "tests/support/TempHome.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::string_literals;

const std::string kOk = "Ok.\r\n";
const std::string kCannotChangeDirectory = "Could not change directory !!\r\n";
const std::string kCannotPut = "Could not put file to server!!\r\n";
const std::string kLoginRefused = "530 Login incorrect.\r\n";

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = random();
        for (std::size_t j = 0; j < 8 && i + j < size; ++j) {
            bytes[i + j] = static_cast<char>(word >> (8 * j));
        }
    }
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The command lines whose verb is `verb`.
std::vector<std::string> WithVerb(const std::vector<std::string>& commands, const std::string& verb)
{
    std::vector<std::string> found;
    for (const auto& line : commands) {
        if (line.substr(0, line.find(' ')) == verb) {
            found.push_back(line);
        }
    }
    return found;
}

// The client asked for exactly this change of directory, or (nothing expected) for none.
void ExpectDirectoryChange(const std::vector<std::string>& commands,
                           const std::optional<std::string>& expected)
{
    const auto cwd = WithVerb(commands, "CWD");
    if (expected) {
        EXPECT_EQ(cwd, std::vector<std::string>{"CWD " + *expected});
    } else {
        EXPECT_TRUE(cwd.empty());
    }
}

bool IsOneLine(const std::string& text)
{
    return text.size() >= 2 && text.ends_with("\r\n") &&
           text.find_first_of("\r\n") == text.size() - 2;
}

// A local port on which nothing listens.
std::uint16_t ClosedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool SomethingListensOn(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool listening = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return listening;
}

// A one-connection control channel that plays a fixed script: the first reply on connect, each
// further one after a line from the client. With no replies it never accepts at all, so a client
// gets through the TCP handshake (the kernel's backlog) and then hears nothing.
class ScriptedServer
{
public:
    explicit ScriptedServer(std::vector<std::string> replies) : replies_(std::move(replies))
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        if (!replies_.empty()) {
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~ScriptedServer()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        close(listener_);
    }
    std::uint16_t port() const { return port_; }

private:
    bool WaitReadable(int fd)
    {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                return true;
            }
        }
        return false;
    }
    void Serve()
    {
        if (!WaitReadable(listener_)) {
            return;
        }
        const int client = accept(listener_, nullptr, nullptr);
        for (std::size_t i = 0; i < replies_.size() && !stop_; ++i) {
            if (i > 0) { // wait for one command line
                std::string line;
                char c = 0;
                while (line.find('\n') == std::string::npos && WaitReadable(client) &&
                       read(client, &c, 1) == 1) {
                    line += c;
                }
            }
            send(client, replies_[i].data(), replies_[i].size(), MSG_NOSIGNAL);
        }
        char buffer[256];
        while (WaitReadable(client) && read(client, buffer, sizeof buffer) > 0) {
        }
        close(client);
    }

    std::vector<std::string> replies_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Shortens the transfer's time-outs for one test.
class ScopedTimeouts
{
public:
    explicit ScopedTimeouts(const TransferTimeouts& timeouts)
        : previous_(SetTransferTimeoutsForTesting(timeouts))
    {}
    ~ScopedTimeouts() { SetTransferTimeoutsForTesting(previous_); }

private:
    TransferTimeouts previous_;
};

struct Login
{
    std::string user = FtpServer::kWriter;
    std::string password = FtpServer::kWriterPassword;
    std::string address = FtpServer::kAddress;
    std::int32_t passive = 1;
};

struct Result
{
    std::string text;
    std::int32_t success = -1;
};

Result Transfer(std::uint16_t port, const std::string& remote, const std::string& local,
                const Login& login = {}, const TransferProgress& progress = {})
{
    Result result{"stale text", 7};
    TransferFile(login.user, login.password, login.address, remote, local, port, login.passive,
                 result.text, result.success, progress);
    return result;
}

// One server for the tests of a suite; a fresh local folder and an empty command log per test.
class TransferTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        server_ = std::make_unique<FtpServer>();
        std::filesystem::create_directories(server_->home() + "/pub/sub dir");
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override
    {
        local_ = MakeTempDir("ferrovane-transfer");
        server_->clearCommands();
    }
    void TearDown() override { RemoveTree(local_); }

    // Writes a local file and returns its path.
    std::string LocalFile(const std::string& bytes, const std::string& name = "source.bin")
    {
        const std::string path = local_ + "/" + name;
        WriteFile(path, bytes);
        return path;
    }
    Result Send(const std::string& remote, const std::string& local, const Login& login = {},
                const TransferProgress& progress = {})
    {
        return Transfer(server_->port(), remote, local, login, progress);
    }

    static std::unique_ptr<FtpServer> server_;
    std::string local_;
};

std::unique_ptr<FtpServer> TransferTest::server_;

// --- Where the file goes ---------------------------------------------------------------------

struct PathCase
{
    std::string remote;
    std::optional<std::string> cwd; // the one CWD expected, if any
    std::string stor;               // the STOR argument
    std::string stored;             // where the file lands, under the server's home
};

class RemotePathTest : public TransferTest, public testing::WithParamInterface<PathCase>
{};

TEST_P(RemotePathTest, ChangesToTheDirectoryPartAndStoresTheNameAfterTheLastSlash)
{
    const PathCase& c = GetParam();
    const std::string bytes = RandomBytes(10000, 1);

    const Result result = Send(c.remote, LocalFile(bytes));

    EXPECT_EQ(result.text, kOk);
    EXPECT_EQ(result.success, 1);
    EXPECT_EQ(server_->readFile(c.stored), bytes);
    const auto commands = server_->commands();
    ExpectDirectoryChange(commands, c.cwd);
    EXPECT_EQ(WithVerb(commands, "STOR"), std::vector<std::string>{"STOR " + c.stor});
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RemotePathTest,
    testing::Values(PathCase{"/pub/a.txt", "/pub/", "a.txt", "pub/a.txt"},
                    PathCase{"/a.txt", "/", "a.txt", "a.txt"},
                    // Relative: entered from the login directory, stored once, not at pub/pub/.
                    PathCase{"pub/b.txt", "pub/", "b.txt", "pub/b.txt"},
                    // No directory part: no CWD at all, the file goes to the login directory.
                    PathCase{"c.txt", std::nullopt, "c.txt", "c.txt"},
                    // Only "/" separates.
                    PathCase{"\\pub\\d.txt", std::nullopt, "\\pub\\d.txt", "\\pub\\d.txt"},
                    PathCase{"/pub/sub dir/Grüße #1 100%.txt", "/pub/sub dir/", "Grüße #1 100%.txt",
                             "pub/sub dir/Grüße #1 100%.txt"},
                    PathCase{"/pub/%41+?&=;.txt", "/pub/", "%41+?&=;.txt", "pub/%41+?&=;.txt"}));

TEST_F(TransferTest, SendsOnlyLoginDirectoryChangeAndBinaryStore)
{
    Send("/pub/order.txt", LocalFile("x"));

    EXPECT_EQ(server_->commands(),
              (std::vector<std::string>{"USER writer", "PASS writer-pass", "PWD", "CWD /pub/",
                                        "EPSV", "TYPE I", "STOR order.txt", "QUIT"}));
}

TEST_F(TransferTest, ReplacesAnExistingFile)
{
    Send("/pub/replace.txt", LocalFile(std::string(5000, 'a'), "long.txt"));
    const Result result = Send("/pub/replace.txt", LocalFile("short", "short.txt"));

    EXPECT_EQ(result.text, kOk);
    EXPECT_EQ(server_->readFile("pub/replace.txt"), "short");
}

// --- Passive and active mode ---------------------------------------------------------------

class PassiveFlagTest : public TransferTest, public testing::WithParamInterface<std::int32_t>
{};

TEST_P(PassiveFlagTest, AnyNonzeroFlagMeansPassive)
{
    const std::string bytes = RandomBytes(300000, 2);

    const Result result = Send("/pub/mode.bin", LocalFile(bytes), {.passive = GetParam()});

    EXPECT_EQ(result.text, kOk);
    EXPECT_EQ(server_->readFile("pub/mode.bin"), bytes);
    const auto commands = server_->commands();
    const bool passive = !WithVerb(commands, "EPSV").empty() || !WithVerb(commands, "PASV").empty();
    const bool active = !WithVerb(commands, "EPRT").empty() || !WithVerb(commands, "PORT").empty();
    EXPECT_EQ(passive, GetParam() != 0);
    EXPECT_EQ(active, GetParam() == 0);
}

INSTANTIATE_TEST_SUITE_P(Flags, PassiveFlagTest, testing::Values(1, 2, -1, 0));

// --- Contents arrive byte for byte ---------------------------------------------------------

class ContentTest : public TransferTest, public testing::WithParamInterface<std::size_t>
{};

TEST_P(ContentTest, ArrivesByteForByte)
{
    // Random bytes hold CR, LF and NUL, which a text-mode transfer would mangle.
    const std::string bytes = RandomBytes(GetParam(), 3);

    const Result result = Send("/pub/content.bin", LocalFile(bytes));

    EXPECT_EQ(result.text, kOk);
    EXPECT_EQ(result.success, 1);
    const std::string arrived = server_->readFile("pub/content.bin");
    EXPECT_EQ(arrived.size(), bytes.size());
    EXPECT_TRUE(arrived == bytes);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ContentTest,
                         testing::Values(std::size_t{0}, std::size_t{1},
                                         std::size_t{64} * 1024 * 1024));

// --- Failures after the connect ------------------------------------------------------------

enum class Local
{
    File,
    EmptyPath,
    Missing,
    Directory
};

struct FailureCase
{
    std::string name;
    std::string user;
    std::string password;
    std::string remote;
    Local local;
    std::string text;
    std::optional<std::string> cwd; // the CWD sent, if any
    bool stor;                      // whether a STOR was sent
};

class FailureTest : public TransferTest, public testing::WithParamInterface<FailureCase>
{};

TEST_P(FailureTest, GivesTheFixedTextAndStoresNothing)
{
    const FailureCase& c = GetParam();
    std::string local;
    switch (c.local) {
    case Local::File:
        local = LocalFile("payload");
        break;
    case Local::EmptyPath:
        break;
    case Local::Missing:
        local = local_ + "/no such file";
        break;
    case Local::Directory:
        local = local_;
        break;
    }
    const Result result = Send(c.remote, local, {.user = c.user, .password = c.password});

    EXPECT_EQ(result.text, c.text);
    EXPECT_EQ(result.success, 0);
    const auto commands = server_->commands();
    ExpectDirectoryChange(commands, c.cwd);
    EXPECT_EQ(WithVerb(commands, "STOR").size(), c.stor ? 1U : 0U);
    EXPECT_FALSE(std::filesystem::exists(server_->home() + "/pub/refused.txt"));
}

const char* const W = FtpServer::kWriter;
const char* const WP = FtpServer::kWriterPassword;

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureTest,
    testing::Values(
        FailureCase{"MissingDirectory", W, WP, "/missing/refused.txt", Local::File,
                    kCannotChangeDirectory, "/missing/", false},
        FailureCase{"ReadOnlyUser", FtpServer::kReader, FtpServer::kReaderPassword,
                    "/pub/refused.txt", Local::File, kCannotPut, "/pub/", true},
        FailureCase{"DirectoryAsName", W, WP, "/pub/", Local::File, kCannotPut, "/pub/", false},
        FailureCase{"MissingDirectoryAsName", W, WP, "/missing/", Local::File,
                    kCannotChangeDirectory, "/missing/", false},
        FailureCase{"EmptyRemotePath", W, WP, "", Local::File, kCannotPut, std::nullopt, false},
        FailureCase{"EmptyLocalPath", W, WP, "/pub/refused.txt", Local::EmptyPath, kCannotPut,
                    "/pub/", false},
        FailureCase{"MissingLocalFile", W, WP, "/pub/refused.txt", Local::Missing, kCannotPut,
                    "/pub/", false},
        FailureCase{"LocalDirectory", W, WP, "/pub/refused.txt", Local::Directory, kCannotPut,
                    "/pub/", false},
        // The server's reply is the text, exactly as it sent it.
        FailureCase{"WrongPassword", W, "wrong", "/pub/refused.txt", Local::File, kLoginRefused,
                    std::nullopt, false},
        // The login is told before the missing local file, as when the store itself fails.
        FailureCase{"WrongPasswordAndMissingLocalFile", W, "wrong", "/pub/refused.txt",
                    Local::Missing, kLoginRefused, std::nullopt, false}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(TransferTest, NoUserNameLogsInAnonymously)
{
    for (const std::string password : {"", "guest@example.org"}) {
        server_->clearCommands();

        const Result result =
            Send("/pub/anonymous.txt", LocalFile("x"), {.user = "", .password = password});

        // Anonymous may only read here: the login went through and the store was refused.
        EXPECT_EQ(result.text, kCannotPut);
        const auto commands = server_->commands();
        EXPECT_EQ(WithVerb(commands, "USER"), std::vector<std::string>{"USER anonymous"});
        EXPECT_EQ(WithVerb(commands, "STOR").size(), 1U);
        if (!password.empty()) {
            EXPECT_EQ(WithVerb(commands, "PASS"), std::vector<std::string>{"PASS " + password});
        }
    }
}

TEST_F(TransferTest, BlankUserNameLogsInAsAnEmptyOneDoes)
{
    // The settings store gives an empty user name back as " ".
    for (const std::string password : {"", "guest@example.org"}) {
        server_->clearCommands();
        const Result empty =
            Send("/pub/anonymous.txt", LocalFile("x"), {.user = "", .password = password});
        const auto expected = server_->commands();

        for (const std::string blank : {" ", "  ", "\t", " \t "}) {
            server_->clearCommands();

            const Result result =
                Send("/pub/anonymous.txt", LocalFile("x"), {.user = blank, .password = password});

            EXPECT_EQ(result.text, empty.text) << "'" << blank << "'";
            EXPECT_EQ(result.success, empty.success);
            const auto commands = server_->commands();
            EXPECT_EQ(WithVerb(commands, "USER"), std::vector<std::string>{"USER anonymous"});
            EXPECT_EQ(WithVerb(commands, "PASS"), WithVerb(expected, "PASS"));
        }
    }
}

// --- Local sources that are not regular files -------------------------------------------------

TEST_F(TransferTest, LocalSourceThatIsNoRegularFileFailsAtOnce)
{
    const std::string fifo = local_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink(fifo, local_ + "/link to fifo");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = local_ + "/socket";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    for (const std::string& local : {fifo, local_ + "/link to fifo", socketPath, "/dev/null"s}) {
        server_->clearCommands();
        // Nothing ever writes to the pipe: a client that opens it for reading waits for good.
        // The watchdog keeps that from hanging the suite, and a writer then lets it go.
        std::packaged_task<Result()> task([&] { return Send("/pub/refused.txt", local); });
        auto result = task.get_future();
        std::thread call(std::move(task));
        const bool returned =
            result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!returned) {
            close(open(fifo.c_str(), O_RDWR | O_NONBLOCK));
        }
        call.join();

        ASSERT_TRUE(returned) << local << " blocked the call";
        EXPECT_EQ(result.get().text, kCannotPut) << local;
        const auto commands = server_->commands();
        ExpectDirectoryChange(commands, "/pub/");
        EXPECT_TRUE(WithVerb(commands, "STOR").empty());
    }
    close(listener);
}

// --- Line breaks would inject commands -----------------------------------------------------

struct InjectionCase
{
    std::string field;
    Login login;
    std::string remote;
};

class InjectionTest : public TransferTest, public testing::WithParamInterface<InjectionCase>
{};

TEST_P(InjectionTest, IsRefusedBeforeAnythingIsSent)
{
    const InjectionCase& c = GetParam();

    const Result result = Send(c.remote, LocalFile("payload"), c.login);

    EXPECT_EQ(result.text,
              "Refused: the " + c.field + " holds a line break or NUL character!!\r\n");
    EXPECT_EQ(result.success, 0);
    EXPECT_TRUE(server_->commands().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Fields, InjectionTest,
    testing::Values(InjectionCase{"remote path", {}, "/pub/a.txt\r\nDELE /pub/b.txt"},
                    InjectionCase{"remote path", {}, "/pub\n/a.txt"},
                    InjectionCase{"remote path", {}, std::string("/pub/a\0b.txt", 12)},
                    InjectionCase{"user name", {.user = "writer\r\nSITE x"}, "/pub/a.txt"},
                    InjectionCase{"password", {.password = "writer-pass\n"}, "/pub/a.txt"},
                    InjectionCase{"server address", {.address = "127.0.0.1\r\n"}, "/pub/a.txt"}));

// --- The outputs ---------------------------------------------------------------------------

TEST_F(TransferTest, EachCallReplacesTheOutputsOfTheLast)
{
    const std::string local = LocalFile("payload");
    std::string text = "left over";
    std::int32_t success = 5;

    TransferFile(W, "wrong", FtpServer::kAddress, "/pub/again.txt", local, server_->port(), 1, text,
                 success);
    EXPECT_EQ(text, kLoginRefused);
    EXPECT_EQ(success, 0);

    TransferFile(W, WP, FtpServer::kAddress, "/pub/again.txt", local, server_->port(), 1, text,
                 success);
    EXPECT_EQ(text, kOk);
    EXPECT_EQ(success, 1);

    TransferFile(W, WP, FtpServer::kAddress, "/missing/again.txt", local, server_->port(), 1, text,
                 success);
    EXPECT_EQ(text, kCannotChangeDirectory);
    EXPECT_EQ(success, 0);
}

// --- Connect failures are told in the client's or the server's words --------------------------

TEST_F(TransferTest, ClosedPortGivesTheClientsDescription)
{
    const std::uint16_t port = ClosedPort();

    const Result result = Transfer(port, "/pub/a.txt", LocalFile("x"));

    EXPECT_EQ(result.success, 0);
    EXPECT_TRUE(
        result.text.starts_with("Failed to connect to 127.0.0.1 port " + std::to_string(port)))
        << result.text;
    EXPECT_TRUE(IsOneLine(result.text)) << result.text;
}

TEST_F(TransferTest, PortZeroMeansTheFtpPort)
{
    if (SomethingListensOn(21)) {
        GTEST_SKIP() << "something listens on port 21 here";
    }
    const Result result = Transfer(0, "/pub/a.txt", LocalFile("x"));

    EXPECT_EQ(result.success, 0);
    EXPECT_TRUE(result.text.starts_with("Failed to connect to 127.0.0.1 port 21 ")) << result.text;
}

TEST_F(TransferTest, LongServerReplyIsCutTo253Bytes)
{
    const std::string reply = "530 " + std::string(400, 'x') + "\r\n";
    ScriptedServer script({"220 hello\r\n", "331 password please\r\n", reply});

    const Result result = Transfer(script.port(), "/pub/a.txt", LocalFile("x"));

    EXPECT_EQ(result.success, 0);
    EXPECT_EQ(result.text, reply.substr(0, 251) + "\r\n");
}

TEST_F(TransferTest, ServerErrorWithoutLineEndGetsOne)
{
    // A greeting that refuses service, cut off by the server's close.
    ScriptedServer script({"421 Too many users\n"});

    const Result result = Transfer(script.port(), "/pub/a.txt", LocalFile("x"));

    EXPECT_EQ(result.success, 0);
    EXPECT_EQ(result.text, "421 Too many users\r\n");
}

// The text goes to the log pane, which starts a new entry at every line break; a stray CR or an
// escape sequence from the server must not forge one or repaint the screen.
struct ControlBytesCase
{
    std::string name;
    std::vector<std::string> replies;
    std::string text;
};

class ControlBytesTest : public TransferTest, public testing::WithParamInterface<ControlBytesCase>
{};

TEST_P(ControlBytesTest, ServerRepliesBecomeOneVisibleLine)
{
    ScriptedServer script(GetParam().replies);

    const Result result = Transfer(script.port(), "/pub/a.txt", LocalFile("x"));

    EXPECT_EQ(result.success, 0);
    EXPECT_EQ(result.text, GetParam().text);
    EXPECT_TRUE(IsOneLine(result.text));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ControlBytesTest,
    testing::Values(ControlBytesCase{"LoginRefusal",
                                     {"220 hello\r\n", "331 password please\r\n",
                                      "530 denied\rOk.\x1b[2J\0x\r\n"s},
                                     "530 denied?Ok.?[2J?x\r\n"},
                    // Only the reply's own line end is taken off.
                    ControlBytesCase{"Greeting", {"421 busy\t\x01\x7f\r\r\n"}, "421 busy????\r\n"},
                    // Replaced byte for byte: the cut stays at 253.
                    ControlBytesCase{"LongReply",
                                     {"220 hello\r\n", "331 password please\r\n",
                                      "530 " + std::string(300, '\x1b') + "\r\n"},
                                     "530 " + std::string(247, '?') + "\r\n"}),
    [](const testing::TestParamInfo<ControlBytesCase>& info) { return info.param.name; });

TEST_F(TransferTest, SilentServerHitsTheConnectTimeout)
{
    ScopedTimeouts timeouts({milliseconds(300), milliseconds(60000)});
    ScriptedServer silent({});
    const auto start = Clock::now();

    const Result result = Transfer(silent.port(), "/pub/a.txt", LocalFile("x"));

    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(result.success, 0);
    EXPECT_TRUE(IsOneLine(result.text)) << result.text;
}

// --- A server that stops answering mid-transfer ----------------------------------------------

class StallTest : public testing::TestWithParam<std::size_t>
{};

TEST_P(StallTest, IsAbandonedAfterTheStallTimeout)
{
    // The large file outgrows the socket buffers, so the data itself stops moving; the small one
    // is all sent, and the server's verdict never comes.
    FtpServer server({.throttleBytesPerSecond = 0, .stallAfterBytes = 1024});
    ScopedTimeouts timeouts({milliseconds(30000), milliseconds(1000)});
    const std::string local = MakeTempDir("ferrovane-stall");
    WriteFile(local + "/big.bin", RandomBytes(GetParam(), 4));
    const auto start = Clock::now();

    const Result result = Transfer(server.port(), "/stall.bin", local + "/big.bin");

    const auto took = Clock::now() - start;
    RemoveTree(local);
    EXPECT_EQ(result.text, kCannotPut);
    EXPECT_EQ(result.success, 0);
    EXPECT_GE(took, milliseconds(1000));
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(WithVerb(server.commands(), "STOR").size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StallTest,
                         testing::Values(std::size_t{64} * 1024, std::size_t{48} * 1024 * 1024));

// --- Progress ------------------------------------------------------------------------------

TEST(TransferProgressTest, ComesAtLeastEvery100MsAndEndsWithTheWholeFile)
{
    // About 0.6 s at this rate; most of it after the last byte left, in the server's buffers.
    FtpServer server({.throttleBytesPerSecond = 1024 * 1024, .stallAfterBytes = -1});
    const std::string local = MakeTempDir("ferrovane-progress");
    const std::string bytes = RandomBytes(640 * 1024, 5);
    WriteFile(local + "/slow.bin", bytes);
    struct Call
    {
        Clock::time_point at;
        std::uint64_t sent;
        std::uint64_t total;
    };
    std::vector<Call> calls;
    const auto start = Clock::now();

    const Result result = Transfer(server.port(), "/slow.bin", local + "/slow.bin", {},
                                   [&](std::uint64_t sent, std::uint64_t total) {
                                       calls.push_back({Clock::now(), sent, total});
                                       return true;
                                   });

    const auto end = Clock::now();
    RemoveTree(local);
    EXPECT_EQ(result.text, kOk);
    EXPECT_EQ(server.readFile("slow.bin"), bytes);
    EXPECT_GE(end - start, milliseconds(300));
    ASSERT_GE(calls.size(), 2U);
    EXPECT_EQ(calls.front().sent, 0U);
    EXPECT_EQ(calls.back().sent, bytes.size());
    auto previous = start;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].total, bytes.size());
        EXPECT_LE(calls[i].at - previous, milliseconds(100)) << "call " << i;
        if (i > 0) {
            EXPECT_GE(calls[i].sent, calls[i - 1].sent);
        }
        previous = calls[i].at;
    }
    EXPECT_LE(end - previous, milliseconds(100));
}

TEST(TransferProgressTest, MayStartAnotherTransfer)
{
    // The window's event loop runs inside the callback and may start a run of its own.
    FtpServer slow({.throttleBytesPerSecond = 1024 * 1024, .stallAfterBytes = -1});
    FtpServer fast;
    const std::string local = MakeTempDir("ferrovane-nested");
    WriteFile(local + "/outer.bin", RandomBytes(256 * 1024, 6));
    WriteFile(local + "/inner.bin", RandomBytes(1000, 7));
    std::optional<Result> inner;

    const Result outer = Transfer(
        slow.port(), "/outer.bin", local + "/outer.bin", {}, [&](std::uint64_t, std::uint64_t) {
            if (!inner) {
                inner = Transfer(fast.port(), "/inner.bin", local + "/inner.bin", {},
                                 [](std::uint64_t, std::uint64_t) { return true; });
            }
            return true;
        });

    EXPECT_EQ(outer.text, kOk);
    ASSERT_TRUE(inner.has_value());
    EXPECT_EQ(inner->text, kOk);
    EXPECT_EQ(slow.readFile("outer.bin").size(), 256U * 1024);
    EXPECT_EQ(fast.readFile("inner.bin").size(), 1000U);
    RemoveTree(local);
}

TEST(TransferProgressTest, AnExceptionFromTheCallbackPassesThrough)
{
    FtpServer server({.throttleBytesPerSecond = 256 * 1024, .stallAfterBytes = -1});
    const std::string local = MakeTempDir("ferrovane-throw");
    WriteFile(local + "/file.bin", RandomBytes(4 * 1024 * 1024, 8));
    int calls = 0;
    const auto start = Clock::now();

    EXPECT_THROW(Transfer(server.port(), "/file.bin", local + "/file.bin", {},
                          [&](std::uint64_t, std::uint64_t) {
                              if (++calls == 3) {
                                  throw std::runtime_error("window closed");
                              }
                              return true;
                          }),
                 std::runtime_error);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    RemoveTree(local);
}

// --- A source that changes while it is sent ---------------------------------------------------

// Sends a file of `size` bytes to a throttled server and hands the path to `change` at the first
// progress report that shows bytes on their way, on a thread of its own. The socket buffers take
// about 3 MiB at once here, so the file is made larger than that.
struct ChangingSource
{
    Result result;
    std::string stored;             // what the server holds afterwards
    std::uint64_t sentAtChange = 0; // bytes reported sent when the change began
    std::uint64_t lastSent = 0;     // in the last report
    bool sentBeyondTotal = false;   // some report had sent > total
};

ChangingSource SendChanging(std::size_t size, const std::function<void(const std::string&)>& change)
{
    FtpServer server({.throttleBytesPerSecond = 8 * 1024 * 1024, .stallAfterBytes = -1});
    const std::string local = MakeTempDir("ferrovane-changing");
    const std::string path = local + "/source.bin";
    WriteFile(path, RandomBytes(size, 9));
    ChangingSource outcome;
    std::thread changer;

    outcome.result = Transfer(server.port(), "/changing.bin", path, {},
                              [&](std::uint64_t sent, std::uint64_t total) {
                                  if (sent > 0 && !changer.joinable()) {
                                      outcome.sentAtChange = sent;
                                      changer = std::thread(change, path);
                                  }
                                  outcome.sentBeyondTotal |= sent > total;
                                  outcome.lastSent = sent;
                                  return true;
                              });

    if (changer.joinable()) {
        changer.join();
    }
    outcome.stored = server.readFile("changing.bin");
    RemoveTree(local);
    return outcome;
}

TEST(ChangingSourceTest, GrowingFileIsSentToItsEndAndReportedOk)
{
    const std::size_t size = 6 * 1024 * 1024;
    const std::string added = RandomBytes(1024 * 1024, 10);

    const ChangingSource sent = SendChanging(size, [&](const std::string& path) {
        std::ofstream(path, std::ios::binary | std::ios::app)
            .write(added.data(), static_cast<std::streamsize>(added.size()));
    });

    ASSERT_LT(sent.sentAtChange, size) << "the file grew only after it was all sent";
    EXPECT_EQ(sent.result.text, kOk);
    EXPECT_EQ(sent.result.success, 1);
    EXPECT_TRUE(sent.stored == RandomBytes(size, 9) + added);
    EXPECT_EQ(sent.lastSent, size + added.size());
    EXPECT_FALSE(sent.sentBeyondTotal);
}

TEST(ChangingSourceTest, ShrinkingFileIsAFailure)
{
    const std::size_t size = 6 * 1024 * 1024;

    const ChangingSource sent = SendChanging(
        size, [](const std::string& path) { std::filesystem::resize_file(path, 1000); });

    ASSERT_LT(sent.sentAtChange, size) << "the file shrank only after it was all sent";
    EXPECT_EQ(sent.result.text, kCannotPut);
    EXPECT_EQ(sent.result.success, 0);
}

// --- Abandoning ----------------------------------------------------------------------------

enum class Deaf
{
    AfterAllData,  // the whole file went out; the server's verdict never comes
    MidData,       // the server stops reading, so the data stops moving
    BeforeGreeting // the TCP connection is accepted and nothing is ever said
};

struct AbandonCase
{
    Deaf server;
    bool throws; // the callback throws instead of returning false
};

std::string AbandonCaseName(const AbandonCase& c)
{
    const char* const servers[] = {"AfterAllData", "MidData", "BeforeGreeting"};
    return std::string(servers[static_cast<int>(c.server)]) +
           (c.throws ? "Throwing" : "ReturningFalse");
}

class AbandonTest : public testing::TestWithParam<AbandonCase>
{};

TEST_P(AbandonTest, EndsAtOnceWhateverTheServerDoes)
{
    // The default time-outs: nothing here may wait for them.
    const AbandonCase& c = GetParam();
    std::optional<FtpServer> ftp;
    std::optional<ScriptedServer> silent;
    if (c.server == Deaf::BeforeGreeting) {
        silent.emplace(std::vector<std::string>{});
    } else {
        ftp.emplace(FtpServerOptions{.throttleBytesPerSecond = 0, .stallAfterBytes = 1024});
    }
    const std::uint16_t port = ftp ? ftp->port() : silent->port();
    const std::string local = MakeTempDir("ferrovane-abandon");
    WriteFile(local + "/file.bin",
              RandomBytes(c.server == Deaf::MidData ? 24 * 1024 * 1024 : 64 * 1024, 11));
    const auto start = Clock::now();
    std::optional<Clock::time_point> abandoned;
    const TransferProgress progress = [&](std::uint64_t, std::uint64_t) {
        if (Clock::now() - start < milliseconds(300)) {
            return true;
        }
        abandoned = Clock::now();
        if (c.throws) {
            throw std::runtime_error("window closed");
        }
        return false;
    };

    Result result;
    bool threw = false;
    try {
        result = Transfer(port, "/file.bin", local + "/file.bin", {}, progress);
    } catch (const std::runtime_error&) {
        threw = true;
    }

    const auto end = Clock::now();
    RemoveTree(local);
    ASSERT_TRUE(abandoned.has_value());
    EXPECT_LT(end - *abandoned, milliseconds(1500));
    EXPECT_EQ(threw, c.throws);
    if (!c.throws) {
        EXPECT_EQ(result.text, "Transfer abandoned.\r\n");
        EXPECT_EQ(result.success, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, AbandonTest,
    testing::Values(AbandonCase{Deaf::AfterAllData, false}, AbandonCase{Deaf::AfterAllData, true},
                    AbandonCase{Deaf::MidData, false}, AbandonCase{Deaf::MidData, true},
                    AbandonCase{Deaf::BeforeGreeting, false},
                    AbandonCase{Deaf::BeforeGreeting, true}),
    [](const testing::TestParamInfo<AbandonCase>& info) { return AbandonCaseName(info.param); });

TEST_F(TransferTest, AbandonedBeforeItStartsSendsNothing)
{
    const Result result = Send("/pub/never.txt", LocalFile("x"), {},
                               [](std::uint64_t, std::uint64_t) { return false; });

    EXPECT_EQ(result.text, "Transfer abandoned.\r\n");
    EXPECT_EQ(result.success, 0);
    EXPECT_TRUE(server_->commands().empty());
}

} // namespace
