// A failing job told through a session bus of the test's own to a notification service that
// keeps every call.
#include "tests/gui/support/DialogDriver.h"

#include <QDBusConnection>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

class RecordingNotices : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public Q_SLOTS:
    uint Notify(const QString& app, uint, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int)
    {
        calls << QStringList{app, icon, summary, body, actions.join(u','), hints.keys().join(u',')}
                     .join(u'|');
        return 1;
    }

public:
    QStringList calls;
};

TEST(DesktopNotices, AFailingJobReachesTheDesktopWithoutItsPassword)
{
    QProcess daemon;
    daemon.start(u"dbus-daemon"_s, u"--session --nofork --print-address"_s.split(u' '));
    ASSERT_TRUE(daemon.waitForReadyRead(30000));
    const QByteArray address = daemon.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address); // before the window's first notice
    RecordingNotices service;
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(address), u"service"_s);
    bus.registerObject(u"/org/freedesktop/Notifications"_s, &service,
                       QDBusConnection::ExportAllSlots);
    ASSERT_TRUE(bus.registerService(u"org.freedesktop.Notifications"_s));

    DialogDriver driver;
    driver.AddJob(u"127.0.0.1"_s, u"ann"_s, u"/a"_s, u"/in/a.csv"_s, 60, u"21"_s, false,
                  u"s3cret"_s);
    driver.UseStandIn(
        [](const FileRequest&) { return StandInTransport::Failed("530 <s3cret> & no\r\n"); });
    driver.ClickRow(0);
    driver.Click("updateNowButton");
    ASSERT_TRUE(QTest::qWaitFor([&service] { return !service.calls.isEmpty(); }, 30000));
    EXPECT_EQ(service.calls.join(u'\n').toStdString(),
              "Ferrovane|com.ombrix.Ferrovane|An upload job is failing|/in/a.csv on 127.0.0.1: 530 "
              "&lt;****&gt; &amp; no||desktop-entry");
}

#include "DesktopNotices_test.moc"
