// The schedule driven through the window: its buttons, its timer's expiries and the update-now
// command, with a stand-in transport that records what would have been sent.
#include "app/AppMessageBox.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/TempHome.h"

#include <QLabel>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

namespace {
struct Sent
{
    int tick;
    std::string server;
    std::string remotePath;
};

class SchedulerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
    }

    // Puts the recording stand-in into the driver's window; each file goes well.
    StandInTransport& Record(DialogDriver& driver)
    {
        return driver.UseStandIn([this](const FileRequest& file) {
            sent.push_back({tick, file.webAddress, file.remotePath});
            return StandInTransport::Ok();
        });
    }

    // One expiry of the running timer, as the window would receive it.
    void Tick(DialogDriver& driver)
    {
        ++tick;
        driver.dialog().FireTimerForTesting();
        driver.Settle();
    }

    std::vector<int> TicksOf(const std::string& server) const
    {
        std::vector<int> ticks;
        for (const Sent& s : sent) {
            if (s.server == server) {
                ticks.push_back(s.tick);
            }
        }
        return ticks;
    }

    static void Add(DialogDriver& driver, const QString& server, int interval)
    {
        driver.AddJob(server, QStringLiteral("u"), QStringLiteral("/src/") + server,
                      QStringLiteral("/dst/") + server, interval);
    }

    std::vector<Sent> sent;
    int tick = 0;
};
} // namespace

TEST_F(SchedulerTest, AJobOfIntervalNRunsOnEveryNPlusOnethTick)
{
    DialogDriver driver;
    Record(driver);
    Add(driver, QStringLiteral("two"), 2);
    Add(driver, QStringLiteral("one"), 1);
    driver.Click("startButton");
    ASSERT_TRUE(driver.dialog().TimerActive());
    for (int i = 0; i < 9; ++i) {
        Tick(driver);
    }
    EXPECT_EQ(TicksOf("two"), (std::vector<int>{3, 6, 9}));
    EXPECT_EQ(TicksOf("one"), (std::vector<int>{2, 4, 6, 8}));
    // Both fall due at tick 6 and run in list order.
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(sent[3].tick, 6);
    EXPECT_EQ(sent[3].server, "two");
    EXPECT_EQ(sent[4].tick, 6);
    EXPECT_EQ(sent[4].server, "one");
}

TEST_F(SchedulerTest, AJobAddedWhileRunningFirstRunsAfterItsFullInterval)
{
    DialogDriver driver;
    Record(driver);
    Add(driver, QStringLiteral("idle"), 1000);
    driver.Click("startButton");
    Tick(driver);
    tick = 0;
    Add(driver, QStringLiteral("five"), 5);
    for (int i = 0; i < 12; ++i) {
        Tick(driver);
    }
    EXPECT_EQ(TicksOf("five"), (std::vector<int>{6, 12}));
    EXPECT_TRUE(TicksOf("idle").empty());
}

TEST_F(SchedulerTest, IntervalZeroRunsEveryTickAndANegativeCountdownNever)
{
    DialogDriver driver;
    Record(driver);
    Add(driver, QStringLiteral("zero"), 1);
    Add(driver, QStringLiteral("negative"), 1);
    JobList& jobs = driver.dialog().JobsForTesting();
    jobs[0].intervalSeconds = 0;
    jobs[0].countdown = 0;
    jobs[1].countdown = -1;
    driver.Click("startButton");
    for (int i = 0; i < 4; ++i) {
        Tick(driver);
    }
    EXPECT_EQ(TicksOf("zero"), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(TicksOf("negative").empty());
    EXPECT_EQ(driver.dialog().Jobs()[1].countdown, -5);
}

TEST_F(SchedulerTest, StopAndStartKeepCountdownsWhileAChangeRestartsOne)
{
    DialogDriver driver;
    Record(driver);
    Add(driver, QStringLiteral("a"), 5);
    Add(driver, QStringLiteral("b"), 5);
    driver.Click("startButton");
    Tick(driver);
    Tick(driver);
    driver.Click("stopButton");
    EXPECT_FALSE(driver.dialog().TimerActive());
    EXPECT_FALSE(driver.Button("stopButton")->isEnabled());
    EXPECT_TRUE(driver.Button("startButton")->isEnabled());
    // Expiries while stopped are not handled.
    driver.dialog().FireTimerForTesting();
    driver.Click("startButton");
    EXPECT_EQ(driver.dialog().Jobs()[0].countdown, 3);
    EXPECT_EQ(driver.dialog().Jobs()[1].countdown, 3);

    driver.ClickRow(1);
    driver.Click("changeButton");
    EXPECT_EQ(driver.dialog().Jobs()[0].countdown, 3);
    EXPECT_EQ(driver.dialog().Jobs()[1].countdown, 5);
}

TEST_F(SchedulerTest, UpdateNowRunsTheSelectedRowsInOrderAndLeavesCountdownsAlone)
{
    DialogDriver driver;
    Record(driver);
    for (const char* server : {"r0", "r1", "r2", "r3"}) {
        Add(driver, QString::fromLatin1(server), 4);
    }
    // Nothing selected: nothing runs.
    driver.ClickRow(0, Qt::ControlModifier);
    ASSERT_TRUE(driver.SelectedRows().empty());
    driver.Click("updateNowButton");
    EXPECT_TRUE(sent.empty());

    driver.ClickRow(2, Qt::ControlModifier);
    driver.ClickRow(0, Qt::ControlModifier);
    ASSERT_EQ(driver.SelectedRows(), (std::vector<int>{0, 2}));
    driver.Click("updateNowButton");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].server, "r0");
    EXPECT_EQ(sent[1].server, "r2");
    EXPECT_EQ(driver.dialog().Running(), 0);
    for (const UploadJob& job : driver.dialog().Jobs()) {
        EXPECT_EQ(job.countdown, 4);
    }
    EXPECT_EQ(driver.Log()->toPlainText().count(QStringLiteral("Ok.")), 2);
}

