#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace Warden {

// The child process of one send: postwing, with its two output channels collected as they arrive
// (standard error, the error log; standard output, the session log).
class QMailer final : public QProcess {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QMailer)

public:
    QMailer();

    // Starts postwing and hands it the message; returns at once. `arguments` come from
    // postwingArguments(). The password, the message's length and this program's id travel in
    // postwing's environment: a command line is readable by every local user, and with the length
    // and the id postwing sends nothing but a whole message, and nothing after this program died.
    void startSend(const QStringList& arguments, const QByteArray& password, const QByteArray& message);
    // Once it ended: postwing's error log, empty when the server accepted the message with 250, with
    // a reason added when it did not run or did not end by itself. `limitMs` is the limit it was
    // stopped at, if it was.
    QByteArray outcome(int limitMs = 0);
    const QByteArray& sessionLog() const { return sessionLog_; }

public slots:
    void readStdOut();
    void readStdErr();

private:
    QByteArray errorLog_;
    QByteArray sessionLog_;
};

// postwing's eight arguments; the sixth, the password, stays empty (see startSend()).
QStringList postwingArguments(const char* to, const char* from, const char* host, const quint16* port,
                              const char* user, const bool* useTLS, const char* subject);

// One message through postwing, waiting for it (up to the start and finish limits). Takes the send
// lock; the caller releases it by taking text 0 with takeMailLog() (or takeMailError()) right after,
// on the same thread, so that a send and the reading of its outcome never interleave with another
// send through this function.
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

// Time limits of one sendEmail(), in milliseconds (tests shorten them).
void setMailTimeouts(int startMs, int finishMs);

} // namespace Warden
