// The job form and the job list, driven through clicks and typed text.
#include "app/AppFileDialog.h"
#include "app/AppMessageBox.h"
#include "tests/gui/support/DialogDriver.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

namespace {
class JobEditorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
        AppFileDialog::Clear();
    }

    static QStringList Messages()
    {
        QStringList texts;
        for (const auto& shown : AppMessageBox::History()) {
            texts << shown.text;
        }
        return texts;
    }

    // Five jobs told apart by their server: host0 .. host4.
    static void AddFive(DialogDriver& driver)
    {
        for (int i = 0; i < 5; ++i) {
            driver.AddJob(QStringLiteral("host%1").arg(i), QStringLiteral("user%1").arg(i),
                          QStringLiteral("/data/f%1.txt").arg(i),
                          QStringLiteral("/in/f%1.txt").arg(i), 10 + i);
        }
    }
};
} // namespace

TEST_F(JobEditorTest, AddingToAnEmptyListShowsOneSelectedRowAndItsJob)
{
    DialogDriver driver;
    driver.AddJob(QStringLiteral("ftp.example.test"), QStringLiteral("anna"),
                  QStringLiteral("/home/anna/report.csv"), QStringLiteral("/in/report.csv"), 5,
                  QStringLiteral("2121"), true, QStringLiteral("secret"));

    ASSERT_EQ(driver.RowCount(), 1);
    EXPECT_EQ(
        driver.Row(0),
        (QStringList{QStringLiteral("ftp.example.test"), QStringLiteral("anna"),
                     QStringLiteral("/home/anna/report.csv"), QStringLiteral("/in/report.csv"),
                     QStringLiteral("5"), QStringLiteral("2121"), QStringLiteral("TRUE")}));
    EXPECT_EQ(driver.SelectedRows(), std::vector<int>{0});
    EXPECT_EQ(driver.CurrentRow(), 0);
    EXPECT_EQ(QApplication::focusWidget(), driver.Edit("userEdit"));

    const UploadJob& job = driver.dialog().Jobs().at(0);
    EXPECT_EQ(job.password, "secret");
    EXPECT_EQ(job.intervalSeconds, 5);
    EXPECT_EQ(job.countdown, 5);
    EXPECT_EQ(job.port, 2121);
    EXPECT_EQ(job.passiveMode, 1);
    EXPECT_EQ(driver.Text("passwordEdit"), QStringLiteral("secret"));
    EXPECT_TRUE(Messages().isEmpty());
}

TEST_F(JobEditorTest, AddingKeepsTheCurrentRowAndAppendsTheNewJob)
{
    DialogDriver driver;
    AddFive(driver);
    driver.ClickRow(2);
    ASSERT_EQ(driver.Text("webEdit"), QStringLiteral("host2"));

    driver.Type("webEdit", QStringLiteral("newhost"));
    driver.Click("addButton");

    ASSERT_EQ(driver.RowCount(), 6);
    EXPECT_EQ(driver.Row(5).at(0), QStringLiteral("newhost"));
    EXPECT_EQ(driver.SelectedRows(), std::vector<int>{2});
    EXPECT_EQ(driver.CurrentRow(), 2);
    EXPECT_EQ(driver.Text("webEdit"), QStringLiteral("host2"));
}

TEST_F(JobEditorTest, IntervalsBelowOneAreRefusedAndTheFieldIsReset)
{
    for (const QString& interval : {QStringLiteral("0"), QStringLiteral("-3")}) {
        AppMessageBox::ClearHistory();
        DialogDriver driver;
        driver.Type("webEdit", QStringLiteral("host"));
        driver.Type("timeEdit", interval);
        driver.Type("portEdit", QStringLiteral("990"));
        AppMessageBox::SetNextAnswer(QMessageBox::Ok);
        driver.Click("addButton");

        EXPECT_EQ(driver.RowCount(), 0) << interval.toStdString();
        EXPECT_TRUE(driver.dialog().Jobs().empty());
        ASSERT_EQ(AppMessageBox::History().size(), 1);
        EXPECT_EQ(AppMessageBox::History()[0].text, QStringLiteral("Time muse be larger than 0."));
        EXPECT_EQ(AppMessageBox::History()[0].icon, QMessageBox::Information);
        EXPECT_EQ(driver.Text("timeEdit"), QStringLiteral("1"));
        EXPECT_EQ(driver.Text("webEdit"), QStringLiteral("host"));
        EXPECT_EQ(driver.Text("portEdit"), QStringLiteral("990"));
        EXPECT_EQ(QApplication::focusWidget(), driver.Edit("userEdit"));
    }
}

