// "Start at login" in the window's context menu: the entry it writes in the XDG autostart folder,
// the check mark that follows the file, and the Exec line's quoting.
#include "app/AppMessageBox.h"
#include "app/AutostartEntry.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/TempHome.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// Points XDG_CONFIG_HOME (and HOME) somewhere for the life of the object.
class ScopedVariable
{
public:
    ScopedVariable(const char* name, const QByteArray& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedVariable()
    {
        if (had_) {
            qputenv(name_, old_);
        } else {
            qunsetenv(name_);
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

class StartAtLoginTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AppMessageBox::ClearAnswers();
        AppMessageBox::ClearHistory();
        folder = QString::fromStdString(MakeTempDir("ferrovane-autostart"));
    }
    void TearDown() override { RemoveTree(folder.toStdString()); }

    // Opens the window's context menu with a right click on its background, as a user does, and
    // returns the item.
    static QAction* OpenMenuItem(DialogDriver& driver)
    {
        auto* menu = driver.Find<QMenu>("windowMenu");
        const QPoint background(driver.dialog().width() - 5, driver.dialog().height() / 2);
        QContextMenuEvent event(QContextMenuEvent::Mouse, background,
                                driver.dialog().mapToGlobal(background));
        QCoreApplication::sendEvent(&driver.dialog(), &event);
        if (!QTest::qWaitFor([menu] { return menu->isVisible(); })) {
            return nullptr;
        }
        return menu->findChild<QAction*>(QStringLiteral("startAtLoginAction"));
    }
    static void Choose(DialogDriver& driver, QAction* item)
    {
        item->trigger();
        driver.Find<QMenu>("windowMenu")->close();
        driver.Settle();
    }
    static QString Read(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QString folder;
};

} // namespace

TEST_F(StartAtLoginTest, TheMenuItemWritesAndRemovesTheAutostartEntry)
{
    const ScopedVariable config("XDG_CONFIG_HOME", (folder + QStringLiteral("/config")).toUtf8());
    const QString entry = folder + QStringLiteral("/config/autostart/com.ombrix.Ferrovane.desktop");
    ASSERT_EQ(AutostartEntry::Path(), entry);
    DialogDriver driver;

    QAction* item = OpenMenuItem(driver);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("Start at &login"));
    EXPECT_TRUE(item->isCheckable());
    EXPECT_FALSE(item->isChecked());
    // It sits beside the About item.
    const QList<QAction*> items = driver.Find<QMenu>("windowMenu")->actions();
    const auto at = items.indexOf(item);
    ASSERT_GE(at, 0);
    ASSERT_LT(at + 1, items.size());
    EXPECT_EQ(items.at(at + 1)->objectName(), QStringLiteral("aboutAction"));

    Choose(driver, item);
    ASSERT_TRUE(QFile::exists(entry));
    const QString text = Read(entry);
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nType=Application\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=") +
                              AutostartEntry::ExecValue(QCoreApplication::applicationFilePath()) +
                              QLatin1Char('\n')))
        << text.toStdString();
    EXPECT_TRUE(AppMessageBox::History().isEmpty());
    // The entry is a valid desktop entry where the validator is at hand.
    const QString validator =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (!validator.isEmpty()) {
        QProcess check;
        check.start(validator, {entry});
        ASSERT_TRUE(check.waitForFinished(30000));
        EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardOutput().toStdString();
    }

    item = OpenMenuItem(driver);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isChecked());
    Choose(driver, item);
    EXPECT_FALSE(QFile::exists(entry));
    item = OpenMenuItem(driver);
    EXPECT_FALSE(item->isChecked());

    // An entry made or removed behind the window's back shows at the next opening.
    Choose(driver, item);
    ASSERT_TRUE(QFile::remove(entry));
    item = OpenMenuItem(driver);
    EXPECT_FALSE(item->isChecked());
    driver.Find<QMenu>("windowMenu")->close();
}

