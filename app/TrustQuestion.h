#pragma once

#include "transfer/ServerIdentity.h"

#include <QMessageBox>
#include <QString>
#include <functional>
#include <string>

class QWidget;

// The question put to the user about a server whose identity could not be verified, with what
// identifies it: the certificate's or host key's fingerprint and, for a certificate, its subject,
// issuer and dates. A changed identity is told as the warning it is.
struct TrustQuestion
{
    QString text;
    QMessageBox::Icon icon;
};

TrustQuestion MakeTrustQuestion(const ServerIdentity& server);

// Puts the question to the user without waiting for the answer: `answered` gets true once the
// answer is yes, false for any other way the box closes.
void AskToTrustLater(QWidget* window, const ServerIdentity& server,
                     std::function<void(bool trusted)> answered);

// Tells the user, without waiting, that the server they chose to trust could not be recorded,
// and why.
void TellTrustNotRecorded(QWidget* window, const std::string& why);
