#include "report/QMailer.h"

#include <atomic>
#include <csignal>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace Warden {

namespace {

// Texts 0 and 1 and the settings; the texts are only touched by the thread that holds the send lock.
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
    mailerState().texts[1] += readAllStandardOutput();
}

void QMailer::readStdErr() {
    mailerState().texts[0] += readAllStandardError();
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

namespace {
// The postwing of the send in progress, so that the end of the program need not wait for a mail
// server that does not answer.
std::atomic<qint64> runningChild{0};
std::atomic<bool> sendsAborted{false};
} // namespace

void abortMailSends() {
    sendsAborted = true;
    if (const qint64 pid = runningChild.load(); pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}

void resumeMailSends() {
    sendsAborted = false;
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
    // Nobody reads the session log; keeping only the last one stops it growing for ever.
    s.texts[1].clear();

    const QStringList arguments{argumentText(to),
                                argumentText(from),
                                argumentText(host),
                                QString::number(port ? *port : 0),
                                argumentText(user),
                                QString(),
                                useTLS && *useTLS ? QStringLiteral("1") : QStringLiteral("0"),
                                argumentText(subject)};

    QMailer mailer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("POSTWING_PASSWORD"), argumentText(password));
    mailer.setProcessEnvironment(environment);
    const QString program = postwingProgram();
    if (sendsAborted) {
        s.texts[0] += "postwing was not started: the program is ending\n";
        return;
    }
    mailer.start(program, arguments, QIODevice::ReadWrite | QIODevice::Unbuffered);
    // A send that never happened must not read as a sent message: the error text is the only outcome
    // the callers look at, so every way of failing here leaves a reason in it.
    if (!mailer.waitForStarted(startMs)) {
        s.texts[0] += "postwing could not be started: " + mailer.errorString().toUtf8() + " (" +
                      program.toUtf8() + ")\n";
        return;
    }
    runningChild = mailer.processId();
    if (sendsAborted)
        ::kill(static_cast<pid_t>(mailer.processId()), SIGKILL);
    mailer.write(message);
    mailer.closeWriteChannel();
    const bool finished = mailer.waitForFinished(finishMs);
    runningChild = 0;
    if (!finished) {
        mailer.terminate();
        if (!mailer.waitForFinished(1000))
            mailer.kill();
        mailer.waitForFinished(1000);
        s.texts[0] +=
            "postwing did not finish within " + QByteArray::number(finishMs / 1000.0, 'g', 6) + " s\n";
        return;
    }
    // What the last read notification left behind.
    mailer.readStdErr();
    mailer.readStdOut();
    if (mailer.exitStatus() == QProcess::CrashExit)
        s.texts[0] += "postwing stopped unexpectedly: " + mailer.errorString().toUtf8() + "\n";
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
