#include "MailCatcher.h"
#include "ProgramProcess.h"
#include "TestSupport.h"

#include "report/Report.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Warden::Test::MailCatcher;
using Warden::Test::ProgramProcess;
using Warden::Test::readFile;

namespace {

// The simulated loads; every bus has pf 1, so watts are volts times amperes.
constexpr double rackVolts = 230, rackAmpsA = 4, rackAmpsB = 2;
constexpr double edgeVolts = 120, edgeAmps = 1.5;

QByteArray configuration(quint16 rackPort, quint16 edgePort, quint16 smtpPort) {
    QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<Ampwarden>
    <Controllers>
        <Controller>
            <name>rack1</name>
            <type>Kestrel 2</type>
            <host>127.0.0.1</host>
            <port>RACKPORT</port>
            <admin>admin</admin>
            <password>secret</password>
            <Channels>
                <Channel>
                    <optionalName>A</optionalName>
                    <undercurrent>0.5</undercurrent>
                    <overcurrent>13</overcurrent>
                    <pf>1</pf>
                </Channel>
                <Channel>
                    <optionalName>B</optionalName>
                    <undercurrent>0.5</undercurrent>
                    <overcurrent>1.5</overcurrent>
                    <pf>1</pf>
                </Channel>
            </Channels>
        </Controller>
        <Controller>
            <name>edge</name>
            <type>Heron</type>
            <host>localhost</host>
            <port>EDGEPORT</port>
            <admin>root</admin>
            <password>pw</password>
            <Channels>
                <Channel>
                    <optionalName></optionalName>
                    <undercurrent>0</undercurrent>
                    <overcurrent>10</overcurrent>
                    <pf>1</pf>
                </Channel>
            </Channels>
        </Controller>
    </Controllers>
    <MTAs>
        <MTA>
            <id>0</id>
            <host>127.0.0.1</host>
            <port>SMTPPORT</port>
            <user></user>
            <password></password>
            <useTLS>0</useTLS>
        </MTA>
    </MTAs>
    <EMails>
        <EMail>
            <to>ops@example.com</to>
            <from>ampwarden@example.com</from>
            <MTA>0</MTA>
        </EMail>
        <EMail>
            <to>lead@example.com</to>
            <from>ampwarden@example.com</from>
            <MTA>0</MTA>
        </EMail>
    </EMails>
    <Report>
        <checkEveryUnits>2</checkEveryUnits>
        <checkEveryUnit>Second</checkEveryUnit>
        <sendOnLogin>1</sendOnLogin>
        <sendUnderOverCurrent>1</sendUnderOverCurrent>
        <sendHistogram>1</sendHistogram>
        <sendPowerBill>1</sendPowerBill>
        <sendEntireLog>0</sendEntireLog>
        <reportEveryUnits>10</reportEveryUnits>
        <reportEveryUnit>Second</reportEveryUnit>
        <kWHPriceUSD>0.12</kWHPriceUSD>
        <currency>USD</currency>
    </Report>
</Ampwarden>)";
    xml.replace("RACKPORT", QByteArray::number(rackPort));
    xml.replace("EDGEPORT", QByteArray::number(edgePort));
    xml.replace("SMTPPORT", QByteArray::number(smtpPort));
    return xml;
}

// Starts one simulated controller and returns its port, or 0.
quint16 startSimulator(ProgramProcess& sim, const QStringList& arguments) {
    if (!sim.start(arguments))
        return 0;
    const QByteArray line = sim.waitForLine("controller 0 ");
    if (line.isEmpty() || sim.waitForLine("ready").isEmpty())
        return 0;
    return static_cast<quint16>(line.mid(13).toUInt());
}

