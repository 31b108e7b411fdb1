#pragma once

#include <QByteArray>
#include <QString>

namespace Warden {

// Everything one send needs, copied, so that the send shares nothing with the state.
struct MailJob {
    QByteArray to;
    QByteArray from;
    QByteArray host;
    quint16 port = 0;
    QByteArray user;
    QByteArray password;
    bool useTLS = false;
    QByteArray subject;
    QByteArray body;
    // Report mails leave their outcome in "app.log"; the test e-mail only shows it.
    bool logOutcome = true;
    // Comes back with the outcome, so the sender knows which of its mails it was.
    QString id;
    // Sends with the same lane go one at a time, in the order they were queued: the outbox gives each
    // mail server a lane of its own, so that a server that does not answer holds only its own mails.
    QByteArray lane;
};

} // namespace Warden
