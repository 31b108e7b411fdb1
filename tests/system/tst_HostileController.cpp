#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Warden::Test::ProgramProcess;

namespace {

constexpr int healthyCount = 3;
// The program's peak resident memory with four controllers, one of them hostile: about 40 MB with
// healthy ones alone. A flood page costs its 4 MiB and what its capped readings and rows become.
constexpr qint64 peakMemoryBoundKiB = 250 * 1024;

QByteArray controllerXml(const QByteArray& name, quint16 port) {
    return "<Controller><name>" + name + "</name><type>Kestrel 2</type><host>127.0.0.1</host><port>" +
           QByteArray::number(port) +
           "</port><admin>admin</admin><password>secret</password><Channels>"
           "<Channel><optionalName>A</optionalName><undercurrent>0</undercurrent><overcurrent>20</"
           "overcurrent>"
           "<pf>1</pf></Channel>"
           "<Channel><optionalName>B</optionalName><undercurrent>0</undercurrent><overcurrent>20</"
           "overcurrent>"
           "<pf>1</pf></Channel></Channels></Controller>\n";
}

// The hostile controller first, so that its connection opens before the healthy ones'.
QByteArray configuration(quint16 hostilePort, const QList<quint16>& healthyPorts) {
    QByteArray controllers = controllerXml("hostile", hostilePort);
    for (qsizetype i = 0; i < healthyPorts.size(); ++i)
        controllers += controllerXml("healthy" + QByteArray::number(i), healthyPorts[i]);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ampwarden><Controllers>\n" + controllers +
           "</Controllers><Report><checkEveryUnits>2</checkEveryUnits><checkEveryUnit>Second</checkEveryUnit>"
           "<reportEveryUnits>1</reportEveryUnits><reportEveryUnit>Day</reportEveryUnit></Report></"
           "Ampwarden>\n";
}

QList<quint16> startSimulator(ProgramProcess& sim, const QStringList& arguments) {
    QList<quint16> ports;
    if (!sim.start(arguments) || sim.waitForLine("ready").isEmpty())
        return ports;
    for (const QByteArray& line : sim.output().split('\n')) {
        if (line.startsWith("controller "))
            ports.append(quint16(line.split(' ').value(2).toUInt()));
    }
    return ports;
}

QByteArray dailyLogs(const QString& dir) {
    QByteArray all;
    QDirIterator it(dir + QStringLiteral("/log"), {QStringLiteral("*.log")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        all += Warden::Test::readFile(it.next());
    return all;
}

// The peak resident memory of a running process, from /proc.
qint64 peakMemoryKiB(qint64 pid) {
    const QByteArray status = Warden::Test::readFile(QStringLiteral("/proc/%1/status").arg(pid));
    const qsizetype at = status.indexOf("VmHWM:");
    return at < 0
               ? 0
               : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ')[0].toLongLong();
}

} // namespace

// The real program checks three healthy simulated controllers every 2 s beside a hostile one (each
// in its own simulator): whatever the hostile one does, every check that ends has read all healthy
// ones, the checks keep coming, and the program's memory stays bounded.
class tst_HostileController : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void healthyControllersReadAtEveryCheck_data();
    void healthyControllersReadAtEveryCheck();

private:
    QTemporaryDir runtimeDir_;
};

void tst_HostileController::initTestCase() {
    QVERIFY(runtimeDir_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
}

void tst_HostileController::healthyControllersReadAtEveryCheck_data() {
    QTest::addColumn<QString>("mode");
    // Checks the hostile controller must have been asked in, and the time they may take: a check
    // that waits for the hostile one's 25 s deadline, or one that is over within a second or two.
    QTest::addColumn<int>("checks");
    QTest::addColumn<int>("withinMs");
    QTest::newRow("endless header") << QStringLiteral("endless-header") << 5 << 30000;
    QTest::newRow("a byte every 3 s") << QStringLiteral("trickle") << 2 << 60000;
    // A controller that never answers beside answering ones: tst_EndToEnd's check cycle.
    QTest::newRow("400,000 empty load markers") << QStringLiteral("markers") << 5 << 30000;
    QTest::newRow("250,000 empty log rows") << QStringLiteral("rows") << 5 << 30000;
}

void tst_HostileController::healthyControllersReadAtEveryCheck() {
    QFETCH(QString, mode);
    QFETCH(int, checks);
    QFETCH(int, withinMs);
    QTemporaryDir workDir;
    QVERIFY(workDir.isValid());
    ProgramProcess healthySim(QStringLiteral(CTLSIM_BINARY));
    ProgramProcess hostileSim(QStringLiteral(CTLSIM_BINARY));
    const QList<quint16> healthyPorts =
        startSimulator(healthySim, {"--count", QString::number(healthyCount), "--buses", "2"});
    const QList<quint16> hostilePorts =
        startSimulator(hostileSim, {"--hostile", mode, "--trickle-ms", "3000", "--verbose"});
    QCOMPARE(healthyPorts.size(), healthyCount);
    QCOMPARE(hostilePorts.size(), 1);
    QFile config(workDir.filePath(QStringLiteral("Ampwarden.xml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(configuration(hostilePorts[0], healthyPorts));
    config.close();

    ProgramProcess program(QStringLiteral(AMPWARDEN_BINARY), workDir.path());
    QVERIFY(program.start(Warden::Test::programArguments(
        Warden::Test::uniqueInstanceKey(), Warden::Test::freeUdpPort(), QStringLiteral("hidden"))));
    // Every check asks the hostile controller for its index page first.
    const auto checksStarted = [&hostileSim] { return hostileSim.output().count("request 0 /index.htm"); };
    QElapsedTimer elapsed;
    elapsed.start();
    // Gives up early when the memory bound is broken.
    QTRY_VERIFY_WITH_TIMEOUT(checksStarted() >= checks || (Warden::Test::memoryFiguresMeaningful &&
                                                           peakMemoryKiB(program.pid()) > peakMemoryBoundKiB),
                             withinMs + 10000);
    const qint64 peakKiB = peakMemoryKiB(program.pid());
    // A check starts when the one before it has ended: those have read every healthy controller.
    const int ended = static_cast<int>(checksStarted()) - 1;
    const QByteArray logs = dailyLogs(workDir.path());

    if (Warden::Test::memoryFiguresMeaningful)
        QVERIFY2(peakKiB <= peakMemoryBoundKiB, QByteArray::number(peakKiB).constData());
    QVERIFY2(elapsed.elapsed() < withinMs, QByteArray::number(elapsed.elapsed()).constData());
    for (qsizetype i = 0; i < healthyPorts.size(); ++i) {
        // One reading of each of the two buses per check.
        const QByteArray readings = "\"healthy" + QByteArray::number(i) +
                                    " : Kestrel 2 @ 127.0.0.1:" + QByteArray::number(healthyPorts[i]) +
                                    "\" values http";
        QVERIFY2(logs.count(readings) >= 2 * ended,
                 (readings + " " + QByteArray::number(logs.count(readings)) + " times in " +
                  QByteArray::number(ended) + " checks")
                     .constData());
    }
    QVERIFY(program.terminate());
}

QTEST_MAIN(tst_HostileController)
#include "tst_HostileController.moc"
