#include "app/TrustQuestion.h"

#include "app/AppMessageBox.h"
#include "app/WidgetText.h"

TrustQuestion MakeTrustQuestion(const ServerIdentity& server)
{
    const bool tls = server.kind == ServerIdentity::Kind::Tls;
    const QString where = QStringLiteral("%1 port %2").arg(FromText(server.host)).arg(server.port);
    QString text;
    if (server.changed) {
        text = QStringLiteral("WARNING: the identity of the server %1 has changed since you chose "
                              "to trust it. This may be an attack: someone may be posing as the "
                              "server to capture your password and files. Go on only if you know "
                              "that the server's %2 was replaced.\n\n")
                   .arg(where, tls ? QStringLiteral("certificate") : QStringLiteral("host key"));
    } else if (tls && server.dates == ServerIdentity::Dates::Expired) {
        text =
            QStringLiteral("The identity of the server %1 could not be verified: its certificate "
                           "expired on %2.\n\n")
                .arg(where, FromText(server.notAfter));
    } else if (tls && server.dates == ServerIdentity::Dates::NotYetValid) {
        text =
            QStringLiteral("The identity of the server %1 could not be verified: its certificate "
                           "is not valid before %2.\n\n")
                .arg(where, FromText(server.notBefore));
    } else {
        text = tls ? QStringLiteral("The identity of the server %1 could not be verified: no "
                                    "authority this computer trusts vouches for its certificate, "
                                    "or the certificate names another host.\n\n")
                         .arg(where)
                   : QStringLiteral("The server %1 is not known yet, so its identity cannot be "
                                    "verified.\n\n")
                         .arg(where);
    }
    if (tls) {
        text += QStringLiteral("Certificate SHA-256 fingerprint:\n%1\n\nSubject: %2\nIssuer: "
                               "%3\nValid from %4 to %5\n\n")
                    .arg(FromText(server.fingerprint), FromText(server.subject),
                         FromText(server.issuer), FromText(server.notBefore),
                         FromText(server.notAfter));
    } else {
        text += QStringLiteral("Host key (%1) fingerprint:\n%2\n\n")
                    .arg(FromText(server.keyType), FromText(server.fingerprint));
    }
    text += server.changed ? QStringLiteral("Trust the new identity from now on, in place of the "
                                            "one recorded?")
                           : QStringLiteral("Trust this server from now on?");
    return {text, server.changed ? QMessageBox::Warning : QMessageBox::Question};
}

void AskToTrustLater(QWidget* window, const ServerIdentity& server,
                     std::function<void(bool trusted)> answered)
{
    const TrustQuestion question = MakeTrustQuestion(server);
    AppMessageBox::AskLater(window, question.text, question.icon,
                            [answered = std::move(answered)](QMessageBox::StandardButton button) {
                                answered(button == QMessageBox::Yes);
                            });
}

void TellTrustNotRecorded(QWidget* window, const std::string& why)
{
    AppMessageBox::ShowLater(
        window,
        QStringLiteral("The server could not be recorded as trusted: %1.").arg(FromText(why)),
        QMessageBox::Warning);
}
