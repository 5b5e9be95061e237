// A job that fails and recovers, told through a session bus of the test's own to a notification
// service that keeps every call.
#include "tests/gui/support/DialogDriver.h"

#include <QDBusConnection>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

class RecordingNotices : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList calls; // all but the numbers, the hints by name
public Q_SLOTS:
    uint Notify(const QString& app, uint, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int)
    {
        calls << QStringList{app, icon, summary, body, actions.join(u','), hints.keys().join(u',')}
                     .join(u'|');
        return 1;
    }
};

TEST(DesktopNotices, AFailureAndTheRecoveryReachTheDesktopWithoutThePassword)
{
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--print-address")});
    ASSERT_TRUE(daemon.waitForReadyRead(30000));
    const QByteArray address = daemon.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address); // before the window's first notice
    RecordingNotices service;
    QDBusConnection bus =
        QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("service"));
    bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                       QDBusConnection::ExportAllSlots);
    ASSERT_TRUE(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));

    DialogDriver driver;
    driver.AddJob(QStringLiteral("127.0.0.1"), QStringLiteral("ann"), QStringLiteral("/a"),
                  QStringLiteral("/in/a.csv"), 60, QStringLiteral("21"), false,
                  QStringLiteral("s3cret"));
    bool fail = true;
    driver.UseStandIn([&fail](const FileRequest&) {
        return fail ? StandInTransport::Failed("530 <s3cret> & no\r\n") : StandInTransport::Ok();
    });
    for (const qsizetype told : {1, 2}) {
        fail = told == 1;
        driver.ClickRow(0);
        driver.Click("updateNowButton");
        ASSERT_TRUE(QTest::qWaitFor([&] { return service.calls.size() == told; }, 30000));
    }
    EXPECT_EQ(service.calls.join(u'\n').toStdString(),
              "Ferrovane|com.ombrix.Ferrovane|An upload job is failing|/in/a.csv on 127.0.0.1: 530 "
              "&lt;****&gt; &amp; no||desktop-entry\nFerrovane|com.ombrix.Ferrovane|An upload job "
              "works again|/in/a.csv on 127.0.0.1||desktop-entry");
}

#include "DesktopNotices_test.moc"
