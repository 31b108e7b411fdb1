#pragma once

#include "report/MailJob.h"

#include <QByteArray>
#include <QProcess>
#include <QString>

namespace Warden {

// How one send through postwing ended.
enum class MailStatus {
    sent,       // the server accepted the message with 250
    refused,    // postwing ran to its end and reported why the message did not go
    notStarted, // postwing could not be started
    timedOut,   // postwing was stopped at the time limit
    crashed,    // postwing ended abnormally
};

// The outcome of one send.
struct MailResult {
    MailStatus status = MailStatus::sent;
    // postwing's error log (with the server's replies that refused the message), or the reason it did
    // not run or did not end by itself: empty exactly when the message was sent. What callers show and
    // log.
    QByteArray error;
    // postwing's session log: the whole dialogue with the server, the password hidden.
    QByteArray sessionLog;

    bool sent() const { return status == MailStatus::sent; }
};

// The child process of one send: postwing, with its two output channels collected as they arrive
// (standard error, the error log; standard output, the session log).
class QMailer final : public QProcess {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QMailer)

public:
    QMailer();

    // Starts postwing and hands it the message; returns at once. The password, the message's length
    // and this program's id travel in postwing's environment: a command line is readable by every
    // local user, and with the length and the id postwing sends nothing but a whole message, and
    // nothing after this program died.
    void startSend(const MailJob& job);
    // Once it ended. `limitMs` is the limit it was stopped at, if it was.
    MailResult result(int limitMs = 0);

public slots:
    void readStdOut();
    void readStdErr();

private:
    QByteArray errorLog_;
    QByteArray sessionLog_;
};

// Time limits of one sendEmail(), in milliseconds.
struct MailLimits {
    int startMs = 30000;
    int finishMs = 30000;
};

// One message through postwing, waiting for it to end within `limits`. Any thread; sends from several
// threads run side by side, each with its own outcome.
MailResult sendEmail(const MailJob& job, const MailLimits& limits = {});

// Where postwing is found: an explicit program set here (tests), else "postwing" beside the running
// program, else the first "postwing" on PATH.
void setPostwingProgram(const QString& path);
QString postwingProgram();

} // namespace Warden
