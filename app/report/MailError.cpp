#include "report/MailError.h"

#include <QList>

#include <cctype>

namespace Warden {

namespace {

QList<QByteArray> linesBeforeSession(const QByteArray& error) {
    QList<QByteArray> lines;
    for (QByteArray line : error.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("Session:"))
            break;
        lines.append(line);
    }
    return lines;
}

// "550 ...", "554-..." or a bare "550": a reply code of the 5xx class opening the line. Refused
// recipients may come indented under a heading.
bool isPermanentReply(const QByteArray& line) {
    const QByteArray text = line.trimmed();
    if (text.size() < 3 || text.at(0) != '5' || !std::isdigit(static_cast<unsigned char>(text.at(1))) ||
        !std::isdigit(static_cast<unsigned char>(text.at(2))))
        return false;
    return text.size() == 3 || text.at(3) == ' ' || text.at(3) == '-';
}

// What the mail sender refused before any server saw the mail (a line break in an address, a login
// longer than PLAIN carries, a command line longer than the system passes on): the same mail meets
// the same refusal at every attempt.
bool isRefusedUnsent(const QByteArray& line) {
    return line.trimmed().endsWith("; not sent.");
}

} // namespace

MailFailure classifyMailError(const QByteArray& error) {
    if (error.isEmpty())
        return MailFailure::none;
    for (const QByteArray& line : linesBeforeSession(error))
        if (isPermanentReply(line) || isRefusedUnsent(line))
            return MailFailure::permanent;
    return MailFailure::transient;
}

QByteArray mailErrorReason(const QByteArray& error) {
    constexpr qsizetype longest = 300;
    QByteArray reason;
    for (const QByteArray& line : linesBeforeSession(error)) {
        if (isPermanentReply(line) || isRefusedUnsent(line))
            return line.trimmed().left(longest);
        const QByteArray text = line.simplified();
        if (text.isEmpty())
            continue;
        if (!reason.isEmpty())
            reason += ' ';
        reason += text;
    }
    return reason.left(longest);
}

} // namespace Warden
