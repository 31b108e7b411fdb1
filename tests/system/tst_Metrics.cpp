#include "ProgramProcess.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

#include <memory>
#include <optional>

using Warden::Test::ProgramProcess;

namespace {

constexpr double volts = 230, ampsA = 4, ampsB = 2;
const QString prometheusBinary = QStringLiteral("/usr/bin/prometheus");

// A port nobody listens on once this returns: the silent controller's, and the servers' own.
quint16 freeTcpPort() {
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray configuration(quint16 livePort, quint16 silentPort) {
    QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<Ampwarden>
    <Controllers>
        <Controller>
            <name>live</name><type>Kestrel 2</type><host>127.0.0.1</host><port>LIVEPORT</port>
            <admin>admin</admin><password>secret</password>
            <Channels>
                <Channel><optionalName>A</optionalName><undercurrent>0</undercurrent><overcurrent>20</overcurrent><pf>1</pf></Channel>
                <Channel><optionalName>B</optionalName><undercurrent>0</undercurrent><overcurrent>1.5</overcurrent><pf>1</pf></Channel>
            </Channels>
        </Controller>
        <Controller>
            <name>silent</name><type>Heron</type><host>127.0.0.1</host><port>SILENTPORT</port>
            <admin>admin</admin><password>secret</password>
            <Channels>
                <Channel><optionalName></optionalName><undercurrent>0</undercurrent><overcurrent>20</overcurrent><pf>1</pf></Channel>
            </Channels>
        </Controller>
    </Controllers>
    <Report>
        <checkEveryUnits>1</checkEveryUnits>
        <checkEveryUnit>Second</checkEveryUnit>
        <reportEveryUnits>1</reportEveryUnits>
        <reportEveryUnit>Day</reportEveryUnit>
    </Report>
</Ampwarden>)";
    xml.replace("LIVEPORT", QByteArray::number(livePort));
    xml.replace("SILENTPORT", QByteArray::number(silentPort));
    return xml;
}

} // namespace

// Ampwarden with two controllers, one of them silent, scraped every second by a real Prometheus whose
// HTTP API tells what it stored.
class tst_Metrics : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void prometheus_storesWhatTheControllersServe();
    void cleanupTestCase();

private:
    // The value of the one series `query` selects, or nothing while Prometheus has none.
    std::optional<double> query(const QString& promql);
    std::optional<double> waitForValue(const QString& promql, const std::function<bool(double)>& wanted);

    QTemporaryDir runtimeDir_;
    QTemporaryDir workDir_;
    QNetworkAccessManager network_;
    std::unique_ptr<ProgramProcess> simulator_;
    std::unique_ptr<ProgramProcess> program_;
    std::unique_ptr<ProgramProcess> prometheus_;
    quint16 prometheusPort_ = 0;
};

void tst_Metrics::initTestCase() {
    if (!QFile::exists(prometheusBinary))
        QSKIP("Prometheus (Debian's prometheus package) is not installed");
    QVERIFY(runtimeDir_.isValid() && workDir_.isValid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir_.path()));

    simulator_ = std::make_unique<ProgramProcess>(QStringLiteral(CTLSIM_BINARY));
    QVERIFY(simulator_->start({"--buses", "2", "--volts", QString::number(volts), "--amps-a",
                               QString::number(ampsA), "--amps-b", QString::number(ampsB)}));
    const quint16 livePort = quint16(simulator_->waitForLine("controller 0 ").split(' ').value(2).toUInt());
    QVERIFY(livePort != 0 && !simulator_->waitForLine("ready").isEmpty());
    const quint16 silentPort = freeTcpPort();
    const quint16 metricsPort = freeTcpPort();
    prometheusPort_ = freeTcpPort();
    QVERIFY(silentPort != 0 && metricsPort != 0 && prometheusPort_ != 0);
    QVERIFY(
        writeFile(workDir_.filePath(QStringLiteral("Ampwarden.xml")), configuration(livePort, silentPort)));

    program_ = std::make_unique<ProgramProcess>(QStringLiteral(AMPWARDEN_BINARY), workDir_.path());
    program_->setEnvironmentValue(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("ampwarden.*=false"));
    QVERIFY(
        program_->start(Warden::Test::programArguments(Warden::Test::uniqueInstanceKey(),
                                                       Warden::Test::freeUdpPort(), QStringLiteral("hidden"))
                        << QStringLiteral("--metrics") << QStringLiteral("127.0.0.1:%1").arg(metricsPort)));

    const QString config = workDir_.filePath(QStringLiteral("prometheus.yml"));
    QVERIFY(writeFile(config, QStringLiteral("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                             "scrape_configs:\n  - job_name: ampwarden\n    static_configs:\n"
                                             "      - targets: ['127.0.0.1:%1']\n")
                                  .arg(metricsPort)
                                  .toUtf8()));
    prometheus_ = std::make_unique<ProgramProcess>(prometheusBinary, workDir_.path());
    QVERIFY(prometheus_->start(
        {QStringLiteral("--config.file=") + config,
         QStringLiteral("--storage.tsdb.path=") + workDir_.filePath(QStringLiteral("tsdb")),
         QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(prometheusPort_)}));
}

