#include "ProgramProcess.h"

#include <QDeadlineTimer>
#include <QTest>

#include "core/InstanceGuard.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QUdpSocket>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace Warden::Test {

ProgramProcess::ProgramProcess(const QString& program, const QString& workingDirectory)
    : program_(program)
    , environment_(QProcessEnvironment::systemEnvironment()) {
    if (!workingDirectory.isEmpty())
        process_.setWorkingDirectory(workingDirectory);
    environment_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
}

ProgramProcess::~ProgramProcess() {
    if (process_.state() != QProcess::NotRunning)
        kill();
    if (QTest::currentTestFailed())
        printOutput();
}

void ProgramProcess::printOutput() {
    std::fprintf(stderr, "---- %s %s: standard output\n%s\n---- standard error\n%s\n----\n",
                 qPrintable(program_), qPrintable(process_.arguments().join(QLatin1Char(' '))),
                 output().right(8000).constData(), errors().right(8000).constData());
}

void ProgramProcess::setEnvironmentValue(const QString& name, const QString& value) {
    environment_.insert(name, value);
}

void ProgramProcess::removeEnvironmentValue(const QString& name) {
    environment_.remove(name);
}

bool ProgramProcess::start(const QStringList& arguments, int timeoutMs) {
    process_.setProcessEnvironment(environment_);
    process_.start(program_, arguments);
    return process_.waitForStarted(timeoutMs);
}

bool ProgramProcess::terminate(int timeoutMs) {
    if (process_.state() == QProcess::NotRunning)
        return true;
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    return process_.waitForFinished(timeoutMs);
}

void ProgramProcess::kill() {
    process_.kill();
    process_.waitForFinished(5000);
}

const QByteArray& ProgramProcess::output() {
    output_ += process_.readAllStandardOutput();
    return output_;
}

const QByteArray& ProgramProcess::errors() {
    errors_ += process_.readAllStandardError();
    return errors_;
}

QByteArray ProgramProcess::waitForLine(const QByteArray& prefix, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        const QByteArray& text = output();
        qsizetype at = text.indexOf(prefix, consumed_);
        if (at >= 0 && (at == 0 || text.at(at - 1) == '\n')) {
            const qsizetype end = text.indexOf('\n', at);
            if (end >= 0) {
                consumed_ = end + 1;
                return text.mid(at, end - at);
            }
        }
        if (process_.state() == QProcess::NotRunning)
            break;
        QTest::qWait(20);
    }
    return {};
}

QString uniqueInstanceKey() {
    static std::atomic<int> count{0};
    return QStringLiteral("AmpwardenTest-%1-%2").arg(QCoreApplication::applicationPid()).arg(++count);
}

quint16 freeUdpPort() {
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::Any, 0))
        return 0;
    return probe.localPort();
}

QStringList programArguments(const QString& key, quint16 syslogPort, const QString& first) {
    QStringList arguments;
    if (!first.isEmpty())
        arguments << first;
    arguments << QStringLiteral("--unattended") << QStringLiteral("--instance-key") << key
              << QStringLiteral("--syslog-port") << QString::number(syslogPort);
    return arguments;
}

quint16 publishedPort(const QString& key) {
    return InstanceGuard(key).publishedPort();
}

} // namespace Warden::Test
