#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

namespace Warden {

// The child process of one send: postwing, with its two output channels collected into the mailer's
// texts (0 = standard error, the error log; 1 = standard output, the session log) as they arrive.
class QMailer final : public QProcess {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QMailer)

public:
    QMailer();

public slots:
    void readStdOut();
    void readStdErr();
};

// One message through postwing: the recipient's settings on its command line, the password in its
// environment (POSTWING_PASSWORD; a command line is readable by every local user), the message with
// its length on its standard input. Blocks for up to the start and finish limits (30 s each). Takes
// the send lock; the caller releases it by taking text 0 with takeMailLog() (or takeMailError()) right
// after, on the same thread, so that a send and the reading of its outcome never interleave with
// another send.
void sendEmail(const char* to, const char* from, const char* host, const quint16* port, const char* user,
               const char* password, const bool* useTLS, const char* subject, const QByteArray& message);

// Length in bytes of text 0 or 1; 0 for any other index.
int mailLogLength(int index);
// Copies text 0 or 1 into `buffer` (at least mailLogLength(index) bytes, no terminator) and empties it.
// Taking text 0 ends the send that the calling thread started.
void takeMailLog(int index, char* buffer);

// mailLogLength(0) and takeMailLog(0) in one: the outcome of the last send, empty when the server
// accepted the message with 250.
QByteArray takeMailError();

// Where postwing is found: an explicit program set here (tests), else "postwing" beside the running
// program, else the first "postwing" on PATH.
void setPostwingProgram(const QString& path);
QString postwingProgram();

// The program is ending: the send in progress is cut off (its postwing killed) and later sends fail
// at once with a reason in the error text.
void abortMailSends();
// Sends work again (after the queue that aborted them is gone).
void resumeMailSends();

// Time limits of one send, in milliseconds (tests shorten them).
void setMailTimeouts(int startMs, int finishMs);

} // namespace Warden
