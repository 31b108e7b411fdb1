#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QtTest>

using Warden::Test::ProgramProcess;

namespace {

bool instancePublished() {
    QSharedMemory segment(QStringLiteral("AmpwardenPort"));
    const bool attached = segment.attach(QSharedMemory::ReadOnly);
    if (attached)
        segment.detach();
    return attached;
}

} // namespace

class StartupTest : public QObject {
    Q_OBJECT

private slots:
    void unwritableFiles_programStillRunsAndStops();
};

// Tests run as root, so permissions cannot make the directory unwritable; what stands where the
// program's files belong has the same effect: every file it writes fails to open.
void StartupTest::unwritableFiles_programStillRunsAndStops() {
    QVERIFY2(!Warden::Test::anotherInstanceRuns(),
             "an Ampwarden runs on this machine: stop it before these tests");
    QTemporaryDir dir;
    for (const char* name : {"app.log", "AMW.log", "Ampwarden.xml"})
        QVERIFY(QDir(dir.path()).mkdir(QString::fromLatin1(name)));
    QFile blocker(dir.filePath(QStringLiteral("log")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    ProgramProcess program(QStringLiteral(AMPWARDEN_BINARY), dir.path());
    QVERIFY(program.start({QStringLiteral("hidden")}));
    QTRY_VERIFY_WITH_TIMEOUT(instancePublished(), 20000);
    QTest::qWait(1500);
    QCOMPARE(program.process().state(), QProcess::Running);
    QVERIFY(program.terminate());
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process().exitCode(), 0);
    QVERIFY(program.output().contains("Bye!: Emails will no longer be sent"));
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_Startup.moc"
