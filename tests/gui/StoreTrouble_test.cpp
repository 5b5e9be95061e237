// What the window tells and keeps when the key file or the settings file lets it down, and how a
// row is loaded when its load has to complain about the form.
#include "app/AppMessageBox.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/TempHome.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

class StoreTroubleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
    }
    void TearDown() override { AppMessageBox::ClearAnswers(); }

    static QStringList Messages()
    {
        QStringList texts;
        for (const auto& shown : AppMessageBox::History()) {
            texts << shown.text;
        }
        return texts;
    }

    static void Close(DialogDriver& driver)
    {
        QTimer::singleShot(0, [&] { QTest::keyClick(driver.Edit("userEdit"), Qt::Key_Escape); });
        driver.dialog().DoModal();
    }
};

TEST_F(StoreTroubleTest, AMissingKeyIsToldOnceAndThePasswordsComeBackWithIt)
{
    const std::string folder = MakeTempDir("ferrovane-keyloss");
    const std::string keyFile = folder + "/keys/keys/machine/default/exchange.pem";
    {
        DialogDriver first(folder);
        for (int i = 0; i < 3; ++i) {
            first.AddJob(QStringLiteral("127.0.0.1"), QStringLiteral("user%1").arg(i),
                         QStringLiteral("/data/f%1").arg(i), QStringLiteral("/in/f%1").arg(i), 30,
                         QStringLiteral("21"), false, QStringLiteral("secret %1").arg(i));
        }
        first.Click("startButton");
        Close(first);
    }
    ASSERT_TRUE(std::filesystem::exists(keyFile));
    std::filesystem::rename(keyFile, folder + "/key.saved");

    AppMessageBox::SetNextAnswer(QMessageBox::Ok);
    {
        DialogDriver second(folder);
        ASSERT_EQ(AppMessageBox::History().size(), 1);
        const AppMessageBox::Shown& told = AppMessageBox::History().front();
        EXPECT_EQ(told.icon, QMessageBox::Warning);
        EXPECT_TRUE(told.text.contains(QStringLiteral("3 jobs"))) << told.text.toStdString();
        EXPECT_TRUE(told.text.contains(QString::fromStdString(keyFile)));
        EXPECT_TRUE(told.text.contains(QStringLiteral("the key file is missing")));
        EXPECT_TRUE(told.text.contains(QStringLiteral("kept unchanged")));
        // The schedule resumes all the same.
        EXPECT_EQ(second.dialog().Running(), 1);
        EXPECT_TRUE(second.dialog().TimerActive());
        second.Click("stopButton");
        Close(second);
    }
    EXPECT_EQ(AppMessageBox::History().size(), 1) << "told once, and the saves said nothing";

    std::filesystem::remove(keyFile);
    std::filesystem::rename(folder + "/key.saved", keyFile);
    AppMessageBox::ClearHistory();
    DialogDriver third(folder);
    EXPECT_TRUE(AppMessageBox::History().isEmpty());
    ASSERT_EQ(third.dialog().Jobs().size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(third.dialog().Jobs()[i].password, "secret " + std::to_string(i));
    }
    RemoveTree(folder);
}

TEST_F(StoreTroubleTest, AFailedSaveIsToldOnceUntilASaveWorksAndNothingIsLost)
{
    const std::string folder = MakeTempDir("ferrovane-savefail");
    const std::string settings = folder + "/settings";
    const QString file = QString::fromStdString(settings + "/ferrovane.conf");
    auto openStore = [&] {
        auto store = std::make_shared<SettingsStore>(SettingsStore::FromFile(file));
        store->SetKeyStoreRoot(folder + "/keys");
        return store;
    };
    // The settings folder turns into a file: nothing can be written there any more.
    auto block = [&] {
        std::filesystem::rename(settings, folder + "/settings.away");
        std::FILE* blocker = std::fopen(settings.c_str(), "w");
        ASSERT_NE(blocker, nullptr);
        std::fclose(blocker);
    };
    auto unblock = [&] {
        std::filesystem::remove(settings);
        std::filesystem::rename(folder + "/settings.away", settings);
    };
    {
        DialogDriver driver(openStore());
        driver.AddJob(QStringLiteral("127.0.0.1"), QStringLiteral("one"), QStringLiteral("/a"),
                      QStringLiteral("/a"), 5);
        ASSERT_TRUE(AppMessageBox::History().isEmpty());

        block();
        AppMessageBox::SetNextAnswer(QMessageBox::Ok);
        driver.AddJob(QStringLiteral("127.0.0.1"), QStringLiteral("two"), QStringLiteral("/b"),
                      QStringLiteral("/b"), 5);
        ASSERT_EQ(AppMessageBox::History().size(), 1);
        const AppMessageBox::Shown told = AppMessageBox::History().front();
        EXPECT_EQ(told.icon, QMessageBox::Warning);
        EXPECT_TRUE(told.text.contains(file)) << told.text.toStdString();
        EXPECT_TRUE(told.text.contains(QStringLiteral("Not a directory")));
        EXPECT_TRUE(told.text.contains(QStringLiteral("kept in this window")));
        EXPECT_EQ(driver.RowCount(), 2);

        // The same failure again is not told again, but every command tries the whole save.
        driver.AddJob(QStringLiteral("127.0.0.1"), QStringLiteral("three"), QStringLiteral("/c"),
                      QStringLiteral("/c"), 5);
        driver.Click("startButton");
        EXPECT_EQ(AppMessageBox::History().size(), 1);

        unblock();
        driver.Click("stopButton");
        EXPECT_EQ(AppMessageBox::History().size(), 1);
        {
            DialogDriver reader(openStore());
            EXPECT_EQ(reader.RowCount(), 3) << "the first save that works writes everything";
        }

        // After a save that worked, a new failure is told again.
        block();
        AppMessageBox::SetNextAnswer(QMessageBox::Ok);
        driver.ClickRow(0);
        driver.Click("deleteButton");
        EXPECT_EQ(AppMessageBox::History().size(), 2);
        unblock();
        Close(driver);
    }
    DialogDriver reader(openStore());
    ASSERT_EQ(reader.RowCount(), 2);
    EXPECT_EQ(reader.dialog().Jobs()[0].userName, "two");
    RemoveTree(folder);
}

TEST_F(StoreTroubleTest, OneClickOnARowShowsOneBoxAndEndsOnTheMarkedRow)
{
    DialogDriver driver;
    for (int i = 0; i < 5; ++i) {
        driver.AddJob(QStringLiteral("host%1").arg(i), QStringLiteral("user%1").arg(i),
                      QStringLiteral("/data/f%1").arg(i), QStringLiteral("/in/f%1").arg(i),
                      10 + i);
    }
    driver.ClickRow(0);
    driver.Type("timeEdit", QStringLiteral("abc"));

    // Real boxes, each with its own modal loop, closed by the user one after the other.
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box->button(QMessageBox::Ok)->click();
        }
    });
    closer.start();
    driver.ClickRow(3);
    for (int i = 0; i < 20; ++i) {
        QTest::qWait(20);
    }
    closer.stop();

    EXPECT_EQ(Messages(), QStringList{QStringLiteral("Please enter an integer.")});
    EXPECT_EQ(driver.CurrentRow(), 3);
    EXPECT_EQ(driver.Text("webEdit"), QStringLiteral("host3"));
    EXPECT_EQ(driver.Text("timeEdit"), QStringLiteral("13"));

    driver.Click("changeButton");
    EXPECT_EQ(driver.dialog().Jobs()[3].webAddress, "host3");
    EXPECT_EQ(driver.dialog().Jobs()[0].webAddress, "host0");
}

} // namespace