TEST_F(StartAtLoginTest, AConfigHomeThatIsUnsetOrNotAbsoluteMeansDotConfig)
{
    const ScopedVariable home("HOME", folder.toUtf8());
    const QString expected =
        folder + QStringLiteral("/.config/autostart/com.ombrix.Ferrovane.desktop");
    for (const QByteArray& value :
         {QByteArray(), QByteArray("relative/config"), QByteArray("~/x")}) {
        const ScopedVariable config("XDG_CONFIG_HOME", value);
        EXPECT_EQ(AutostartEntry::Path(), expected) << value.toStdString();
    }
    {
        const ScopedVariable config("XDG_CONFIG_HOME", QByteArray("unused"));
        qunsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(AutostartEntry::Path(), expected);
        DialogDriver driver;
        QAction* item = OpenMenuItem(driver);
        ASSERT_NE(item, nullptr);
        Choose(driver, item);
        EXPECT_TRUE(QFile::exists(expected));
        item = OpenMenuItem(driver);
        Choose(driver, item);
        EXPECT_FALSE(QFile::exists(expected));
    }
}

TEST_F(StartAtLoginTest, AnEntryThatCannotBeWrittenIsToldAndLeftUnchecked)
{
    const ScopedVariable config("XDG_CONFIG_HOME", (folder + QStringLiteral("/config")).toUtf8());
    // A file where the autostart folder would be.
    QDir().mkpath(folder + QStringLiteral("/config"));
    QFile blocker(folder + QStringLiteral("/config/autostart"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    DialogDriver driver;
    QAction* item = OpenMenuItem(driver);
    ASSERT_NE(item, nullptr);
    AppMessageBox::SetNextAnswer(QMessageBox::Ok);
    Choose(driver, item);
    EXPECT_FALSE(item->isChecked());
    ASSERT_EQ(AppMessageBox::History().size(), 1);
    EXPECT_TRUE(AppMessageBox::History().front().text.contains(QStringLiteral("autostart")));
}

TEST(AutostartExec, APathIsQuotedAndEscapedAsDesktopEntriesRead)
{
    const struct
    {
        const char* path;
        const char* value;
    } cases[] = {
        {"/usr/bin/ferrovane", "/usr/bin/ferrovane"},
        {"/opt/my apps/ferrovane", "\"/opt/my apps/ferrovane\""},
        // Inside the quotes '"', '`', '$' and '\' take a backslash; the string value then
        // doubles every backslash.
        {"/opt/a\"b/ferrovane", "\"/opt/a\\\\\"b/ferrovane\""},
        {"/opt/$HOME/ferrovane", "\"/opt/\\\\$HOME/ferrovane\""},
        {"/opt/a\\b/ferrovane", "\"/opt/a\\\\\\\\b/ferrovane\""},
        {"/opt/it's/ferrovane", "\"/opt/it's/ferrovane\""},
        // A field code's '%' is doubled, quoted or not.
        {"/opt/100%/ferrovane", "/opt/100%%/ferrovane"},
        {"/opt/100% sure/ferrovane", "\"/opt/100%% sure/ferrovane\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AutostartEntry::ExecValue(QString::fromUtf8(c.path)).toStdString(), c.value)
            << c.path;
    }
}

TEST(AutostartExec, TheProgramIsNamedAsItWasStartedWithLinksKept)
{
    // A link's name names the settings file, so the entry starts the link, not its target.
    const QString folder = QString::fromStdString(MakeTempDir("ferrovane-link"));
    const QString running = QCoreApplication::applicationFilePath();
    const QString link = folder + QStringLiteral("/uploader");
    ASSERT_TRUE(QFile::link(running, link));
    // Absolute, relative to the folder started in, found on the search path; else the running one.
    for (const char* started : {"", "/uploader", "./../x/../uploader", "uploader", "missing"}) {
        const QString given =
            started[0] == '/' ? folder + QLatin1String(started) : QLatin1String(started);
        const QString expected = QByteArray(started).contains("uploader") ? link : running;
        EXPECT_EQ(AutostartEntry::ProgramPath(given, folder + QStringLiteral("/x"), folder),
                  expected)
            << started;
    }
    RemoveTree(folder.toStdString());
}
