// The main window as a new user meets it: its first state, how it ends, the About box, and a
// termination signal ending it the ordinary way.
#include "app/AboutDialog.h"
#include "app/AppMessageBox.h"
#include "tests/gui/support/DialogDriver.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>

namespace {
class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
    }
};

// True when the status picture shows the green ball rather than the grey one.
bool PictureIsGreen(const DialogDriver& driver)
{
    const QImage image = driver.Find<QLabel>("statusPicture")->pixmap().toImage();
    const QColor centre = image.pixelColor(image.width() / 2, image.height() / 3);
    return centre.green() > centre.red() + 60;
}

// Polls for the next modal dialog and hands it to `act`, without blocking the loop it runs in.
void WhenModalAppears(std::function<void(QWidget*)> act, int triesLeft = 500)
{
    QTimer::singleShot(10, [act = std::move(act), triesLeft]() mutable {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible()) {
            act(modal);
        } else if (triesLeft > 0) {
            WhenModalAppears(std::move(act), triesLeft - 1);
        } else {
            ADD_FAILURE() << "no modal dialog appeared";
        }
    });
}
} // namespace

TEST_F(MainWindowTest, FirstRunShowsAnEmptyFormAndAStoppedSchedule)
{
    DialogDriver driver;
    MainDialog& dialog = driver.dialog();

    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Ferrovane"));
    EXPECT_EQ(driver.RowCount(), 0);
    for (const char* name :
         {"userEdit", "passwordEdit", "webEdit", "sourceEdit", "destinationEdit"}) {
        EXPECT_TRUE(driver.Text(name).isEmpty()) << name;
    }
    EXPECT_EQ(driver.Text("timeEdit"), QStringLiteral("1"));
    EXPECT_EQ(driver.Text("portEdit"), QStringLiteral("21"));
    EXPECT_FALSE(driver.Passive()->isChecked());
    EXPECT_TRUE(driver.Button("startButton")->isEnabled());
    EXPECT_FALSE(driver.Button("stopButton")->isEnabled());
    EXPECT_FALSE(PictureIsGreen(driver));
    EXPECT_EQ(dialog.Running(), 0);
    EXPECT_FALSE(dialog.TimerActive());
    EXPECT_EQ(QApplication::focusWidget(), driver.Edit("userEdit"));
    EXPECT_EQ(driver.Edit("passwordEdit")->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(driver.Log()->isReadOnly());

    const QStringList titles = {QStringLiteral("web"),         QStringLiteral("user name"),
                                QStringLiteral("source file"), QStringLiteral("destination file"),
                                QStringLiteral("time (sec)"),  QStringLiteral("port"),
                                QStringLiteral("passive mode")};
    const int widths[] = {150, 100, 100, 150, 65, 65, 100};
    ASSERT_EQ(driver.List()->columnCount(), 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(driver.List()->horizontalHeaderItem(i)->text(), titles[i]);
        EXPECT_EQ(driver.List()->columnWidth(i), widths[i]);
    }
}

TEST_F(MainWindowTest, TabOrderFollowsTheFormTopToBottom)
{
    DialogDriver driver;
    const char* order[] = {"userEdit",     "passwordEdit",    "webEdit",         "sourceEdit",
                           "fileButton",   "destinationEdit", "timeEdit",        "portEdit",
                           "passiveCheck", "changeButton",    "addButton",       "deleteButton",
                           "startButton",  "jobList",         "updateNowButton", "logPane",
                           "aboutButton"};
    QWidget* widget = driver.Edit("userEdit");
    for (std::size_t i = 1; i < std::size(order); ++i) {
        // The stop button is disabled while stopped and so leaves the chain.
        do {
            widget = widget->nextInFocusChain();
        } while (!(widget->focusPolicy() & Qt::TabFocus) || !widget->isEnabled() ||
                 widget->objectName().isEmpty() || widget->parentWidget() != &driver.dialog());
        EXPECT_EQ(widget->objectName(), QString::fromLatin1(order[i]));
    }
}

TEST_F(MainWindowTest, TabLeavesTheJobListAndTheLogPaneForTheNextControl)
{
    DialogDriver driver;
    driver.AddJob(QStringLiteral("h"), QStringLiteral("u"), QStringLiteral("/a"),
                  QStringLiteral("/b"), 1);
    driver.List()->setFocus();
    QTest::keyClick(driver.List(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), driver.Button("updateNowButton"));
    driver.Log()->setFocus();
    QTest::keyClick(driver.Log(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), driver.Button("aboutButton"));
}

TEST_F(MainWindowTest, LabelsCarryTheirMnemonicsToTheirFields)
{
    DialogDriver driver;
    const struct
    {
        const char* label;
        const char* field;
    } pairs[] = {{"userLabel", "userEdit"},
                 {"passwordLabel", "passwordEdit"},
                 {"webLabel", "webEdit"},
                 {"sourceLabel", "sourceEdit"},
                 {"destinationLabel", "destinationEdit"},
                 {"timeLabel", "timeEdit"}};
    for (const auto& pair : pairs) {
        EXPECT_EQ(driver.Find<QLabel>(pair.label)->buddy(), driver.Edit(pair.field));
    }
    QTest::keyClick(&driver.dialog(), Qt::Key_T, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), driver.Edit("timeEdit"));
}