void tst_Metrics::cleanupTestCase() {
    if (prometheus_)
        QVERIFY(prometheus_->terminate());
    if (program_)
        QVERIFY(program_->terminate());
    simulator_.reset();
}

std::optional<double> tst_Metrics::query(const QString& promql) {
    QUrl url(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(prometheusPort_));
    QUrlQuery parameters;
    parameters.addQueryItem(QStringLiteral("query"), promql);
    url.setQuery(parameters);
    std::unique_ptr<QNetworkReply> reply(network_.get(QNetworkRequest(url)));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(5000) || reply->error() != QNetworkReply::NoError)
        return std::nullopt;
    const QJsonArray result =
        QJsonDocument::fromJson(reply->readAll())[QStringLiteral("data")][QStringLiteral("result")].toArray();
    if (result.size() != 1)
        return std::nullopt;
    // An instant vector's sample: [time, "value"].
    return result[0][QStringLiteral("value")][1].toString().toDouble();
}

std::optional<double> tst_Metrics::waitForValue(const QString& promql,
                                                const std::function<bool(double)>& wanted) {
    QDeadlineTimer deadline(30000);
    std::optional<double> value;
    while (!deadline.hasExpired()) {
        value = query(promql);
        if (value && wanted(*value))
            return value;
        if (program_->process().state() != QProcess::Running ||
            prometheus_->process().state() != QProcess::Running)
            break;
        QTest::qWait(250);
    }
    program_->printOutput();
    prometheus_->printOutput();
    return value;
}

void tst_Metrics::prometheus_storesWhatTheControllersServe() {
    const auto any = [](double) { return true; };
    const auto amps = [this, any](const char* bus) {
        return waitForValue(
            QStringLiteral("ampwarden_bus_amperes{controller=\"live\",bus=\"%1\"}").arg(QLatin1String(bus)),
            any);
    };
    QCOMPARE(amps("A"), std::optional<double>(ampsA));
    QCOMPARE(amps("B"), std::optional<double>(ampsB));
    QCOMPARE(waitForValue(QStringLiteral("ampwarden_bus_alarm{controller=\"live\",bus=\"B\"}"), any),
             std::optional<double>(1));
    QCOMPARE(waitForValue(QStringLiteral("ampwarden_up{controller=\"live\"}"), any),
             std::optional<double>(1));
    // A check of the silent one has ended: it is counted, and it is down.
    QVERIFY(waitForValue(QStringLiteral("ampwarden_checks_total{outcome=\"no_answer\"}"),
                         [](double v) { return v > 0; }));
    QCOMPARE(waitForValue(QStringLiteral("ampwarden_up{controller=\"silent\"}"), any),
             std::optional<double>(0));

    const QString energy = QStringLiteral("ampwarden_bus_energy_kwh_total{controller=\"live\",bus=\"A\"}");
    const std::optional<double> first = waitForValue(energy, [](double v) { return v > 0; });
    QVERIFY(first && *first > 0);
    const std::optional<double> later = waitForValue(energy, [&first](double v) { return v > *first; });
    QVERIFY(later && *later > *first);
    // Held between readings a second or two apart, at 920 W.
    QVERIFY2(*later - *first < 0.01, QByteArray::number(*later - *first).constData());
}

QTEST_MAIN(tst_Metrics)
#include "tst_Metrics.moc"
