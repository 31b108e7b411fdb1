#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace Warden::Test {

// A program under test started as a separate process: offscreen, its output collected. Killed by
// the destructor if still running; when the test has failed by then, what the program printed is
// shown with the failure.
class ProgramProcess {
public:
    explicit ProgramProcess(const QString& program, const QString& workingDirectory = QString());
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    void setEnvironmentValue(const QString& name, const QString& value);
    void removeEnvironmentValue(const QString& name);
    bool start(const QStringList& arguments, int timeoutMs = 10000);
    // SIGTERM, as a session manager or systemd stops the program; true when it ended in time.
    bool terminate(int timeoutMs = 10000);
    void kill();
    // Reads what arrived so far; the texts accumulate.
    const QByteArray& output();
    const QByteArray& errors();
    // Waits (with the event loop running) until `line` shows on standard output; returns the line.
    QByteArray waitForLine(const QByteArray& prefix, int timeoutMs = 15000);
    qint64 pid() const { return process_.processId(); }
    // Standard output and error so far, on this process's standard error.
    void printOutput();

    QProcess& process() { return process_; }

private:
    QString program_;
    QProcess process_;
    QProcessEnvironment environment_;
    QByteArray output_;
    QByteArray errors_;
    qsizetype consumed_ = 0;
};

// What lets the program run beside any other copy, a user's or another test's: a single-instance key
// of its own and a free syslog port.
QString uniqueInstanceKey();
quint16 freeUdpPort();
// The arguments for an unattended start (message boxes print themselves and close) with `key` and
// syslog on `syslogPort`, after `first` ("hidden" or none).
QStringList programArguments(const QString& key, quint16 syslogPort, const QString& first = QString());
// The wake-up port a running program published under `key`, or 0.
quint16 publishedPort(const QString& key);

} // namespace Warden::Test
