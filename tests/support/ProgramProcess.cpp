#include "ProgramProcess.h"

#include <QDeadlineTimer>
#include <QTest>

#include <QHostAddress>
#include <QSharedMemory>
#include <QTcpSocket>

#include <csignal>
#include <cstring>

namespace Warden::Test {

ProgramProcess::ProgramProcess(const QString& program, const QString& workingDirectory)
    : program_(program)
    , environment_(QProcessEnvironment::systemEnvironment()) {
    if (!workingDirectory.isEmpty())
        process_.setWorkingDirectory(workingDirectory);
    environment_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment_.insert(QStringLiteral("AMPWARDEN_AUTOCLOSE_BOXES"), QStringLiteral("1"));
}

ProgramProcess::~ProgramProcess() {
    if (process_.state() != QProcess::NotRunning)
        kill();
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

bool anotherInstanceRuns() {
    QSharedMemory segment(QStringLiteral("AmpwardenPort"));
    if (!segment.attach(QSharedMemory::ReadOnly))
        return false;
    quint16 port = 0;
    if (segment.lock()) {
        std::memcpy(&port, segment.constData(), sizeof port);
        segment.unlock();
    }
    segment.detach();
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return port != 0 && probe.waitForConnected(2000);
}

} // namespace Warden::Test