TEST_F(JobEditorTest, AnEmptyIntervalIsToldAndTheJobTakesThePreviousValue)
{
    DialogDriver driver;
    driver.Type("webEdit", QStringLiteral("host"));
    driver.Type("timeEdit", QString());
    AppMessageBox::SetNextAnswer(QMessageBox::Ok);
    driver.Click("addButton");

    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Please enter an integer.")});
    ASSERT_EQ(driver.dialog().Jobs().size(), 1u);
    EXPECT_EQ(driver.dialog().Jobs()[0].intervalSeconds, 1);
}

TEST_F(JobEditorTest, PortsAreCutToSixteenBits)
{
    DialogDriver driver;
    const struct
    {
        QString typed;
        int port;
    } cases[] = {{QStringLiteral("70000"), 4464},
                 {QStringLiteral("-1"), 65535},
                 {QStringLiteral("ftp"), 0},
                 {QStringLiteral(" 2121x"), 2121}};
    int row = 0;
    for (const auto& c : cases) {
        driver.AddJob(QStringLiteral("host"), QStringLiteral("u"), QStringLiteral("/a"),
                      QStringLiteral("/b"), 3, c.typed);
        EXPECT_EQ(driver.dialog().Jobs().at(row).port, c.port) << c.typed.toStdString();
        EXPECT_EQ(driver.Row(row).at(5), QString::number(c.port));
        ++row;
    }
    EXPECT_TRUE(Messages().isEmpty());
}

TEST_F(JobEditorTest, ChangeWithoutAMarkIsRefused)
{
    DialogDriver driver;
    AppMessageBox::SetNextAnswer(QMessageBox::Ok);
    driver.Click("changeButton");
    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Select edit item.")});
    EXPECT_TRUE(driver.dialog().Jobs().empty());

    // The interval is looked at first: a bad one without a mark gives only its own message.
    AppMessageBox::ClearHistory();
    driver.Type("timeEdit", QStringLiteral("0"));
    AppMessageBox::SetNextAnswer(QMessageBox::Ok);
    driver.Click("changeButton");
    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Time muse be larger than 0.")});
}

TEST_F(JobEditorTest, ChangeReplacesTheMarkedJobAndRestartsItsCountdown)
{
    DialogDriver driver;
    AddFive(driver);
    driver.dialog().JobsForTesting()[1].countdown = 2;
    const UploadJob before0 = driver.dialog().Jobs()[0];
    const UploadJob before2 = driver.dialog().Jobs()[2];

    driver.ClickRow(1);
    driver.Type("destinationEdit", QStringLiteral("/elsewhere/"));
    driver.Type("timeEdit", QStringLiteral("30"));
    driver.Click("changeButton");

    const UploadJob& changed = driver.dialog().Jobs().at(1);
    EXPECT_EQ(changed.destinationFile, "/elsewhere/");
    EXPECT_EQ(changed.webAddress, "host1");
    EXPECT_EQ(changed.intervalSeconds, 30);
    EXPECT_EQ(changed.countdown, 30);
    EXPECT_EQ(driver.Row(1).at(3), QStringLiteral("/elsewhere/"));
    EXPECT_EQ(driver.dialog().Jobs()[0], before0);
    EXPECT_EQ(driver.dialog().Jobs()[2], before2);
    EXPECT_EQ(driver.SelectedRows(), std::vector<int>{1});
    EXPECT_EQ(driver.CurrentRow(), 1);

    // Unchanged values still restart the countdown.
    driver.dialog().JobsForTesting()[1].countdown = 4;
    driver.Click("changeButton");
    EXPECT_EQ(driver.dialog().Jobs()[1].countdown, 30);
}

