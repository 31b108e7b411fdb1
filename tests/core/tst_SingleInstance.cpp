#include "ProgramProcess.h"
#include "TestSupport.h"

#include "core/InstanceGuard.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSharedMemory>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

using Warden::InstanceGuard;
using Warden::Test::programArguments;
using Warden::Test::publishedPort;

namespace {

class Program : public Warden::Test::ProgramProcess {
public:
    explicit Program(const QString& dir)
        : ProgramProcess(QStringLiteral(AMPWARDEN_BINARY), dir) {}
};

// Each test's own key, so that tests and a user's Ampwarden run side by side.
struct Instance {
    QString key = Warden::Test::uniqueInstanceKey();
    quint16 syslogPort = Warden::Test::freeUdpPort();
    QStringList arguments(const QString& first = QString()) const {
        return programArguments(key, syslogPort, first);
    }
};

bool waitForPort(const QString& key, quint16 differentFrom, int timeoutMs, quint16* port) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        *port = publishedPort(key);
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
    void initTestCase();
    void secondStart_wakesTheFirstAndLeaves();
    void killedInstance_leavesNoObstacleForTheNext();
    void terminationSignal_endsWithoutAClick_data();
    void terminationSignal_endsWithoutAClick();
    void segmentAtNewKeyFile_orphanTakenOverLiveOneLeft_data();
    void segmentAtNewKeyFile_orphanTakenOverLiveOneLeft();
    void otherUsersObjects_neitherStopNorHoldTheStart_data();
    void otherUsersObjects_neitherStopNorHoldTheStart();
    void privateDirectory_onlyTheUsersOwn_data();
    void privateDirectory_onlyTheUsersOwn();
    void noRuntimeDirectoryNoHome_ownTemporaryDirectoryOrReason_data();
    void noRuntimeDirectoryNoHome_ownTemporaryDirectoryOrReason();

private:
    // The guard's files go here instead of the user's own directories.
    QTemporaryDir runtimeDir_;
};

void SingleInstanceTest::initTestCase() {
    QVERIFY(runtimeDir_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
}

void SingleInstanceTest::secondStart_wakesTheFirstAndLeaves() {
    const Instance instance;
    QTemporaryDir dir;
    Program first(dir.path());
    first.start(instance.arguments(QStringLiteral("hidden")));
    quint16 port = 0;
    QVERIFY(waitForPort(instance.key, 0, 20000, &port));

    Program second(dir.path());
    second.start(instance.arguments());
    QVERIFY(second.process().waitForFinished(20000));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 0);
    QCOMPARE(second.output(), QByteArray()); // woken without a complaint
    QTRY_VERIFY_WITH_TIMEOUT(first.errors().contains("resumeProgram()"), 10000);
    QCOMPARE(publishedPort(instance.key), port);

    // Stop (here through SIGTERM, as a session manager would) says goodbye and ends cleanly.
    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(first.terminate());
    QVERIFY2(stopping.elapsed() < 5000, "Stop took too long");
    QCOMPARE(first.process().exitCode(), 0);
    QVERIFY(first.output().contains("Bye!: Emails will no longer be sent\n"));
    QTRY_COMPARE_WITH_TIMEOUT(publishedPort(instance.key), quint16(0), 5000);
}

void SingleInstanceTest::killedInstance_leavesNoObstacleForTheNext() {
    const Instance instance;
    QTemporaryDir dir;
    quint16 stalePort = 0;
    {
        Program crashed(dir.path());
        crashed.start(instance.arguments(QStringLiteral("hidden")));
        QVERIFY(waitForPort(instance.key, 0, 20000, &stalePort));
        crashed.process().kill(); // SIGKILL: no clean-up of any kind
        QVERIFY(crashed.process().waitForFinished(5000));
    }
    Program next(dir.path());
    QElapsedTimer timer;
    timer.start();
    next.start(instance.arguments(QStringLiteral("hidden")));
    quint16 port = 0;
    QVERIFY(waitForPort(instance.key, stalePort, 5000, &port));
    QVERIFY(timer.elapsed() < 5000);
    QCOMPARE(next.process().state(), QProcess::Running);

    Program waker(dir.path());
    waker.start(instance.arguments());
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
    const Instance instance;
    QTemporaryDir dir;
    Program program(dir.path());
    QStringList arguments = instance.arguments(QStringLiteral("hidden"));
    arguments.removeAll(QStringLiteral("--unattended"));
    program.start(arguments);
    quint16 port = 0;
    QVERIFY2(waitForPort(instance.key, 0, 20000, &port), "the program never published its port");
    // A pid of 0 would signal this test's own process group.
    QCOMPARE(program.process().state(), QProcess::Running);
    QVERIFY(program.pid() > 0);
    ::kill(static_cast<pid_t>(program.pid()), signal);
    QVERIFY2(program.process().waitForFinished(10000), "still running after the signal");
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process().exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(publishedPort(instance.key), quint16(0), 5000);
}

