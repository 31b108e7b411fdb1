#pragma once

#include <QByteArray>

namespace Warden::Business {

// Why the check of one controller gave nothing to read, decided where it is known: the connection
// and the answer by the HTTP client, a page without its clock by the page parser. Carried with the
// check's outcome to whoever shows or mails it, so that a user reads the cause instead of a bare
// "no answer" and app.log is only needed for the finer points.
struct CheckFailure {
    enum class Kind {
        none,
        timedOut,     // nothing (whole) within the deadline
        refused,      // the connection was refused
        noConnection, // another failure to connect (host not found, network unreachable)
        notHttp,      // the connection closed, or sent something other than HTTP, before an answer
        loginRefused, // 401 or 403
        errorPage,    // another status than 200
        brokenOff,    // the answer broke off and what came holds no clock
        noClock,      // the pages came, the controller's clock was not on them
        tooLarge,     // an answer past its cap
    };

    Kind kind = Kind::none;
    // The deadline in ms (timedOut), the HTTP status (loginRefused, errorPage); 0 otherwise.
    int code = 0;
    // What more is known: the socket's words, the reason phrase, the page and the cap.
    QByteArray detail;

    bool failed() const { return kind != Kind::none; }
    // The cause in a user's words ("no answer within 25 s", "login refused (401)"), the detail after
    // a colon; empty for none.
    QByteArray text() const;

    friend bool operator==(const CheckFailure&, const CheckFailure&) = default;
};

} // namespace Warden::Business
