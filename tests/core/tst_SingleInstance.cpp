#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>

namespace {

// The running program's wake-up port as published in the instance segment, or 0.
quint16 publishedPort() {
    QSharedMemory segment(QStringLiteral("AmpwardenPort"));
    if (!segment.attach(QSharedMemory::ReadOnly))
        return 0;
    quint16 port = 0;
    if (segment.lock()) {
        std::memcpy(&port, segment.constData(), sizeof port);
        segment.unlock();
    }
    segment.detach();
    return port;
}

class Program : public Warden::Test::ProgramProcess {
public:
    explicit Program(const QString& dir) : ProgramProcess(QStringLiteral(AMPWARDEN_BINARY), dir) {}
    void start(const QStringList& arguments) { ProgramProcess::start(arguments); }
};

bool waitForPort(quint16 differentFrom, int timeoutMs, quint16* port) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        *port = publishedPort();
        if (*port != 0 && *port != differentFrom)
            return true;
        QTest::qWait(50);
    }
    return false;
}

} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

private slots:
    void secondStart_wakesTheFirstAndLeaves();
    void killedInstance_leavesNoObstacleForTheNext();
    void terminationSignal_endsWithoutAClick_data();
    void terminationSignal_endsWithoutAClick();
};

void SingleInstanceTest::secondStart_wakesTheFirstAndLeaves() {
    QVERIFY2(!Warden::Test::anotherInstanceRuns(), "an Ampwarden runs on this machine: stop it before these tests");
    QTemporaryDir dir;
    Program first(dir.path());
    first.start({QStringLiteral("hidden")});
    quint16 port = 0;
    QVERIFY2(waitForPort(0, 20000, &port), (first.output() + first.errors()).constData());

    Program second(dir.path());
    second.start({});
    QVERIFY(second.process().waitForFinished(20000));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 0);
    QCOMPARE(second.output(), QByteArray()); // woken without a complaint
    QTRY_VERIFY_WITH_TIMEOUT(first.errors().contains("resumeProgram()"), 10000);
    QCOMPARE(publishedPort(), port);

    // Stop (here through SIGTERM, as a session manager would) says goodbye and ends cleanly.
    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(first.terminate());
    QVERIFY2(stopping.elapsed() < 5000, "Stop took too long");
    QCOMPARE(first.process().exitCode(), 0);
    QVERIFY(first.output().contains("Bye!: Emails will no longer be sent\n"));
    QTRY_COMPARE_WITH_TIMEOUT(publishedPort(), quint16(0), 5000);
}

void SingleInstanceTest::killedInstance_leavesNoObstacleForTheNext() {
    QTemporaryDir dir;
    quint16 stalePort = 0;
    {
        Program crashed(dir.path());
        crashed.start({QStringLiteral("hidden")});
        QVERIFY2(waitForPort(0, 20000, &stalePort), (crashed.output() + crashed.errors()).constData());
        crashed.process().kill(); // SIGKILL: no clean-up of any kind
        QVERIFY(crashed.process().waitForFinished(5000));
    }
    Program next(dir.path());
    QElapsedTimer timer;
    timer.start();
    next.start({QStringLiteral("hidden")});
    quint16 port = 0;
    QVERIFY2(waitForPort(stalePort, 5000, &port), (next.output() + next.errors()).constData());
    QVERIFY(timer.elapsed() < 5000);
    QCOMPARE(next.process().state(), QProcess::Running);

    Program waker(dir.path());
    waker.start({});
    QVERIFY(waker.process().waitForFinished(20000));
    QCOMPARE(waker.process().exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(next.errors().contains("resumeProgram()"), 10000);
    QVERIFY(next.terminate());
}

void SingleInstanceTest::terminationSignal_endsWithoutAClick_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM: systemd stopping the unit, a session logging out") << int(SIGTERM);
    QTest::newRow("SIGINT: Ctrl-C in the terminal that started it") << int(SIGINT);
}

// Nobody clicks here: the goodbye box must not hold a hidden program that was asked to end.
void SingleInstanceTest::terminationSignal_endsWithoutAClick() {
    QFETCH(int, signal);
    QTemporaryDir dir;
    Program program(dir.path());
    program.removeEnvironmentValue(QStringLiteral("AMPWARDEN_AUTOCLOSE_BOXES"));
    program.start({QStringLiteral("hidden")});
    quint16 port = 0;
    QVERIFY2(waitForPort(0, 20000, &port), "the program never published its port");
    // A pid of 0 would signal this test's own process group.
    QCOMPARE(program.process().state(), QProcess::Running);
    QVERIFY(program.pid() > 0);
    ::kill(static_cast<pid_t>(program.pid()), signal);
    QVERIFY2(program.process().waitForFinished(10000), "still running after the signal");
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process().exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(publishedPort(), quint16(0), 5000);
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_SingleInstance.moc"
