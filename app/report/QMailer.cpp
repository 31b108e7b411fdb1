#include "report/QMailer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

namespace Warden {

namespace {

// Texts 0 and 1 of sendEmail() and the settings; the texts are only touched by the thread that holds
// the send lock.
struct MailerState {
    QByteArray texts[2];
    QString program;
    int startMs = 30000;
    int finishMs = 30000;
    std::mutex settingsMutex;
};

MailerState& mailerState() {
    static MailerState s;
    return s;
}

// Held from the start of a send until its text 0 is taken. A thread that sends again without taking
// keeps the lock (its texts then accumulate, as they always did) instead of deadlocking on itself.
class SendLock {
public:
    void acquire() {
        std::unique_lock lock(mutex_);
        const auto me = std::this_thread::get_id();
        if (owner_ == me)
            return;
        free_.wait(lock, [this] { return !owner_; });
        owner_ = me;
    }
    void release() {
        std::lock_guard lock(mutex_);
        if (owner_ != std::this_thread::get_id())
            return;
        owner_.reset();
        free_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable free_;
    std::optional<std::thread::id> owner_;
};

SendLock& sendLock() {
    static SendLock lock;
    return lock;
}

QString argumentText(const char* text) {
    // Texts are UTF-8 throughout the program and QProcess encodes arguments as UTF-8 again, so
    // decoding them as UTF-8 is what hands postwing the very same bytes.
    return QString::fromUtf8(text ? text : "");
}

} // namespace

QMailer::QMailer() {
    connect(this, &QProcess::readyReadStandardOutput, this, &QMailer::readStdOut);
    connect(this, &QProcess::readyReadStandardError, this, &QMailer::readStdErr);
}

void QMailer::readStdOut() {
    sessionLog_ += readAllStandardOutput();
}

void QMailer::readStdErr() {
    errorLog_ += readAllStandardError();
}

void QMailer::startSend(const QStringList& arguments, const QByteArray& password, const QByteArray& message) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("POSTWING_PASSWORD"), QString::fromUtf8(password));
    environment.insert(QStringLiteral("POSTWING_MESSAGE_LENGTH"), QString::number(message.size()));
    environment.insert(QStringLiteral("POSTWING_PARENT_PID"),
                       QString::number(QCoreApplication::applicationPid()));
    setProcessEnvironment(environment);
    start(postwingProgram(), arguments, QIODevice::ReadWrite | QIODevice::Unbuffered);
    // Buffered by QProcess until the child runs, and written on as its pipe takes it.
    write(message);
    closeWriteChannel();
}

QByteArray QMailer::outcome(int limitMs) {
    // A send that never happened must not read as a sent message: the error text is the only outcome
    // the callers look at, so every way of failing leaves a reason in it.
    if (limitMs > 0)
        return "postwing did not finish within " + QByteArray::number(limitMs / 1000.0, 'g', 6) + " s\n";
    if (error() == QProcess::FailedToStart) {
        const QByteArray text =
            "postwing could not be started: " + errorString().toUtf8() + " (" + program().toUtf8() + ")";
        // Arguments longer than the system passes on (a huge controller name in the subject): this
        // mail will never start it.
        if (errorString().contains(QString::fromLocal8Bit(std::strerror(E2BIG))))
            return text + "; not sent.\n";
        return text + "\n";
    }
    // What the last read notification left behind.
    readStdErr();
    readStdOut();
    QByteArray text = errorLog_;
    if (exitStatus() == QProcess::CrashExit)
        text += "postwing stopped unexpectedly: " + errorString().toUtf8() + "\n";
    return text;
}

QStringList postwingArguments(const char* to, const char* from, const char* host, const quint16* port,
                              const char* user, const bool* useTLS, const char* subject) {
    return {argumentText(to),
            argumentText(from),
            argumentText(host),
            QString::number(port ? *port : 0),
            argumentText(user),
            QString(),
            useTLS && *useTLS ? QStringLiteral("1") : QStringLiteral("0"),
            argumentText(subject)};
}

void setPostwingProgram(const QString& path) {
    std::lock_guard lock(mailerState().settingsMutex);
    mailerState().program = path;
}

QString postwingProgram() {
    {
        std::lock_guard lock(mailerState().settingsMutex);
        if (!mailerState().program.isEmpty())
            return mailerState().program;
    }
    if (QCoreApplication::instance()) {
        const QFileInfo beside(
            QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("postwing")));
        if (beside.isFile() && beside.isExecutable())
            return beside.absoluteFilePath();
    }
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("postwing"));
    return onPath.isEmpty() ? QStringLiteral("postwing") : onPath;
}

void setMailTimeouts(int startMs, int finishMs) {
    std::lock_guard lock(mailerState().settingsMutex);
    mailerState().startMs = startMs;
    mailerState().finishMs = finishMs;
}

void sendEmail(const char* to, const char* from, const char* host, const quint16* port, const char* user,
               const char* password, const bool* useTLS, const char* subject, const QByteArray& message) {
    sendLock().acquire();
    MailerState& s = mailerState();
    int startMs = 0;
    int finishMs = 0;
    {
        std::lock_guard lock(s.settingsMutex);
        startMs = s.startMs;
        finishMs = s.finishMs;
    }

    QMailer mailer;
    mailer.startSend(postwingArguments(to, from, host, port, user, useTLS, subject),
                     QByteArray(password ? password : ""), message);
    int limitMs = 0;
    if (mailer.waitForStarted(startMs) && !mailer.waitForFinished(finishMs)) {
        mailer.kill();
        mailer.waitForFinished(1000);
        limitMs = finishMs;
    }
    s.texts[0] += mailer.outcome(limitMs);
    // Nobody reads the session log; keeping only the last one stops it growing for ever.
    s.texts[1] = mailer.sessionLog();
}

int mailLogLength(int index) {
    if (index != 0 && index != 1)
        return 0;
    return static_cast<int>(mailerState().texts[index].size());
}

void takeMailLog(int index, char* buffer) {
    if (index != 0 && index != 1)
        return;
    QByteArray& text = mailerState().texts[index];
    std::copy(text.cbegin(), text.cend(), buffer);
    text.clear();
    if (index == 0)
        sendLock().release();
}

QByteArray takeMailError() {
    QByteArray text(mailLogLength(0), Qt::Uninitialized);
    takeMailLog(0, text.data());
    return text;
}

} // namespace Warden