void SingleInstanceTest::segmentAtNewKeyFile_orphanTakenOverLiveOneLeft_data() {
    QTest::addColumn<bool>("attached");
    QTest::newRow("left by a killed instance: taken over") << false;
    QTest::newRow("someone attached: left alone") << true;
}

// The key file's inode number names the segment, and a killed instance's key file may be gone while
// its segment stays: a new key file that gets the same number finds the segment only at creation.
void SingleInstanceTest::segmentAtNewKeyFile_orphanTakenOverLiveOneLeft() {
    QFETCH(bool, attached);
    // Segments that other programs left on this machine may already sit at a key file's number.
    QString key;
    int id = -1;
    for (int attempt = 0; id == -1 && attempt < 20; ++attempt) {
        key = Warden::Test::uniqueInstanceKey();
        const QString keyFile =
            runtimeDir_.filePath(QStringLiteral("%1-%2.segment").arg(key).arg(::geteuid()));
        QFile file(keyFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        id = ::shmget(::ftok(QFile::encodeName(keyFile).constData(), 'Q'), sizeof(quint16),
                      IPC_CREAT | IPC_EXCL | 0600);
    }
    QVERIFY2(id != -1, std::strerror(errno));
    void* const mapped = attached ? ::shmat(id, nullptr, 0) : nullptr;
    const auto removeOurs = qScopeGuard([&] {
        if (mapped)
            ::shmdt(mapped);
        ::shmctl(id, IPC_RMID, nullptr);
    });

    InstanceGuard guard(key);
    InstanceGuard::Failure failure;
    QVERIFY2(guard.publish(4711, &failure) != attached, qPrintable(failure.title + ": " + failure.text));
    QCOMPARE(publishedPort(key), attached ? quint16(0) : quint16(4711));
}

void SingleInstanceTest::otherUsersObjects_neitherStopNorHoldTheStart_data() {
    QTest::addColumn<bool>("holdLock");
    QTest::newRow("segment with a port of theirs: the start would leave silently") << false;
    QTest::newRow("segment whose lock they hold: the start would hang") << true;
}

// What another local user can put where a guard named by its key alone would look: the shared
// temporary directory, through the same Qt calls.
void SingleInstanceTest::otherUsersObjects_neitherStopNorHoldTheStart() {
    QFETCH(bool, holdLock);
    const QString key = Warden::Test::uniqueInstanceKey();
    QTcpServer theirs;
    QVERIFY(theirs.listen(QHostAddress::LocalHost));
    QSharedMemory planted(key);
    QVERIFY2(planted.create(sizeof(quint16)), qPrintable(planted.errorString()));
    const quint16 theirPort = theirs.serverPort();
    std::memcpy(planted.data(), &theirPort, sizeof theirPort);
    if (holdLock)
        QVERIFY(planted.lock());

    // The guard runs on a thread of its own, so that a start that hangs fails here instead of holding
    // the whole test.
    InstanceGuard guard(key);
    InstanceGuard::Failure failure;
    std::atomic<int> woke{-1};
    std::thread start([&] {
        guard.removeStaleSegment();
        woke = guard.wakeRunningInstance(&failure, 2000) ? 1 : 0;
    });
    const auto finish = qScopeGuard([&] {
        if (holdLock)
            planted.unlock();
        start.join();
    });
    QTRY_VERIFY_WITH_TIMEOUT(woke != -1, InstanceGuard::lockTimeoutMs + 5000);
    QCOMPARE(woke.load(), 0);
    QVERIFY2(failure.title.isEmpty(), qPrintable(failure.text));
    QVERIFY2(guard.publish(4711, &failure), qPrintable(failure.text));
    QCOMPARE(publishedPort(key), quint16(4711));
}

void SingleInstanceTest::privateDirectory_onlyTheUsersOwn_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("own, owner only: used") << QStringLiteral("own");
    QTest::newRow("another user's") << QStringLiteral("foreign");
    QTest::newRow("others may write to it") << QStringLiteral("shared");
    QTest::newRow("symbolic link") << QStringLiteral("link");
}