TEST_F(JobEditorTest, DeletingTheOnlyJobEmptiesTheListAndKeepsTheForm)
{
    DialogDriver driver;
    driver.AddJob(QStringLiteral("host"), QStringLiteral("bob"), QStringLiteral("/x"),
                  QStringLiteral("/y"), 7);
    driver.Click("deleteButton");

    EXPECT_EQ(driver.RowCount(), 0);
    EXPECT_TRUE(driver.dialog().Jobs().empty());
    EXPECT_EQ(driver.Text("webEdit"), QStringLiteral("host"));
    EXPECT_EQ(driver.Text("userEdit"), QStringLiteral("bob"));
    EXPECT_EQ(driver.Text("timeEdit"), QStringLiteral("7"));

    // Nothing left to delete: nothing happens, nothing is said.
    driver.Click("deleteButton");
    EXPECT_TRUE(Messages().isEmpty());
}

TEST_F(JobEditorTest, AfterADeleteTheMarkKeepsItsIndexOrMovesToTheNewLastRow)
{
    DialogDriver driver;
    AddFive(driver);
    driver.ClickRow(1);
    driver.Click("deleteButton");
    ASSERT_EQ(driver.RowCount(), 4);
    EXPECT_EQ(driver.Row(1).at(0), QStringLiteral("host2"));
    EXPECT_EQ(driver.CurrentRow(), 1);
    EXPECT_EQ(driver.SelectedRows(), std::vector<int>{1});
    EXPECT_EQ(driver.Text("webEdit"), QStringLiteral("host2"));

    driver.ClickRow(3);
    driver.Click("deleteButton");
    ASSERT_EQ(driver.RowCount(), 3);
    EXPECT_EQ(driver.CurrentRow(), 2);
    EXPECT_EQ(driver.SelectedRows(), std::vector<int>{2});
    EXPECT_EQ(driver.Text("webEdit"), QStringLiteral("host3"));
    EXPECT_EQ(driver.dialog().Jobs()[2].webAddress, "host3");
}

TEST_F(JobEditorTest, ClickingAnotherRowLoadsItAndDiscardsTypedValues)
{
    DialogDriver driver;
    AddFive(driver);
    driver.ClickRow(3);
    driver.Type("webEdit", QStringLiteral("typed but never added"));
    driver.Type("portEdit", QStringLiteral("1"));
    driver.ClickRow(4);

    EXPECT_EQ(driver.Text("webEdit"), QStringLiteral("host4"));
    EXPECT_EQ(driver.Text("userEdit"), QStringLiteral("user4"));
    EXPECT_EQ(driver.Text("timeEdit"), QStringLiteral("14"));
    EXPECT_EQ(driver.Text("portEdit"), QStringLiteral("21"));
    EXPECT_EQ(driver.dialog().Jobs()[3].webAddress, "host3");
}

TEST_F(JobEditorTest, FileButtonFillsTheSourceAndAnEmptyDestination)
{
    DialogDriver driver;
    AppFileDialog::SetNextFileName(QStringLiteral("/Data/Reports/Report.TXT"));
    driver.Click("fileButton");
    EXPECT_EQ(driver.Text("sourceEdit"), QStringLiteral("/Data/Reports/Report.TXT"));
    EXPECT_EQ(driver.Text("destinationEdit"), QStringLiteral("/Report.TXT"));

    driver.Type("destinationEdit", QStringLiteral("/keep/me.txt"));
    AppFileDialog::SetNextFileName(QStringLiteral("/Data/Other.csv"));
    driver.Click("fileButton");
    EXPECT_EQ(driver.Text("sourceEdit"), QStringLiteral("/Data/Other.csv"));
    EXPECT_EQ(driver.Text("destinationEdit"), QStringLiteral("/keep/me.txt"));

    AppFileDialog::SetNextFileName(std::nullopt);
    driver.Click("fileButton");
    EXPECT_EQ(driver.Text("sourceEdit"), QStringLiteral("/Data/Other.csv"));
    EXPECT_TRUE(driver.dialog().Jobs().empty());
}