QByteArray dailyLogs(const QString& dir) {
    QByteArray all;
    QDirIterator it(dir + QStringLiteral("/log"), {QStringLiteral("*.log")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        all += readFile(it.next());
    return all;
}

QJsonObject describeMessage(const QString& file) {
    QProcess info;
    info.start(Warden::Test::systemPython(),
               {Warden::Test::sourceFile(QStringLiteral("tools/mailinfo.py")), file});
    if (!info.waitForFinished(20000))
        return {};
    return QJsonDocument::fromJson(info.readAllStandardOutput()).object();
}

qint64 clockSeconds(const QString& text) {
    return QDateTime::fromString(text.simplified(), QStringLiteral("ddd MMM d hh:mm:ss yyyy"))
        .toSecsSinceEpoch();
}

double kWh(const QString& html, const QString& label) {
    const QRegularExpression re(QRegularExpression::escape(label) + QStringLiteral(": ([0-9.]+) kWH"));
    const auto match = re.match(html);
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void wholeCycle_storesEventsAndMailsReports();
    void reports_areValidMimeWithConsistentEnergies();
    void secondStart_wakesTheRunningInstance();
    void stop_endsTheProgramCleanly();
    void killedProgram_comesBackAndWorks();
    void cleanupTestCase();

private:
    std::unique_ptr<ProgramProcess> startProgram();
    bool waitFor(const std::function<bool()>& condition, int timeoutMs);

    // The guard's files, away from the user's own.
    QTemporaryDir runtimeDir_;
    // A key and a syslog port of this test's own: it runs beside a user's Ampwarden and other tests.
    const QString instanceKey_ = Warden::Test::uniqueInstanceKey();
    quint16 syslogPort_ = 0;
    QTemporaryDir workDir_;
    std::unique_ptr<MailCatcher> catcher_;
    std::unique_ptr<ProgramProcess> rack_;
    std::unique_ptr<ProgramProcess> edge_;
    std::unique_ptr<ProgramProcess> program_;
};

// Returns the program once it serves: its wake-up port published under the test's key (a killed
// predecessor's port does not count). One that does not get there prints its output.
std::unique_ptr<ProgramProcess> EndToEndTest::startProgram() {
    const quint16 stale = Warden::Test::publishedPort(instanceKey_);
    auto program = std::make_unique<ProgramProcess>(QStringLiteral(AMPWARDEN_BINARY), workDir_.path());
    program->setEnvironmentValue(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("ampwarden.*=false"));
    if (!program->start(Warden::Test::programArguments(instanceKey_, syslogPort_, QStringLiteral("hidden"))))
        return {};
    const QDeadlineTimer deadline(20000);
    for (;;) {
        const quint16 port = Warden::Test::publishedPort(instanceKey_);
        if (port != 0 && port != stale)
            return program;
        if (deadline.hasExpired() || program->process().state() != QProcess::Running) {
            program->printOutput();
            return {};
        }
        QTest::qWait(50);
    }
}

bool EndToEndTest::waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired() || !program_ || program_->process().state() != QProcess::Running)
            return condition();
        QTest::qWait(200);
    }
    return true;
}

