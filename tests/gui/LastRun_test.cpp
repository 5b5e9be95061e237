// Each job's last outcome in its row: the tooltip with the time and text of its last run, and the
// warning mark of a failed run, which a successful run clears, which moves with its job and which
// is never stored.
#include "app/AppMessageBox.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TempHome.h"

#include <QRegularExpression>
#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A port on 127.0.0.1 that nothing listens on: bound by the system's choice, then let go.
std::uint16_t StoppedServerPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

class LastRunTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
        local = MakeTempDir("ferrovane-lastrun");
        source = local + "/report.txt";
        std::ofstream(source) << "figures\n";
    }
    void TearDown() override { RemoveTree(local); }

    static void AddJob(DialogDriver& driver, const std::string& file, std::uint16_t port)
    {
        driver.AddJob(QString::fromLatin1(FtpServer::kAddress),
                      QString::fromLatin1(FtpServer::kWriter), QString::fromStdString(file),
                      QStringLiteral("/report.txt"), 60, QString::number(port), true,
                      QString::fromLatin1(FtpServer::kWriterPassword));
    }
    static bool Marked(DialogDriver& driver, int row)
    {
        return !driver.List()->item(row, 0)->icon().isNull();
    }
    // The row's tooltip, after checking that every column carries the same one.
    static QString Tip(DialogDriver& driver, int row)
    {
        const QString tip = driver.List()->item(row, 0)->toolTip();
        for (int column = 1; column < driver.List()->columnCount(); ++column) {
            EXPECT_EQ(driver.List()->item(row, column)->toolTip(), tip) << "column " << column;
        }
        return tip;
    }
    static void UpdateNow(DialogDriver& driver, int row)
    {
        driver.ClickRow(row);
        driver.Click("updateNowButton");
        driver.WaitForRuns();
    }

    std::string local;
    std::string source;
};

const QRegularExpression
    kTip(QStringLiteral("^Last run \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d: (.+)$"),
         QRegularExpression::DotMatchesEverythingOption);

} // namespace

TEST_F(LastRunTest, AFailedRunIsMarkedUntilTheServerIsBackAndTheMarkFollowsItsJob)
{
    const std::uint16_t stopped = StoppedServerPort();
    DialogDriver driver;
    AddJob(driver, source, stopped); // row 0: never run
    AddJob(driver, source, stopped); // row 1: run against the stopped server
    ASSERT_EQ(driver.RowCount(), 2);
    EXPECT_EQ(Tip(driver, 0), QStringLiteral("Not run yet"));
    EXPECT_FALSE(Marked(driver, 0));

    UpdateNow(driver, 1);
    ASSERT_FALSE(driver.Log()->toPlainText().isEmpty());
    EXPECT_TRUE(Marked(driver, 1));
    EXPECT_FALSE(Marked(driver, 0));
    EXPECT_EQ(Tip(driver, 0), QStringLiteral("Not run yet"));
    const QRegularExpressionMatch failed = kTip.match(Tip(driver, 1));
    ASSERT_TRUE(failed.hasMatch()) << Tip(driver, 1).toStdString();
    EXPECT_NE(failed.captured(1), QStringLiteral("Ok."));
    // The tooltip tells the same outcome as the log's latest line.
    EXPECT_TRUE(driver.Log()->toPlainText().trimmed().endsWith(failed.captured(1)))
        << driver.Log()->toPlainText().toStdString();
    // The seven columns are the same as before.
    ASSERT_EQ(driver.List()->columnCount(), 7);
    EXPECT_EQ(driver.Row(1).at(0), QStringLiteral("127.0.0.1"));

    // Editing the job keeps its outcome until it runs again.
    FtpServer server;
    driver.ClickRow(1);
    driver.Type("portEdit", QString::number(server.port()));
    driver.Click("changeButton");
    ASSERT_EQ(driver.Row(1).at(5), QString::number(server.port()));
    EXPECT_TRUE(Marked(driver, 1));
    EXPECT_EQ(Tip(driver, 1).toStdString(), failed.captured(0).toStdString());

    // With the server back, the next run clears the mark.
    UpdateNow(driver, 1);
    EXPECT_EQ(server.readFile("report.txt"), "figures\n");
    EXPECT_FALSE(Marked(driver, 1));
    const QRegularExpressionMatch ok = kTip.match(Tip(driver, 1));
    ASSERT_TRUE(ok.hasMatch()) << Tip(driver, 1).toStdString();
    EXPECT_EQ(ok.captured(1), QStringLiteral("Ok."));

    // A failure again, then an earlier row deleted: the mark moves up with its job.
    driver.Type("portEdit", QString::number(stopped));
    driver.Click("changeButton");
    UpdateNow(driver, 1);
    ASSERT_TRUE(Marked(driver, 1));
    const QString tipBefore = Tip(driver, 1);
    driver.ClickRow(0);
    driver.Click("deleteButton");
    ASSERT_EQ(driver.RowCount(), 1);
    EXPECT_TRUE(Marked(driver, 0));
    EXPECT_EQ(Tip(driver, 0), tipBefore);
    // ...and the other way: a failed row above a clean one that is deleted keeps its place.
    AddJob(driver, source, server.port());
    ASSERT_EQ(driver.RowCount(), 2);
    EXPECT_FALSE(Marked(driver, 1));
    driver.ClickRow(1);
    driver.Click("deleteButton");
    EXPECT_TRUE(Marked(driver, 0));
}