TEST_F(JobEditorTest, StartAndStopLeaveOnlyTheCurrentRowSelected)
{
    DialogDriver driver;
    AddFive(driver);
    for (const char* button : {"startButton", "stopButton"}) {
        driver.ClickRow(0);
        driver.ClickRow(2, Qt::ControlModifier);
        driver.ClickRow(3, Qt::ControlModifier);
        ASSERT_EQ(driver.SelectedRows(), (std::vector<int>{0, 2, 3}));
        driver.Click(button);
        EXPECT_EQ(driver.SelectedRows(), std::vector<int>{3}) << button;
        EXPECT_EQ(driver.CurrentRow(), 3);
    }
    EXPECT_EQ(driver.dialog().Running(), 0);
}

TEST_F(JobEditorTest, AddressesWithASchemeAreTakenAsTypedAndBareOnesAsBefore)
{
    DialogDriver driver;
    const QString typed[] = {QStringLiteral("ftps://[::1]:990"), QStringLiteral("ftpes://host"),
                             QStringLiteral("sftp://host"), QStringLiteral("FTP://host:2121"),
                             // No "://": never looked into, whatever it holds.
                             QStringLiteral("user@host/dir"), QStringLiteral("http:/x")};
    for (const QString& web : typed) {
        driver.AddJob(web, QStringLiteral("u"), QStringLiteral("/a"), QStringLiteral("/b"), 3);
    }
    EXPECT_TRUE(Messages().isEmpty());
    ASSERT_EQ(driver.RowCount(), 6);
    for (int row = 0; row < 6; ++row) {
        EXPECT_EQ(driver.Row(row).at(0), typed[row]);
        EXPECT_EQ(driver.Row(row).at(5), QStringLiteral("21"));
        EXPECT_EQ(driver.dialog().Jobs().at(static_cast<std::size_t>(row)).webAddress,
                  typed[row].toStdString());
    }
}

TEST_F(JobEditorTest, AddAndChangeRefuseAnAddressWithAnUnknownSchemeUserOrPath)
{
    const QString refused[] = {QStringLiteral("http://host"), QStringLiteral("ftps://u:p@host"),
                               QStringLiteral("ftpes://host/dir"), QStringLiteral("ftp://host:0")};
    DialogDriver driver;
    driver.AddJob(QStringLiteral("ftpes://good"), QStringLiteral("u"), QStringLiteral("/a"),
                  QStringLiteral("/b"), 3);
    const UploadJob before = driver.dialog().Jobs().at(0);

    for (const QString& web : refused) {
        SCOPED_TRACE(web.toStdString());
        AppMessageBox::ClearHistory();
        driver.Type("webEdit", web);
        AppMessageBox::SetNextAnswer(QMessageBox::Ok);
        driver.Click("addButton");
        EXPECT_EQ(driver.RowCount(), 1);

        AppMessageBox::SetNextAnswer(QMessageBox::Ok);
        driver.Click("changeButton");
        EXPECT_EQ(driver.dialog().Jobs().at(0), before);
        EXPECT_EQ(driver.Row(0).at(0), QStringLiteral("ftpes://good"));

        ASSERT_EQ(AppMessageBox::History().size(), 2);
        for (const auto& shown : AppMessageBox::History()) {
            EXPECT_EQ(shown.icon, QMessageBox::Information);
            for (const char* form : {"ftp://host", "ftpes://host", "ftps://host", "sftp://host"}) {
                EXPECT_TRUE(shown.text.contains(QLatin1String(form))) << form;
            }
        }
        // The field is handed back as typed, ready to be typed over.
        EXPECT_EQ(driver.Text("webEdit"), web);
        EXPECT_EQ(QApplication::focusWidget(), driver.Edit("webEdit"));
        EXPECT_EQ(driver.Edit("webEdit")->selectedText(), web);
    }
}