// A run that no transfer could even begin is told in a box that waits for the user while the
// schedule goes on.
TEST_F(SchedulerTest, AnErrorOfARunIsShownAndTheOtherJobsGoOn)
{
    DialogDriver driver;
    const std::string message = "Could not open an FTP client session.";
    driver.UseStandIn([&](const FileRequest& file) {
        FileOutcome outcome = StandInTransport::Ok();
        if (file.webAddress == "bad") {
            outcome.error = message;
        }
        sent.push_back({tick, file.webAddress, file.remotePath});
        return outcome;
    });
    Add(driver, QStringLiteral("bad"), 1);
    Add(driver, QStringLiteral("later"), 1);
    driver.Click("startButton");
    AppMessageBox::SetNextAnswer(QMessageBox::Ok);
    Tick(driver);
    Tick(driver);
    ASSERT_EQ(AppMessageBox::History().size(), 1);
    EXPECT_EQ(AppMessageBox::History()[0].text, QString::fromStdString(message));
    EXPECT_EQ(AppMessageBox::History()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(TicksOf("later"), std::vector<int>{2});
    EXPECT_EQ(driver.Log()->toPlainText().count(QStringLiteral("Ok.")), 1);
}

// What runs shows: each running row says so, a row whose server is busy with another job's run
// says that it waits, and the caption names the first file out and how many go beside it.
TEST_F(SchedulerTest, TheRowsAndTheCaptionShowWhatRuns)
{
    DialogDriver driver;
    Record(driver).answerSends = nullptr; // no file comes back
    Add(driver, QStringLiteral("same"), 3600);
    Add(driver, QStringLiteral("same"), 3600);
    Add(driver, QStringLiteral("other"), 3600);
    driver.ClickRow(0);
    driver.ClickRow(2, Qt::ShiftModifier);
    driver.Click("updateNowButton");
    const auto tip = [&](int row) { return driver.List()->item(row, 0)->toolTip(); };
    EXPECT_TRUE(tip(0).endsWith(QStringLiteral("\nRunning now"))) << tip(0).toStdString();
    EXPECT_TRUE(tip(1).contains(QStringLiteral("waiting while another job's run uses the same")))
        << tip(1).toStdString();
    EXPECT_TRUE(tip(2).endsWith(QStringLiteral("\nRunning now")));
    EXPECT_EQ(driver.dialog().windowTitle(),
              QStringLiteral("Ferrovane - same 0% (1 more going out)"));
}

// Closing the window cuts every transfer short: the program ends at once and saves.
TEST_F(SchedulerTest, ClosingTheWindowAbandonsWhatRuns)
{
    DialogDriver driver;
    StandInTransport& transport = Record(driver);
    transport.answerSends = nullptr; // the file never comes back
    Add(driver, QStringLiteral("first"), 1);
    driver.Click("startButton");
    QTimer::singleShot(0, &driver.dialog(), [&] {
        Tick(driver);
        Tick(driver);
        driver.dialog().close();
    });
    driver.dialog().DoModal();
    EXPECT_TRUE(driver.dialog().Destroyed());
    EXPECT_TRUE(transport.abandoned);
    EXPECT_EQ(transport.Sends().size(), 1u);
    EXPECT_EQ(driver.OpenStore()->ReadInt(QStringLiteral("1.0"), QStringLiteral("Runned"), 0), 1);
}

TEST_F(SchedulerTest, StartUpResumesAStoredRunningScheduleAndOnlyThat)
{
    const std::string folder = MakeTempDir("ferrovane-resume");
    {
        DialogDriver first(folder);
        Add(first, QStringLiteral("three"), 3);
        first.Click("startButton");
    }
    {
        DialogDriver second(folder);
        Record(second);
        EXPECT_EQ(second.dialog().Running(), 1);
        EXPECT_TRUE(second.dialog().TimerActive());
        EXPECT_FALSE(second.Button("startButton")->isEnabled());
        EXPECT_TRUE(second.Button("stopButton")->isEnabled());
        const QImage picture = second.Find<QLabel>("statusPicture")->pixmap().toImage();
        const QColor centre = picture.pixelColor(picture.width() / 2, picture.height() / 3);
        EXPECT_GT(centre.green(), centre.red() + 60) << "the green picture";
        // The start-up step counted the job down once: it runs at the third expiry.
        for (int i = 0; i < 3; ++i) {
            Tick(second);
        }
        EXPECT_EQ(TicksOf("three"), std::vector<int>{3});
        second.Click("stopButton");
    }
    sent.clear();
    tick = 0;
    {
        DialogDriver third(folder);
        Record(third);
        EXPECT_EQ(third.dialog().Running(), 0);
        EXPECT_FALSE(third.dialog().TimerActive());
        EXPECT_EQ(third.dialog().Jobs()[0].countdown, 3) << "no start-up count-down when stopped";
    }
    RemoveTree(folder);
}
