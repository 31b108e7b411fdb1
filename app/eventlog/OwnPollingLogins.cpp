#include "OwnPollingLogins.h"

#include <QHostAddress>
#include <QNetworkInterface>

#include <algorithm>

namespace Warden {

namespace {

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

} // namespace

OwnPollingLogins::OwnPollingLogins(QList<QByteArray> hostAddresses, AdminOf adminOf)
    : addresses_(std::move(hostAddresses))
    , adminOf_(std::move(adminOf)) {
    addresses_.removeAll(QByteArray());
}

QList<QByteArray> OwnPollingLogins::localAddresses() {
    QList<QByteArray> texts;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        QHostAddress plain = address;
        plain.setScopeId(QString());
        bool mapped = false;
        const quint32 v4 = plain.toIPv4Address(&mapped);
        texts.append((mapped ? QHostAddress(v4) : plain).toString().toLatin1());
    }
    return texts;
}

bool OwnPollingLogins::containsWord(const QByteArray& text, const QByteArray& word) {
    if (word.isEmpty())
        return false;
    for (qsizetype at = text.indexOf(word); at >= 0; at = text.indexOf(word, at + 1)) {
        const qsizetype end = at + word.size();
        const bool startsWord = at == 0 || (!isWordChar(text[at - 1]) && text[at - 1] != '.');
        const bool endsWord =
            end == text.size() || (!isWordChar(text[end]) &&
                                   !(text[end] == '.' && end + 1 < text.size() && isWordChar(text[end + 1])));
        if (startsWord && endsWord)
            return true;
    }
    return false;
}

OwnPollingLogins::Known& OwnPollingLogins::knownOf(Business::ControllerId owner) const {
    auto it = known_.find(owner);
    if (it == known_.end())
        it = known_.emplace(owner, Known{adminOf_(owner), {}, false, false}).first;
    return it->second;
}

bool OwnPollingLogins::matches(const Business::Event& event) const {
    if (event.kind != Business::EventKind::login_success || !event.owner || !adminOf_)
        return false;
    Known& known = knownOf(event.owner);
    if (known.admin.isEmpty())
        return false;
    // Our checks log the same text again and again.
    if (known.hasLast && known.lastLogin == event.raw)
        return known.lastOurs;
    const bool ours = containsWord(event.raw, known.admin) &&
                      std::any_of(addresses_.begin(), addresses_.end(), [&event](const QByteArray& address) {
                          return containsWord(event.raw, address);
                      });
    known.lastLogin = event.raw;
    known.lastOurs = ours;
    known.hasLast = true;
    return ours;
}

} // namespace Warden
