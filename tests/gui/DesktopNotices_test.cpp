// Notices on the desktop: through a session bus the test starts, to a notification service of ours
// that keeps every call; and without a bus, where nothing is shown and nothing said.
#include "app/DesktopNotifier.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/TempHome.h"

#include <QDBusConnection>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

namespace {
// The desktop's notification service, as far as Ferrovane uses it.
class RecordingNotices : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList calls; // every argument of each call, the hints by their names
public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int timeout)
    {
        calls << QStringList{app,
                             QString::number(replaces),
                             icon,
                             summary,
                             body,
                             actions.join(u','),
                             QStringList(hints.keys()).join(u','),
                             QString::number(timeout)}
                     .join(u'|');
        return static_cast<uint>(calls.size());
    }
};
} // namespace

TEST(DesktopNotices, AJobThatFailsAndRecoversIsToldOnTheSessionBusWithoutItsPassword)
{
    const std::string folder = MakeTempDir("ferrovane-bus");
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--print-address"),
                  QString::fromStdString("--address=unix:path=" + folder + "/bus")});
    ASSERT_TRUE(daemon.waitForReadyRead(30000)) << daemon.errorString().toStdString();
    const QByteArray address = daemon.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    RecordingNotices service;
    QDBusConnection bus =
        QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("service"));
    ASSERT_TRUE(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                   QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    {
        DialogDriver driver;
        driver.AddJob(QStringLiteral("127.0.0.1"), QStringLiteral("ann"), QStringLiteral("/a"),
                      QStringLiteral("/in/a.csv"), 60, QStringLiteral("21"), false,
                      QStringLiteral("s3cret"));
        bool fail = true;
        driver.UseStandIn([&fail](const FileRequest&) {
            return fail ? StandInTransport::Failed("530 <s3cret> & no\r\n")
                        : StandInTransport::Ok();
        });
        for (const qsizetype told : {1, 2}) {
            fail = told == 1;
            driver.ClickRow(0);
            driver.Click("updateNowButton");
            ASSERT_TRUE(driver.WaitForRuns());
            ASSERT_TRUE(QTest::qWaitFor([&] { return service.calls.size() == told; }, 30000));
        }
    }
    EXPECT_EQ(service.calls.join(u'\n').toStdString(),
              "Ferrovane|0|com.ombrix.Ferrovane|An upload job is failing|/in/a.csv on 127.0.0.1: "
              "530 &lt;****&gt; &amp; no||desktop-entry|-1\n"
              "Ferrovane|0|com.ombrix.Ferrovane|An upload job works again|/in/a.csv on "
              "127.0.0.1||desktop-entry|-1");
    QDBusConnection::disconnectFromBus(QStringLiteral("service"));
    daemon.terminate();
    daemon.waitForFinished();
    RemoveTree(folder);
}

// In a process of its own, where the session bus has never been reached: any message the toolkit
// gave would show on its standard error.
TEST(DesktopNotices, WithoutABusNothingIsShownOrSaid)
{
    if (qEnvironmentVariableIsSet("FERROVANE_NO_BUS")) {
        DesktopNotifier().Send("An upload job is failing", "/in/a.csv on 127.0.0.1: 530");
        return;
    }
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=/nonexistent/bus"));
    environment.insert(QStringLiteral("FERROVANE_NO_BUS"), QStringLiteral("1"));
    // A runtime folder of its own, so that the toolkit has nothing to say at start-up either.
    const std::string runtime = MakeTempDir("ferrovane-runtime");
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=DesktopNotices.WithoutABus*")});
    ASSERT_TRUE(child.waitForFinished(60000));
    EXPECT_TRUE(child.exitCode() == 0 &&
                child.readAllStandardOutput().contains("PASSED  ] 1 test"));
    EXPECT_EQ(child.readAllStandardError().toStdString(), "");
    RemoveTree(runtime);
}

#include "DesktopNotices_test.moc"
