#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace Warden::Test {

// A program under test started as a separate process: offscreen, with message boxes that print
// themselves and close, its output collected. Killed by the destructor if still running.
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

    QProcess& process() { return process_; }

private:
    QString program_;
    QProcess process_;
    QProcessEnvironment environment_;
    QByteArray output_;
    QByteArray errors_;
    qsizetype consumed_ = 0;
};

// True when an Ampwarden already runs on this machine (its instance segment answers). Tests that start
// the program need the machine to themselves: a second start only wakes the running one.
bool anotherInstanceRuns();

} // namespace Warden::Test