void EndToEndTest::initTestCase() {
    QVERIFY(runtimeDir_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));
    QVERIFY(workDir_.isValid());
    syslogPort_ = Warden::Test::freeUdpPort();
    QVERIFY(syslogPort_ != 0);
    catcher_ = std::make_unique<MailCatcher>();
    QVERIFY2(catcher_->isListening(), qPrintable(catcher_->error()));

    const QString sim = QStringLiteral(CTLSIM_BINARY);
    rack_ = std::make_unique<ProgramProcess>(sim);
    const quint16 rackPort =
        startSimulator(*rack_, {"--model", "clock", "--buses", "2", "--user", "admin", "--password", "secret",
                                "--volts", QString::number(rackVolts), "--amps-a", QString::number(rackAmpsA),
                                "--amps-b", QString::number(rackAmpsB), "--syslog",
                                "127.0.0.1:" + QString::number(syslogPort_), "--syslog-every", "1"});
    QVERIFY(rackPort != 0);
    edge_ = std::make_unique<ProgramProcess>(sim);
    const quint16 edgePort = startSimulator(
        *edge_, {"--model", "uptime", "--buses", "1", "--user", "root", "--password", "pw", "--volts",
                 QString::number(edgeVolts), "--amps-a", QString::number(edgeAmps)});
    QVERIFY(edgePort != 0);

    QFile config(workDir_.filePath(QStringLiteral("Ampwarden.xml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(configuration(rackPort, edgePort, catcher_->port()));
    config.close();
}

// Every case finds the program running, whatever ran before it; one that stopped it or failed with it
// leaves the next a fresh start.
void EndToEndTest::init() {
    if (program_ && program_->process().state() == QProcess::Running)
        return;
    program_ = startProgram();
    QVERIFY(program_);
}

void EndToEndTest::cleanup() {
    // Dropped now, while the failure is known, so that its output is printed with it.
    if (QTest::currentTestFailed())
        program_.reset();
}

void EndToEndTest::wholeCycle_storesEventsAndMailsReports() {
    const QString dir = workDir_.path();
    const auto seen = [&dir](const QByteArray& what) { return dailyLogs(dir).contains(what); };
    const QByteArray rack = "\"rack1 : Kestrel 2 @ 127.0.0.1:";
    const QByteArray edge = "\"edge : Heron @ localhost:";
    QVERIFY2(waitFor([&] { return seen(rack) && seen(edge) && seen(" syslog \"\" "); }, 60000),
             dailyLogs(dir).right(2000).constData());
    const QByteArray daily = dailyLogs(dir);
    QVERIFY(daily.contains("values http \"Current loads on channel A: 230 V, 4 A, 920 W\""));
    QVERIFY(daily.contains("values http \"Current loads on channel B: 230 V, 2 A, 460 W\""));
    QVERIFY(daily.contains("overcurrent http \"Overcurrent on channel B\""));
    QVERIFY(daily.contains("login_success http \"\""));
    QVERIFY(daily.contains("login_success syslog \"\" "));
    QVERIFY(QRegularExpression(QStringLiteral("edge : Heron @ localhost:\\d+\" values http"))
                .match(QString::fromUtf8(daily))
                .hasMatch());
    // The snapshot follows the store.
    QVERIFY(waitFor(
        [&] { return readFile(workDir_.filePath(QStringLiteral("AMW.log"))).contains(" values http "); },
        5000));

    // Two reports of two controllers to two recipients.
    QVERIFY(waitFor([this] { return catcher_->messages().size() >= 8; }, 60000));
    const QByteArray appLog = readFile(workDir_.filePath(QStringLiteral("app.log")));
    QVERIFY(!appLog.contains("Energy calculation error"));
    QVERIFY(!appLog.contains("Syslog server will not work"));
    QVERIFY(!appLog.contains("Xml errors"));
}

void EndToEndTest::reports_areValidMimeWithConsistentEnergies() {
    QVERIFY(waitFor([this] { return catcher_->messages().size() >= 8; }, 60000));
    int withImages = 0;
    int checkedEnergies = 0;
    QMap<QString, int> perRecipient;
    const QStringList messages = catcher_->messages();
    for (const QString& file : messages) {
        const QJsonObject message = describeMessage(file);
        QVERIFY2(!message.isEmpty(), qPrintable(file));
        QCOMPARE(message[QStringLiteral("content_type")].toString(), QStringLiteral("multipart/related"));
        QCOMPARE(message[QStringLiteral("boundary")].toString(),
                 QString::fromLatin1(Warden::Business::reportBoundary));
        QCOMPARE(message[QStringLiteral("defects")].toArray().size(), 0);
        perRecipient[message[QStringLiteral("envelope_to")].toString()]++;
        const QString subject = message[QStringLiteral("subject")].toString();
        QVERIFY2(subject.startsWith(QStringLiteral("Power Controller ")) &&
                     subject.endsWith(QStringLiteral(" report")),
                 qPrintable(subject));
        const QJsonArray parts = message[QStringLiteral("parts")].toArray();
        QVERIFY(!parts.isEmpty());
        const QJsonObject html = parts.first().toObject();
        QCOMPARE(html[QStringLiteral("content_type")].toString(), QStringLiteral("text/html"));
        QStringList cids;
        for (const auto& cid : html[QStringLiteral("cids")].toArray())
            cids << QStringLiteral("<") + cid.toString() + QStringLiteral(">");
        QStringList images;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QJsonObject part = parts.at(i).toObject();
            QCOMPARE(part[QStringLiteral("content_type")].toString(), QStringLiteral("image/png"));
            QCOMPARE(part[QStringLiteral("width")].toInt(), 800);
            QCOMPARE(part[QStringLiteral("height")].toInt(), 500);
            images << part[QStringLiteral("content_id")].toString();
        }
        QCOMPARE(images, cids);
        if (!subject.contains(QStringLiteral("Kestrel 2"))) {
            QVERIFY(images.isEmpty()); // only metering models carry a bill and histograms
            continue;
        }
        ++withImages;
        QCOMPARE(images.size(), 3);
        const QString text = html[QStringLiteral("html")].toString();
        const auto period =
            QRegularExpression(QStringLiteral("report from (.+?)\\n till (.+?)\\n")).match(text);
        QVERIFY(period.hasMatch());
        const qint64 seconds = clockSeconds(period.captured(2)) - clockSeconds(period.captured(1));
        QVERIFY(seconds > 0);
        const double a = kWh(text, QStringLiteral("Consumed energy on channel A"));
        const double b = kWh(text, QStringLiteral("Consumed energy on channel B"));
        const double expectedA = rackVolts * rackAmpsA * seconds / 3.6e6;
        const double expectedB = rackVolts * rackAmpsB * seconds / 3.6e6;
        // Six decimals in the bill: allow their rounding on top of the 1 %.
        QVERIFY2(qAbs(a - expectedA) <= 0.01 * expectedA + 5e-7,
                 qPrintable(QStringLiteral("A %1 vs %2").arg(a).arg(expectedA)));
        QVERIFY2(qAbs(b - expectedB) <= 0.01 * expectedB + 5e-7,
                 qPrintable(QStringLiteral("B %1 vs %2").arg(b).arg(expectedB)));
        ++checkedEnergies;
    }
    QVERIFY(withImages >= 4);
    QVERIFY(checkedEnergies >= 4);
    QCOMPARE(perRecipient.size(), 2);
    QCOMPARE(perRecipient.first(), perRecipient.last());
}

void EndToEndTest::secondStart_wakesTheRunningInstance() {
    ProgramProcess second(QStringLiteral(AMPWARDEN_BINARY), workDir_.path());
    QVERIFY(second.start(Warden::Test::programArguments(instanceKey_, syslogPort_)));
    QVERIFY(second.process().waitForFinished(30000));
    QCOMPARE(second.process().exitCode(), 0);
    QCOMPARE(second.output(), QByteArray());
    QVERIFY(waitFor([this] { return program_->errors().contains("resumeProgram()"); }, 10000));
}

void EndToEndTest::stop_endsTheProgramCleanly() {
    // Events in the store, so that the snapshot written at the end has something to hold.
    const qsizetype logged = dailyLogs(workDir_.path()).size();
    QVERIFY(waitFor([&] { return dailyLogs(workDir_.path()).size() > logged; }, 20000));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(program_->terminate(10000));
    QVERIFY2(timer.elapsed() < 5000, "Stop took more than five seconds");
    QCOMPARE(program_->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(program_->process().exitCode(), 0);
    QVERIFY(program_->output().contains("Bye!: Emails will no longer be sent\n"));
    // The snapshot is exact at shutdown.
    QVERIFY(!readFile(workDir_.filePath(QStringLiteral("AMW.log"))).isEmpty());
    program_.reset();
}

void EndToEndTest::killedProgram_comesBackAndWorks() {
    const auto logged = [this] { return dailyLogs(workDir_.path()).size(); };
    const qsizetype loggedBefore = logged();
    QVERIFY(waitFor([&] { return logged() > loggedBefore; }, 20000)); // a check has run
    program_->kill();
    program_.reset();

    const qsizetype before = dailyLogs(workDir_.path()).size();
    const qsizetype mailsBefore = catcher_->messages().size();
    program_ = startProgram();
    QVERIFY(program_);
    QVERIFY(waitFor([&] { return dailyLogs(workDir_.path()).size() > before; }, 20000));
    QVERIFY(waitFor([&] { return catcher_->messages().size() > mailsBefore; }, 30000));
    QVERIFY(program_->terminate(10000));
    QCOMPARE(program_->process().exitCode(), 0);
}

void EndToEndTest::cleanupTestCase() {
    if (program_)
        program_->terminate(5000);
    program_.reset();
    rack_.reset();
    edge_.reset();
    catcher_.reset();
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_EndToEnd.moc"
