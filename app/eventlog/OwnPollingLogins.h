#pragma once

#include "core/Event.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <unordered_map>

namespace Warden {

// Tells the logins of our own checks among a controller's log rows and syslog messages. Every check
// logs in as the controller's configured admin, and the controller logs that with the address it saw,
// which is one of this host's: a successful login whose text names both is ours. A login from another
// host or by another user, and every failed login, is somebody else's business and stays.
class OwnPollingLogins {
public:
    // The configured admin login of a controller, empty for one that is gone.
    using AdminOf = std::function<QByteArray(Business::ControllerId)>;

    OwnPollingLogins() = default; // knows no address: takes no login for ours
    OwnPollingLogins(QList<QByteArray> hostAddresses, AdminOf adminOf);

    // This host's addresses, loopback included, as a controller writes them.
    static QList<QByteArray> localAddresses();

    bool matches(const Business::Event& event) const;
    // Admin logins were changed: they are asked again.
    void forget() { known_.clear(); }

    // `word` stands in `text` on its own: "10.0.0.5" is not in "10.0.0.50", "admin" not in
    // "administrator"; a full stop ending a sentence does not count as part of it.
    static bool containsWord(const QByteArray& text, const QByteArray& word);

private:
    // Asked once per controller: a million events hold a few hundred thousand logins.
    struct Known {
        QByteArray admin;
        QByteArray lastLogin; // the text of its last login judged, and whether it was ours
        bool lastOurs;
        bool hasLast;
    };
    Known& knownOf(Business::ControllerId owner) const;

    QList<QByteArray> addresses_;
    AdminOf adminOf_;
    mutable std::unordered_map<Business::ControllerId, Known> known_;
};

} // namespace Warden
