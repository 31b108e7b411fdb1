#pragma once

#include <QByteArray>

namespace Warden {

// What a failed send's error text says about trying again.
enum class MailFailure {
    none,      // empty text: the server took the message with 250
    transient, // no answer, a time limit, a 4xx reply, postwing not started: worth another try
    permanent, // the server refused with 5xx, or the mail sender refused the mail as it is ("; not
               // sent."): another try would get the same answer
};

// Only the lines before the session log ("Session:") count: the log repeats earlier replies,
// including those that a later command made harmless.
MailFailure classifyMailError(const QByteArray& error);

// One line for "app.log": the 5xx reply or the mail sender's refusal when there is one, else the lines before
// the session log joined, cut to a length a log reader can take in.
QByteArray mailErrorReason(const QByteArray& error);

} // namespace Warden
