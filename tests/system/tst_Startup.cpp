#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using Warden::Test::ProgramProcess;

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void unwritableFiles_programStillRunsAndStops();
    void commandLine_data();
    void commandLine();
    void metricsAddressTaken_loggedAndRunsOn();

private:
    // The guard's files go here instead of the user's own directories.
    QTemporaryDir runtimeDir_;
};

void StartupTest::initTestCase() {
    QVERIFY(runtimeDir_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
}

// Tests run as root, so permissions cannot make the directory unwritable; what stands where the
// program's files belong has the same effect: every file it writes fails to open.
void StartupTest::unwritableFiles_programStillRunsAndStops() {
    QTemporaryDir dir;
    for (const char* name : {"app.log", "AMW.log", "Ampwarden.xml"})
        QVERIFY(QDir(dir.path()).mkdir(QString::fromLatin1(name)));
    QFile blocker(dir.filePath(QStringLiteral("log")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    const QString key = Warden::Test::uniqueInstanceKey();
    ProgramProcess program(QStringLiteral(AMPWARDEN_BINARY), dir.path());
    QVERIFY(program.start(
        Warden::Test::programArguments(key, Warden::Test::freeUdpPort(), QStringLiteral("hidden"))));
    QTRY_VERIFY_WITH_TIMEOUT(Warden::Test::publishedPort(key) != 0, 20000);
    QCOMPARE(program.process().state(), QProcess::Running);
    QVERIFY(program.terminate());
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process().exitCode(), 0);
    QVERIFY(program.output().contains("Bye!: Emails will no longer be sent"));
}

void StartupTest::commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("printed");
    QTest::newRow("--help names the options")
        << QStringList{"--help"} << 0 << QByteArray("--syslog-port <port>");
    QTest::newRow("--version") << QStringList{"--version"} << 0 << QByteArray("1.0");
    QTest::newRow("port out of range")
        << QStringList{"hidden", "--syslog-port", "70000"} << 2 << QByteArray();
    QTest::newRow("port that is no number")
        << QStringList{"hidden", "--syslog-port", "x"} << 2 << QByteArray();
    QTest::newRow("option without its value") << QStringList{"hidden", "--instance-key"} << 2 << QByteArray();
    QTest::newRow("metrics address without a port")
        << QStringList{"hidden", "--metrics", "127.0.0.1"} << 2 << QByteArray();
    QTest::newRow("metrics address by name")
        << QStringList{"hidden", "--metrics", "localhost:9647"} << 2 << QByteArray();
}

// Each of these ends before anything starts: no instance, no files in the working directory.
void StartupTest::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, printed);
    QTemporaryDir dir;
    ProgramProcess program(QStringLiteral(AMPWARDEN_BINARY), dir.path());
    // As on a server reached over ssh: no display to open a window on.
    program.setEnvironmentValue(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.removeEnvironmentValue(QStringLiteral("DISPLAY"));
    program.removeEnvironmentValue(QStringLiteral("WAYLAND_DISPLAY"));
    QVERIFY(program.start(arguments));
    QVERIFY(program.process().waitForFinished(20000));
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process().exitCode(), exitCode);
    QVERIFY(program.output().contains(printed));
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

void StartupTest::metricsAddressTaken_loggedAndRunsOn() {
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QTemporaryDir dir;
    const QString key = Warden::Test::uniqueInstanceKey();
    ProgramProcess program(QStringLiteral(AMPWARDEN_BINARY), dir.path());
    QVERIFY(program.start(
        Warden::Test::programArguments(key, Warden::Test::freeUdpPort(), QStringLiteral("hidden"))
        << QStringLiteral("--metrics") << QStringLiteral("127.0.0.1:%1").arg(taken.serverPort())));
    QTRY_VERIFY_WITH_TIMEOUT(Warden::Test::publishedPort(key) != 0, 20000);
    const QString log = dir.filePath(QStringLiteral("app.log"));
    QTRY_VERIFY_WITH_TIMEOUT(Warden::Test::readFile(log).contains("Metrics endpoint not started"), 10000);
    QCOMPARE(Warden::Test::readFile(log).count("Metrics endpoint not started"), 1);
    QCOMPARE(program.process().state(), QProcess::Running);
    QVERIFY(program.terminate());
    QCOMPARE(program.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_Startup.moc"
