// Without a session bus, a notice shows nothing, says nothing and returns.
#include "app/DesktopNotifier.h"

#include <QByteArray>
#include <gtest/gtest.h>

TEST(DesktopNotifier, WithoutABusNothingIsShownOrSaid)
{
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArrayLiteral("unix:path=/nonexistent/bus"));
    static int said = 0;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { ++said; });
    DesktopNotifier().Send("An upload job is failing", "/in/a.csv on 127.0.0.1: 530");
    EXPECT_EQ(said, 0);
}
