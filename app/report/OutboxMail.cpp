#include "report/OutboxMail.h"

#include <QCryptographicHash>
#include <QList>

#include <algorithm>
#include <map>

namespace Warden {

namespace {

constexpr char magic[] = "Ampwarden-Outbox: 1";

// Readable for anyone who opens the file, yet never a line break or a '%' left unencoded.
QByteArray encoded(const QByteArray& value) {
    return value.toPercentEncoding(" !\"#$&'()*+,/:;<=>?@[\\]^`{|}~");
}

std::optional<qint64> number(const std::map<QByteArray, QByteArray>& fields, const char* name) {
    const auto it = fields.find(name);
    if (it == fields.end())
        return std::nullopt;
    bool ok = false;
    const qint64 value = it->second.toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

// 1970 up to the end of the year 9999: our own files hold nothing else, and any difference of two such
// times, or such a time and a delay, stays far inside 64 bits.
std::optional<qint64> time(const std::map<QByteArray, QByteArray>& fields, const char* name) {
    constexpr qint64 latest = 253402300799;
    const auto value = number(fields, name);
    return value && *value >= 0 && *value <= latest ? value : std::nullopt;
}

} // namespace

QByteArray mailServerId(const QByteArray& host, quint16 port, const QByteArray& user, bool useTLS,
                        const QByteArray& password) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("Ampwarden mail server\n");
    // Each value with its length: no two different settings give the same bytes.
    for (const QByteArray& value :
         {host, QByteArray::number(port), user, QByteArray(useTLS ? "1" : "0"), password}) {
        hash.addData(QByteArray::number(value.size()) + ':');
        hash.addData(value);
    }
    return hash.result().left(16).toHex();
}

QByteArray OutboxMail::serverKey() const {
    if (!serverId.isEmpty())
        return serverId;
    return serverHost + ':' + QByteArray::number(serverPort) + ' ' + serverUser + (serverTLS ? " tls" : "");
}

QByteArray OutboxMail::orderKey() const {
    return serverKey() + '\n' + to;
}

QByteArray OutboxMail::toFile() const {
    QByteArray data = QByteArray(magic) + '\n';
    const auto field = [&data](const char* name, const QByteArray& value) {
        data += QByteArray(name) + ": " + encoded(value) + '\n';
    };
    field("to", to);
    field("from", from);
    field("server-host", serverHost);
    field("server-port", QByteArray::number(serverPort));
    field("server-user", serverUser);
    field("server-tls", serverTLS ? "1" : "0");
    field("server-id", serverId);
    field("controller", controller);
    field("subject", subject);
    field("queued", QByteArray::number(queued));
    field("attempts", QByteArray::number(attempts));
    field("next-attempt", QByteArray::number(nextAttempt));
    field("last-error", lastError);
    return data + '\n' + body;
}

std::optional<OutboxMail> OutboxMail::fromFile(const QByteArray& data) {
    const qsizetype end = data.indexOf("\n\n");
    if (end < 0)
        return std::nullopt;
    const QList<QByteArray> lines = data.left(end).split('\n');
    if (lines.value(0) != magic)
        return std::nullopt;
    std::map<QByteArray, QByteArray> fields;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(": ");
        if (colon <= 0)
            return std::nullopt;
        fields[lines.at(i).left(colon)] = QByteArray::fromPercentEncoding(lines.at(i).mid(colon + 2));
    }
    const auto port = number(fields, "server-port");
    const auto queued = time(fields, "queued");
    const auto attempts = number(fields, "attempts");
    const auto nextAttempt = time(fields, "next-attempt");
    if (!fields.contains("to") || !port || *port < 0 || *port > 65535 || !queued || !attempts ||
        *attempts < 0 || !nextAttempt)
        return std::nullopt;
    OutboxMail mail;
    mail.to = fields["to"];
    mail.from = fields["from"];
    mail.serverHost = fields["server-host"];
    mail.serverPort = static_cast<quint16>(*port);
    mail.serverUser = fields["server-user"];
    mail.serverTLS = fields["server-tls"] == "1";
    mail.serverId = fields["server-id"];
    mail.controller = fields["controller"];
    mail.subject = fields["subject"];
    mail.queued = *queued;
    mail.attempts = static_cast<int>(std::min<qint64>(*attempts, 1 << 20));
    mail.nextAttempt = *nextAttempt;
    mail.lastError = fields["last-error"];
    mail.body = data.mid(end + 2);
    return mail;
}

} // namespace Warden