TEST_F(LastRunTest, TheOutcomeIsNeverStoredAndIsNoPartOfTheJob)
{
    const std::uint16_t stopped = StoppedServerPort();
    std::string folder;
    {
        DialogDriver driver;
        AddJob(driver, source, stopped);
        UpdateNow(driver, 0);
        ASSERT_TRUE(Marked(driver, 0));
        // A job equal in all it holds, run or not, compares equal.
        UploadJob fresh = driver.dialog().Jobs().at(0);
        fresh.lastRun = {};
        EXPECT_TRUE(fresh == driver.dialog().Jobs().at(0));
        folder = driver.storeFolder();
        // Another save after the run, so that the store has seen the job with its outcome.
        driver.Click("stopButton");
        DialogDriver reopened(folder);
        ASSERT_EQ(reopened.RowCount(), 1);
        EXPECT_FALSE(Marked(reopened, 0));
        EXPECT_EQ(Tip(reopened, 0), QStringLiteral("Not run yet"));
        EXPECT_EQ(reopened.dialog().Jobs().at(0).lastRun.when, 0);
    }
}

TEST_F(LastRunTest, APatternRunTakesTheOutcomeOfTheLastFileItTried)
{
    std::filesystem::create_directories(local + "/many");
    for (const char* name : {"a.csv", "b.csv", "c.csv"}) {
        std::ofstream(local + "/many/" + name) << name;
    }
    DialogDriver driver;
    AddJob(driver, local + "/many/*.csv", 21);
    int calls = 0;
    int failing = -1; // the call that is refused
    driver.UseStandIn([&](const FileRequest&) {
        return calls++ == failing ? StandInTransport::Failed("550 Refused.\r\n")
                                  : StandInTransport::Ok();
    });
    const auto run = [&](int refused) {
        calls = 0;
        failing = refused;
        UpdateNow(driver, 0);
    };

    // Two files go, the last is refused: the run failed.
    run(2);
    ASSERT_EQ(calls, 3);
    EXPECT_TRUE(Marked(driver, 0));
    EXPECT_TRUE(Tip(driver, 0).endsWith(QStringLiteral(": 550 Refused.")))
        << Tip(driver, 0).toStdString();

    // All three go.
    run(-1);
    ASSERT_EQ(calls, 3);
    EXPECT_FALSE(Marked(driver, 0));
    EXPECT_TRUE(Tip(driver, 0).endsWith(QStringLiteral(": Ok."))) << Tip(driver, 0).toStdString();

    // The first is refused and the run ends there: failed, though no file went wrong after it.
    run(0);
    ASSERT_EQ(calls, 1);
    EXPECT_TRUE(Marked(driver, 0));
}
