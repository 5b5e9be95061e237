// The window against a real FTP server on 127.0.0.1: the schedule uploading a single file and a
// folder pattern, and the window staying alive while a slow transfer runs.
#include "app/AppMessageBox.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/FtpServer.h"
#include "tests/support/TempHome.h"

#include <QElapsedTimer>
#include <QFile>
#include <qpa/qwindowsysteminterface.h>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {
class EndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
        local = MakeTempDir("ferrovane-e2e");
    }
    void TearDown() override { RemoveTree(local); }

    std::string Write(const std::string& name, const std::string& bytes)
    {
        const std::string path = local + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static void AddJob(DialogDriver& driver, const FtpServer& server, const std::string& source,
                       const char* destination, int interval)
    {
        driver.AddJob(QString::fromLatin1(FtpServer::kAddress),
                      QString::fromLatin1(FtpServer::kWriter), QString::fromStdString(source),
                      QString::fromLatin1(destination), interval, QString::number(server.port()),
                      true, QString::fromLatin1(FtpServer::kWriterPassword));
    }

    static int Stores(const FtpServer& server)
    {
        const auto commands = server.commands();
        return static_cast<int>(std::count_if(commands.begin(), commands.end(), [](auto& line) {
            return line.rfind("STOR ", 0) == 0;
        }));
    }

    std::string local;
};
} // namespace

TEST_F(EndToEndTest, TheRunningScheduleUploadsAFileAndAFolderPatternAndLogsEachFile)
{
    FtpServer server;
    std::filesystem::create_directories(server.home() + "/in");
    const std::string single = Write("report.txt", "single file\n");
    Write("out/a.csv", "1,2,3\n");
    Write("out/b.csv", std::string(100000, 'b'));
    Write("out/c.csv", "");
    Write("out/skip.txt", "not matched");
    Write("out/sub.csv/inner.csv", "folders are not uploaded");

    DialogDriver driver;
    AddJob(driver, server, single, "/report.txt", 1);
    AddJob(driver, server, local + "/out/*.csv", "/in/whatever", 1);
    driver.Click("startButton");

    // Interval 1: both jobs run at the second expiry of the one-second timer.
    QTRY_VERIFY_WITH_TIMEOUT(driver.Log()->toPlainText().count(QStringLiteral("Ok.")) >= 4, 8000);
    driver.Click("stopButton");

    EXPECT_EQ(server.readFile("report.txt"), "single file\n");
    EXPECT_EQ(server.readFile("in/a.csv"), "1,2,3\n");
    EXPECT_EQ(server.readFile("in/b.csv"), std::string(100000, 'b'));
    EXPECT_EQ(server.readFile("in/c.csv"), "");
    EXPECT_FALSE(std::filesystem::exists(server.home() + "/in/skip.txt"));
    EXPECT_FALSE(std::filesystem::exists(server.home() + "/in/inner.csv"));

    const QStringList lines =
        driver.Log()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(lines.size(), Stores(server)) << "one entry per file tried";
    EXPECT_EQ(lines.size(), 4);
    const QRegularExpression entry(QStringLiteral(
        R"(^\d\d/\d\d/\d\d \d\d:\d\d:\d\d - 127\.0\.0\.1, writer, /.*, .*\. Ok\.$)"));
    for (const QString& line : lines) {
        EXPECT_TRUE(entry.match(line).hasMatch()) << line.toStdString();
    }
    EXPECT_TRUE(
        lines[0].contains(QStringLiteral("/report.txt, ") + QString::fromStdString(single)));
    EXPECT_TRUE(AppMessageBox::History().isEmpty());
}

