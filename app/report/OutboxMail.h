#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

namespace Warden {

// One report mail as it waits in the outbox, and its file. The mail server is named by what makes it
// that server (host, port, user, TLS) and by serverId, which covers its password too; the password
// never reaches the disk and is looked up in the settings at each attempt, so a password changed in
// the meantime is the one used.
struct OutboxMail {
    QByteArray to;
    QByteArray from;
    QByteArray serverHost;
    quint16 serverPort = 0;
    QByteArray serverUser;
    bool serverTLS = false;
    // mailServerId() of the server: tells apart two entries that differ only in their password.
    // Empty in files written before it existed.
    QByteArray serverId;
    QByteArray controller;
    QByteArray subject;
    qint64 queued = 0;      // first queued, seconds since 1970
    int attempts = 0;       // failed attempts so far
    qint64 nextAttempt = 0; // not tried again before this time
    QByteArray lastError;   // the last attempt's reason, for whoever reads a file in outbox/failed
    QByteArray body;

    // The server as the file names it: serverId, or what older files have.
    QByteArray serverKey() const;
    // Mails to one recipient through one server go out in the order they were queued.
    QByteArray orderKey() const;

    // "name: value" lines (values percent-encoded, so any byte fits on one line), a blank line, then
    // the body exactly as it will be sent.
    QByteArray toFile() const;
    // Nothing for a file that is not an outbox mail, lacks what a send needs or holds a time before
    // 1970 or after the year 9999.
    static std::optional<OutboxMail> fromFile(const QByteArray& data);

    bool operator==(const OutboxMail&) const = default;
};

// A name for a mail server's settings, password included, from which the password cannot be read
// back: a truncated SHA-256 of them all.
QByteArray mailServerId(const QByteArray& host, quint16 port, const QByteArray& user, bool useTLS,
                        const QByteArray& password);

} // namespace Warden
