#include "app/DesktopNotifier.h"

#include "app/WidgetText.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QStringList>
#include <QVariantMap>

void DesktopNotifier::Send(const std::string& title, const std::string& body)
{
    // The bus is reached at the first notice, not at start-up; Qt keeps the connection, or that
    // there is none.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // The desktop entry lets the service show the program's name and icon as its launcher has
    // them. The services of the common desktops read markup in the body, so the texts that come
    // from servers are escaped to show as they are.
    const QString appId = QStringLiteral("com.ombrix.Ferrovane");
    const QVariantMap hints{{QStringLiteral("desktop-entry"), appId}};
    call << QStringLiteral("Ferrovane") << 0u << appId << FromText(title)
         << FromText(body).toHtmlEscaped() << QStringList() << hints << -1;
    // The reply, the notice's number, is of no use to us, and neither is an error (no service).
    bus.asyncCall(call);
}
