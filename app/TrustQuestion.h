#pragma once

#include "transfer/ServerIdentity.h"

#include <QMessageBox>
#include <QString>

// The question put to the user about a server whose identity could not be verified, with what
// identifies it: the certificate's or host key's fingerprint and, for a certificate, its subject,
// issuer and dates. A changed identity is told as the warning it is.
struct TrustQuestion
{
    QString text;
    QMessageBox::Icon icon;
};

TrustQuestion MakeTrustQuestion(const ServerIdentity& server);
