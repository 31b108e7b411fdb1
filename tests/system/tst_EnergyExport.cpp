#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using Warden::Test::ProgramProcess;

namespace {

// Checks every five minutes: a reading holds at most 2 * 300 + 25 s.
const QByteArray settings = R"(<?xml version="1.0"?>
<Ampwarden>
    <Controllers/>
    <MTAs/>
    <EMails/>
    <Report>
        <checkEveryUnits>1</checkEveryUnits>
        <checkEveryUnit>Minute</checkEveryUnit>
    </Report>
</Ampwarden>
)";

QByteArray reading(const char* clock) {
    return QByteArray(" \"") + clock +
           "\" \"pdu : Kestrel 2 @ 10.0.0.9\" values http \"Current loads on channel A: 230 V, 4.34783 A, "
           "1000 W\" "
           "VAH=230 CAH=4.34783\n";
}

const QByteArray header = "controller,bus,period start,period end,kWh,readings,coverage %\n";

} // namespace

class EnergyExportTest : public QObject {
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void dailyLogNotARegularFile_skipped_data();
    void dailyLogNotARegularFile_skipped();
};

void EnergyExportTest::commandLine_data() {
    QTest::addColumn<bool>("withSettings");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("errors");

    const QStringList hour{"--export-energy", "2026-06-10T10:00", "2026-06-10T11:00"};
    // Checks every minute: 3 * 145 s of 1000 W.
    QTest::newRow("check interval from the settings")
        << true << hour << 0
        << header + "pdu : Kestrel 2 @ "
                    "10.0.0.9,A,2026-06-10T10:00:00+00:00,2026-06-10T11:00:00+00:00,0.120833,3,12.08\n"
        << QByteArray("1 line of the daily logs skipped");
    // Without settings checks come every 5 minutes: 300 + 300 + 625 s.
    QTest::newRow("no settings file")
        << false << hour << 0
        << header + "pdu : Kestrel 2 @ "
                    "10.0.0.9,A,2026-06-10T10:00:00+00:00,2026-06-10T11:00:00+00:00,0.340278,3,34.03\n"
        << QByteArray("1 line of the daily logs skipped");
    QTest::newRow("another controller")
        << true << hour + QStringList{"--controller", "rack"} << 0 << header << QByteArray();
    QTest::newRow("not a date") << true << QStringList{"--export-energy", "2026-06-31", "2026-07-01"} << 2
                                << QByteArray() << QByteArray("not a date");
    QTest::newRow("FROM not before TILL")
        << true << QStringList{"--export-energy", "2026-06-10T10:00", "2026-06-10T10:00"} << 2 << QByteArray()
        << QByteArray("not before");
    QTest::newRow("unknown grouping")
        << true << hour + QStringList{"--by", "week"} << 2 << QByteArray() << QByteArray("week");
    QTest::newRow("TILL missing") << true << QStringList{"--export-energy", "2026-06-10"} << 2 << QByteArray()
                                  << QByteArray("FROM TILL");
}

// Without a display and beside whatever runs: the export opens no window and writes no file.
void EnergyExportTest::commandLine() {
    QFETCH(bool, withSettings);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, errors);

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("log/2026/Jun")));
    QFile log(dir.filePath(QStringLiteral("log/2026/Jun/2026_Jun_10.log")));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write(reading("Wed Jun 10 10:00:00 2026") + reading("Wed Jun 10 10:05:00 2026") + "cut off\n" +
              reading("Wed Jun 10 10:10:00 2026"));
    log.close();
    if (withSettings) {
        QFile file(dir.filePath(QStringLiteral("Ampwarden.xml")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(settings);
    }
    const QStringList before = QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);

    ProgramProcess program(QStringLiteral(AMPWARDEN_BINARY), dir.path());
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        program.removeEnvironmentValue(QString::fromLatin1(name));
    QVERIFY(program.start(arguments));
    QVERIFY(program.process().waitForFinished(20000));
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process().exitCode(), exitCode);
    QCOMPARE(program.output(), output);
    QVERIFY(program.errors().contains(errors));
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
    if (withSettings)
        QCOMPARE(Warden::Test::readFile(dir.filePath(QStringLiteral("Ampwarden.xml"))), settings);
}

void EnergyExportTest::dailyLogNotARegularFile_skipped_data() {
    QTest::addColumn<bool>("fifo"); // else a link to /dev/zero
    QTest::newRow("a FIFO") << true;
    QTest::newRow("a link to /dev/zero") << false;
}

// A FIFO nobody writes to would hang the export, a link to /dev/zero feed it without end: the day is
// named as not read and the others are exported.
void EnergyExportTest::dailyLogNotARegularFile_skipped() {
    QFETCH(bool, fifo);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("log/2026/Jun")));
    QFile log(dir.filePath(QStringLiteral("log/2026/Jun/2026_Jun_10.log")));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write(reading("Wed Jun 10 10:00:00 2026") + reading("Wed Jun 10 10:05:00 2026") +
              reading("Wed Jun 10 10:10:00 2026"));
    log.close();
    const QString special = dir.filePath(QStringLiteral("log/2026/Jun/2026_Jun_9.log"));
    QVERIFY(fifo ? ::mkfifo(QFile::encodeName(special).constData(), 0600) == 0
                 : QFile::link(QStringLiteral("/dev/zero"), special));
    QFile settingsFile(dir.filePath(QStringLiteral("Ampwarden.xml")));
    QVERIFY(settingsFile.open(QIODevice::WriteOnly));
    settingsFile.write(settings);
    settingsFile.close();

    ProgramProcess program(QStringLiteral(AMPWARDEN_BINARY), dir.path());
    // All periods: the day not read still has its row.
    QVERIFY(program.start({"--export-energy", "2026-06-09", "2026-06-10", "--all-periods"}));
    QVERIFY2(program.process().waitForFinished(20000), "the export does not end");
    QCOMPARE(program.process().exitCode(), 1);
    QCOMPARE(program.output(),
             header + "pdu : Kestrel 2 @ 10.0.0.9,A,2026-06-09T00:00:00+00:00,2026-06-10T00:00:00+00:00,"
                      "0.000000,0,0.00\n"
                      "pdu : Kestrel 2 @ 10.0.0.9,A,2026-06-10T00:00:00+00:00,2026-06-11T00:00:00+00:00,"
                      "0.120833,3,0.50\n");
    QVERIFY2(program.errors().contains(QFile::encodeName(special) + ": not a regular file"),
             program.errors());
}

QTEST_GUILESS_MAIN(EnergyExportTest)
#include "tst_EnergyExport.moc"