TEST_F(EndToEndTest, TheWindowKeepsPaintingAndShowsProgressDuringASlowTransfer)
{
    FtpServerOptions options;
    // Large enough that the socket buffers on both ends cannot hide the pace from the client.
    options.throttleBytesPerSecond = 4 * 1024 * 1024;
    FtpServer server(options);
    const std::string slow = Write("slow.bin", std::string(12 * 1024 * 1024, 's'));

    DialogDriver driver;
    AddJob(driver, server, slow, "/slow.bin", 1000);

    // A probe that can only run when the event loop does; it also watches the caption.
    std::vector<qint64> beats;
    QStringList captions;
    QElapsedTimer clock;
    clock.start();
    QTimer probe;
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, &driver.dialog(), [&] {
        beats.push_back(clock.elapsed());
        captions << driver.dialog().windowTitle();
    });
    probe.start();
    driver.Click("updateNowButton");
    ASSERT_TRUE(driver.WaitForRuns());
    probe.stop();
    const qint64 took = clock.elapsed();

    EXPECT_EQ(server.readFile("slow.bin"), std::string(12 * 1024 * 1024, 's'));
    ASSERT_GT(took, 1000) << "the throttled transfer should take over a second";
    ASSERT_GE(beats.size(), 10u);
    std::vector<qint64> gaps;
    for (std::size_t i = 1; i < beats.size(); ++i) {
        gaps.push_back(beats[i] - beats[i - 1]);
    }
    std::sort(gaps.begin(), gaps.end());
    const qint64 p95 = gaps[gaps.size() * 95 / 100];
    std::cout << "event loop gaps during a " << took << " ms transfer: median "
              << gaps[gaps.size() / 2] << " ms, 95th percentile " << p95 << " ms, longest "
              << gaps.back() << " ms\n";
    EXPECT_LE(p95, 100);
    EXPECT_LT(gaps.back(), 300);

    const QRegularExpression progress(QStringLiteral(R"(^Ferrovane - slow\.bin (\d+)%$)"));
    int shownBetween = 0;
    for (const QString& caption : captions) {
        const auto match = progress.match(caption);
        if (match.hasMatch() && match.captured(1).toInt() > 0 && match.captured(1).toInt() < 100) {
            ++shownBetween;
        }
    }
    EXPECT_GT(shownBetween, 0) << "the caption shows how far the transfer is";
    EXPECT_EQ(driver.dialog().windowTitle(), QStringLiteral("Ferrovane"));
}

namespace {
// A click as the window system delivers it: queued, and handled only when the window's thread
// lets user input through, unlike QTest's clicks, which are delivered on the spot.
void QueueClick(QWidget* button)
{
    QWindow* window = button->window()->windowHandle();
    const QPointF local = button->mapTo(button->window(), button->rect().center());
    const QPointF global = button->mapToGlobal(button->rect().center());
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, local, global, Qt::LeftButton, Qt::LeftButton, QEvent::MouseButtonPress);
    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
        window, local, global, Qt::NoButton, Qt::LeftButton, QEvent::MouseButtonRelease);
}
} // namespace

TEST_F(EndToEndTest, AClickOnStopDuringATransferTakesEffectAtOnce)
{
    FtpServerOptions options;
    options.throttleBytesPerSecond = 2 * 1024 * 1024;
    FtpServer server(options);
    // About three seconds at this pace.
    const std::string slow = Write("slow.bin", std::string(6 * 1024 * 1024, 's'));

    DialogDriver driver;
    AddJob(driver, server, slow, "/slow.bin", 1000);
    driver.Click("startButton");
    driver.ClickRow(0);
    const QString storeFile = QString::fromStdString(driver.storeFolder() + "/ferrovane.conf");
    auto storedRunning = [&] {
        QFile file(storeFile);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("Runned=1");
    };
    ASSERT_TRUE(storedRunning());

    QElapsedTimer clock;
    qint64 clickedAt = -1;
    qint64 stoppedAt = -1;
    qint64 storedAt = -1;
    QTimer click;
    click.setSingleShot(true);
    click.setInterval(800);
    QObject::connect(&click, &QTimer::timeout, [&] {
        clickedAt = clock.elapsed();
        QueueClick(driver.Button("stopButton"));
    });
    // Connected after the window's own handler, so this sees what the click has done.
    QObject::connect(driver.Button("stopButton"), &QPushButton::clicked, [&] {
        if (!driver.Button("stopButton")->isEnabled() &&
            driver.Button("startButton")->isEnabled()) {
            stoppedAt = clock.elapsed();
        }
        if (!storedRunning()) {
            storedAt = clock.elapsed();
        }
    });
    clock.start();
    click.start();
    driver.Click("updateNowButton");
    ASSERT_TRUE(driver.WaitForRuns());
    const qint64 transferEnded = clock.elapsed();

    EXPECT_EQ(server.readFile("slow.bin").size(), 6u * 1024 * 1024);
    ASSERT_GE(clickedAt, 0);
    ASSERT_GT(transferEnded, clickedAt + 500) << "the click came during the transfer";
    ASSERT_GE(stoppedAt, 0) << "the click never took effect during the transfer";
    ASSERT_GE(storedAt, 0);
    std::cout << "stop took effect " << stoppedAt - clickedAt << " ms after the click, stored "
              << storedAt - clickedAt << " ms after it; the transfer ended " << transferEnded
              << " ms after its start\n";
    EXPECT_LE(stoppedAt - clickedAt, 100);
    EXPECT_LE(storedAt - clickedAt, 100);
    EXPECT_FALSE(driver.dialog().TimerActive());
    EXPECT_EQ(driver.dialog().Running(), 0);
}
