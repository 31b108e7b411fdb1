#include "report/QMailer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace Warden {

namespace {

// Set by tests; the lookup beside the program and on PATH otherwise.
struct ProgramSetting {
    std::mutex mutex;
    QString program;
};

ProgramSetting& programSetting() {
    static ProgramSetting setting;
    return setting;
}

QString argumentText(const QByteArray& text) {
    // Texts are UTF-8 throughout the program and QProcess encodes arguments as UTF-8 again, so
    // decoding them as UTF-8 is what hands postwing the very same bytes.
    return QString::fromUtf8(text);
}

// postwing's eight arguments; the sixth, the password, stays empty (see startSend()).
QStringList postwingArguments(const MailJob& job) {
    return {argumentText(job.to),
            argumentText(job.from),
            argumentText(job.host),
            QString::number(job.port),
            argumentText(job.user),
            QString(),
            job.useTLS ? QStringLiteral("1") : QStringLiteral("0"),
            argumentText(job.subject)};
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

void QMailer::startSend(const MailJob& job) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("POSTWING_PASSWORD"), QString::fromUtf8(job.password));
    environment.insert(QStringLiteral("POSTWING_MESSAGE_LENGTH"), QString::number(job.body.size()));
    environment.insert(QStringLiteral("POSTWING_PARENT_PID"),
                       QString::number(QCoreApplication::applicationPid()));
    setProcessEnvironment(environment);
    start(postwingProgram(), postwingArguments(job), QIODevice::ReadWrite | QIODevice::Unbuffered);
    // Buffered by QProcess until the child runs, and written on as its pipe takes it.
    write(job.body);
    closeWriteChannel();
}

MailResult QMailer::result(int limitMs) {
    // A send that never happened must not read as a sent message: the error text is the only outcome
    // the callers look at, so every way of failing leaves a reason in it.
    if (limitMs > 0)
        return {MailStatus::timedOut,
                "postwing did not finish within " + QByteArray::number(limitMs / 1000.0, 'g', 6) + " s\n",
                sessionLog_};
    if (error() == QProcess::FailedToStart) {
        QByteArray text =
            "postwing could not be started: " + errorString().toUtf8() + " (" + program().toUtf8() + ")";
        // Arguments longer than the system passes on (a huge controller name in the subject): this
        // mail will never start it.
        text += errorString().contains(QString::fromLocal8Bit(std::strerror(E2BIG))) ? "; not sent.\n" : "\n";
        return {MailStatus::notStarted, text, {}};
    }
    // What the last read notification left behind.
    readStdErr();
    readStdOut();
    if (exitStatus() == QProcess::CrashExit)
        return {MailStatus::crashed,
                errorLog_ + "postwing stopped unexpectedly: " + errorString().toUtf8() + "\n", sessionLog_};
    return {errorLog_.isEmpty() ? MailStatus::sent : MailStatus::refused, errorLog_, sessionLog_};
}

void setPostwingProgram(const QString& path) {
    ProgramSetting& setting = programSetting();
    std::lock_guard lock(setting.mutex);
    setting.program = path;
}

QString postwingProgram() {
    {
        ProgramSetting& setting = programSetting();
        std::lock_guard lock(setting.mutex);
        if (!setting.program.isEmpty())
            return setting.program;
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

MailResult sendEmail(const MailJob& job, const MailLimits& limits) {
    QMailer mailer;
    mailer.startSend(job);
    int limitMs = 0;
    if (mailer.waitForStarted(limits.startMs) && !mailer.waitForFinished(limits.finishMs)) {
        mailer.kill();
        mailer.waitForFinished(1000);
        limitMs = limits.finishMs;
    }
    return mailer.result(limitMs);
}

} // namespace Warden