// What XDG_RUNTIME_DIR names is used only when nobody else can put files into it.
void SingleInstanceTest::privateDirectory_onlyTheUsersOwn() {
    QFETCH(QString, kind);
    QTemporaryDir base;
    QString candidate = base.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkdir(candidate));
    QVERIFY(::chmod(QFile::encodeName(candidate).constData(), 0700) == 0);
    if (kind == QLatin1String("foreign")) {
        if (::geteuid() != 0)
            QSKIP("only root can give a directory to another user");
        QVERIFY(::chown(QFile::encodeName(candidate).constData(), 65534, 65534) == 0);
    } else if (kind == QLatin1String("shared")) {
        QVERIFY(::chmod(QFile::encodeName(candidate).constData(), 0777) == 0);
    } else if (kind == QLatin1String("link")) {
        const QString link = base.filePath(QStringLiteral("link"));
        QVERIFY(QFile::link(candidate, link));
        candidate = link;
    }
    const QByteArray previous = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(candidate));
    const QString chosen = InstanceGuard::privateDirectory().path;
    qputenv("XDG_RUNTIME_DIR", previous);
    QCOMPARE(chosen == candidate, kind == QLatin1String("own"));
    QVERIFY(!chosen.isEmpty());
}

void SingleInstanceTest::noRuntimeDirectoryNoHome_ownTemporaryDirectoryOrReason_data() {
    QTest::addColumn<QString>("found");      // what stands at the fallback's name before the start
    QTest::addColumn<QByteArray>("refusal"); // empty: the start runs
    QTest::newRow("nothing: made 0700 and used") << QString() << QByteArray();
    QTest::newRow("own directory 0700 from an earlier start: used") << QStringLiteral("700") << QByteArray();
    QTest::newRow("a directory others may read")
        << QStringLiteral("755") << QByteArray(" has mode 755, not 700");
    QTest::newRow("a symbolic link") << QStringLiteral("link") << QByteArray(" is a symbolic link");
}

// A service account: no XDG_RUNTIME_DIR, a home that does not exist. The guard then lives in the
// temporary directory, where someone else may have been first.
void SingleInstanceTest::noRuntimeDirectoryNoHome_ownTemporaryDirectoryOrReason() {
    QFETCH(QString, found);
    QFETCH(QByteArray, refusal);
    QTemporaryDir temporary;
    const QString fallback = temporary.filePath(QStringLiteral("ampwarden-%1").arg(::geteuid()));
    if (found == QLatin1String("link")) {
        QVERIFY(QDir().mkdir(temporary.filePath(QStringLiteral("elsewhere"))));
        QVERIFY(QFile::link(temporary.filePath(QStringLiteral("elsewhere")), fallback));
    } else if (!found.isEmpty()) {
        QVERIFY(QDir().mkdir(fallback));
        QVERIFY(::chmod(QFile::encodeName(fallback).constData(), found.toUInt(nullptr, 8)) == 0);
    }
    const Instance instance;
    QTemporaryDir dir;
    const auto start = [&](Program& program, const QString& first) {
        program.removeEnvironmentValue(QStringLiteral("XDG_RUNTIME_DIR"));
        program.removeEnvironmentValue(QStringLiteral("XDG_CACHE_HOME"));
        program.setEnvironmentValue(QStringLiteral("HOME"), QStringLiteral("/nonexistent"));
        program.setEnvironmentValue(QStringLiteral("TMPDIR"), temporary.path());
        program.start(instance.arguments(first));
    };
    Program first(dir.path());
    start(first, QStringLiteral("hidden"));
    if (!refusal.isEmpty()) {
        QVERIFY(first.process().waitForFinished(20000));
        QCOMPARE(first.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.process().exitCode(), 0);
        QVERIFY2(first.output().startsWith("Bye: no private directory: XDG_RUNTIME_DIR is not set; "
                                           "/nonexistent/.cache: "),
                 first.output().constData());
        QVERIFY2(first.output().contains(fallback.toUtf8() + refusal), first.output().constData());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        QFile::exists(fallback + QStringLiteral("/%1-%2.segment").arg(instance.key).arg(::geteuid())), 20000);
    struct stat st {};
    QVERIFY(::lstat(QFile::encodeName(fallback).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0700));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/nonexistent")));

    // The guard works there: a second start of the same account wakes the first.
    Program second(dir.path());
    start(second, QString());
    QVERIFY(second.process().waitForFinished(20000));
    QCOMPARE(second.process().exitCode(), 0);
    QCOMPARE(second.output(), QByteArray());
    QTRY_VERIFY_WITH_TIMEOUT(first.errors().contains("resumeProgram()"), 10000);
    QVERIFY(first.terminate());
    QCOMPARE(first.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_SingleInstance.moc"