TEST_F(MainWindowTest, EnterWithAnIntervalThatIsNoNumberKeepsTheWindowOpen)
{
    DialogDriver driver;
    driver.Type("timeEdit", QStringLiteral("abc"));
    AppMessageBox::SetNextAnswer(QMessageBox::Ok);
    QTest::keyClick(driver.Edit("timeEdit"), Qt::Key_Return);
    driver.Settle();

    EXPECT_TRUE(driver.dialog().isVisible());
    ASSERT_EQ(AppMessageBox::History().size(), 1);
    EXPECT_EQ(AppMessageBox::History()[0].text, QStringLiteral("Please enter an integer."));
    EXPECT_EQ(AppMessageBox::History()[0].icon, QMessageBox::Warning);
    EXPECT_EQ(QApplication::focusWidget(), driver.Edit("timeEdit"));
    EXPECT_EQ(driver.Edit("timeEdit")->selectedText(), QStringLiteral("abc"));
}

TEST_F(MainWindowTest, EnterWithANumberAndEscapeEndTheDialogThroughTheDestroyHandling)
{
    {
        DialogDriver driver;
        driver.Type("timeEdit", QStringLiteral("  42 seconds"));
        QTimer::singleShot(0, [&] { QTest::keyClick(driver.Edit("userEdit"), Qt::Key_Return); });
        EXPECT_EQ(driver.dialog().DoModal(), QDialog::Accepted);
        EXPECT_TRUE(driver.dialog().Destroyed());
    }
    {
        DialogDriver driver;
        driver.Type("timeEdit", QStringLiteral("not a number"));
        QTimer::singleShot(0, [&] { QTest::keyClick(driver.Edit("timeEdit"), Qt::Key_Escape); });
        EXPECT_EQ(driver.dialog().DoModal(), QDialog::Rejected);
        EXPECT_TRUE(driver.dialog().Destroyed());
        EXPECT_TRUE(AppMessageBox::History().isEmpty());
    }
}

TEST_F(MainWindowTest, EnterInTheLogPaneDoesNotEndTheDialog)
{
    DialogDriver driver;
    driver.Log()->setFocus();
    QTest::keyClick(driver.Log(), Qt::Key_Return);
    QTest::keyClick(driver.Log(), Qt::Key_Enter, Qt::KeypadModifier);
    driver.Settle();
    EXPECT_TRUE(driver.dialog().isVisible());
    EXPECT_TRUE(AppMessageBox::History().isEmpty());
}

TEST_F(MainWindowTest, AboutBoxOpensFromTheButtonAndFromTheWindowMenu)
{
    DialogDriver driver;
    int seen = 0;
    const auto checkAbout = [&seen](QWidget* modal) {
        auto* about = qobject_cast<AboutDialog*>(modal);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(about->windowTitle(), QStringLiteral("About Ferrovane"));
        EXPECT_EQ(about->findChild<QLabel*>(QStringLiteral("versionLabel"))->text(),
                  QStringLiteral("Ferrovane Version 1.4"));
        ++seen;
        QTest::mouseClick(about->findChild<QPushButton*>(QStringLiteral("okButton")),
                          Qt::LeftButton);
    };

    WhenModalAppears(checkAbout);
    driver.Click("aboutButton");
    EXPECT_EQ(seen, 1);

    // A right click on the window's background opens its menu, whose item opens the same box.
    auto* menu = driver.Find<QMenu>("windowMenu");
    const QPoint background(driver.dialog().width() - 5, driver.dialog().height() / 2);
    QContextMenuEvent event(QContextMenuEvent::Mouse, background,
                            driver.dialog().mapToGlobal(background));
    QApplication::sendEvent(&driver.dialog(), &event);
    QTRY_VERIFY(menu->isVisible());
    QAction* item = menu->findChild<QAction*>(QStringLiteral("aboutAction"));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("&About Ferrovane..."));
    WhenModalAppears(checkAbout);
    item->trigger();
    menu->close();
    driver.Settle();
    EXPECT_EQ(seen, 2);
}

TEST_F(MainWindowTest, TerminationSignalEndsTheDialogThroughTheDestroyHandling)
{
    for (int signalNumber : {SIGTERM, SIGHUP}) {
        DialogDriver driver;
        driver.Click("startButton");
        ASSERT_TRUE(driver.dialog().TimerActive());
        QTimer::singleShot(20, [signalNumber] { ::raise(signalNumber); });
        EXPECT_EQ(driver.dialog().DoModal(), QDialog::Rejected);
        EXPECT_TRUE(driver.dialog().Destroyed());
        EXPECT_FALSE(driver.dialog().TimerActive());
    }
}
