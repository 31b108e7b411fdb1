#include "SettingsState.h"
#include "TestSupport.h"

#include "config/Settings.h"
#include "core/Application.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <optional>

using namespace Warden::Business;
using Warden::Test::initialReport;
using Warden::Test::settingsState;

namespace {

QByteArray file(const QByteArray& body, const QByteArray& root = "Ampwarden") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + root + ">" + body + "</" + root + ">";
}

QByteArray controller(const QByteArray& leaves, const QByteArray& channels = {}) {
    return "<Controller>" + leaves + "<Channels>" + channels + "</Channels></Controller>";
}

QByteArray channel(const QByteArray& name, const QByteArray& under, const QByteArray& over,
                   const QByteArray& pf) {
    return "<Channel><optionalName>" + name + "</optionalName><undercurrent>" + under +
           "</undercurrent><overcurrent>" + over + "</overcurrent><pf>" + pf + "</pf></Channel>";
}

const QByteArray rack1 = controller("<name>rack1</name><type>Kestrel 2</type><host>h</host><port>80</port>"
                                    "<admin>root</admin><password>pw</password>");

const QByteArray charactersError = "characters() error: entity_ flag is set and CTEXT has no WS characters, "
                                   "but leaf has no index or this index "
                                   "is greater than internal string array\n";

} // namespace

class SettingsReaderTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        workDir_.emplace();
        app_.emplace();
    }
    void cleanup() {
        app_.reset();
        workDir_.reset();
    }

    void load_data();
    void load();
    void noFile_defaultsWithoutError_data();
    void noFile_defaultsWithoutError();

private:
    std::optional<Warden::Test::ScopedWorkDir> workDir_;
    std::optional<Application> app_;
};

void SettingsReaderTest::load_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("state");
    // Empty: no error at all. A message of the handler itself must come back exactly, followed by the
    // parser's fatal error that repeats it.
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("leaves in any order under a root of any name")
        << file("<Controllers><Controller><port>81</port><Channels></Channels><name>r</name>"
                "<host>h</host></Controller></Controllers>",
                "Settings")
        << "C|r|0|h|81||\n" + initialReport() << QByteArray();

    QTest::newRow("empty admin and password after non-empty ones read back empty")
        << file(rack1 + controller("<name>b</name><admin></admin><password>   </password>"))
        << "C|rack1|0|h|80|root|pw\nC|b|0||0||\n" + initialReport() << QByteArray();

    QTest::newRow("channel with empty name is a channel, not the end of the list")
        << file(controller("<name>c</name>", channel("", "1", "2", "1") + channel("B", "0.5", "10", "0.9")))
        << "C|c|0||0||\nch||1|2|1\nch|B|0.5|10|0.9\n" + initialReport() << QByteArray();

    QTest::newRow("controller without channels") << file(controller("<name>c</name>", "\n            "))
                                                 << "C|c|0||0||\n" + initialReport() << QByteArray();

    QTest::newRow("three channels are stored exactly")
        << file(controller("<name>c</name>", channel("A", "1", "2", "1") + channel("B", "1", "3", "1") +
                                                 channel("C", "1", "4", "1")))
        << "C|c|0||0||\nch|A|1|2|1\nch|B|1|3|1\nch|C|1|4|1\n" + initialReport() << QByteArray();

    QTest::newRow("fourth channel without undercurrent and pf text is stored with zeros")
        << file(controller("<name>c</name>", channel("A", "1", "2", "1") + channel("B", "1", "3", "1") +
                                                 channel("C", "1", "4", "1") + channel("D", "", "5", "")))
        << "C|c|0||0||\nch|A|1|2|1\nch|B|1|3|1\nch|C|1|4|1\nch|D|0|5|0\n" + initialReport() << QByteArray();

    QTest::newRow("fourth channel with undercurrent text stops the load, earlier records stay")
        << file(rack1 +
                controller("<name>c</name>", channel("A", "1", "2", "1") + channel("B", "1", "3", "1") +
                                                 channel("C", "1", "4", "1") + channel("D", "1", "5", "1")))
        << "C|rack1|0|h|80|root|pw\n" + initialReport() << charactersError;

    QTest::newRow("numbers read up to the first character that is no part of them")
        << file(controller("<name>n</name><port> 8080x</port>", channel("A", "1e-1", "13A", "x")))
        << "C|n|0||8080||\nch|A|0.1|13|1\n" + initialReport() << QByteArray();

    QTest::newRow("absurd limits: their nearest ends; power factor and price: their defaults")
        << file("<Controllers>" + controller("<name>n</name>", channel("A", "-1", "1e300", "2")) +
                "</Controllers><Report><kWHPriceUSD>-0.12</kWHPriceUSD><currency>EUR</currency></Report>")
        << QByteArray("C|n|0||0||\nch|A|0|1000|1\nR|60|5|00000|86400|1|0|EUR\n") << QByteArray();

    QTest::newRow("port out of range or negative is 0")
        << file(controller("<name>a</name><port>99999</port>") + controller("<name>b</name><port>-1</port>"))
        << "C|a|0||0||\nC|b|0||0||\n" + initialReport() << QByteArray();

    QTest::newRow("model name compared with case")
        << file(controller("<name>a</name><type>Heron</type>") +
                controller("<name>b</name><type>heron</type>"))
        << "C|a|2||0||\nC|b|0||0||\n" + initialReport() << QByteArray();

    QTest::newRow("report: unit names with case, flags only as 1, counts and price as numbers")
        << file("<Report><checkEveryUnits>2x</checkEveryUnits><checkEveryUnit>hour</checkEveryUnit>"
                "<sendOnLogin>true</sendOnLogin><sendUnderOverCurrent>1</sendUnderOverCurrent>"
                "<sendHistogram>yes</sendHistogram><sendPowerBill>1</sendPowerBill><sendEntireLog>0</"
                "sendEntireLog>"
                "<reportEveryUnits>-3</reportEveryUnits><reportEveryUnit>Hour</reportEveryUnit>"
                "<kWHPriceUSD> 0.5x</kWHPriceUSD><currency>EUR</currency></Report>")
        << QByteArray("R|60|5|01010|3600|1|0.5|EUR\n") << QByteArray();

    QTest::newRow("report without leaves: the default periods")
        << file("<Report></Report>") << initialReport() << QByteArray();

    QTest::newRow("report without checkEveryUnit: every 5 Minute, the count without its unit unused")
        << file("<Report><checkEveryUnits>1</checkEveryUnits><reportEveryUnits>2</reportEveryUnits>"
                "<reportEveryUnit>Week</reportEveryUnit></Report>")
        << QByteArray("R|60|5|00000|604800|2|0|\n") << QByteArray();

    QTest::newRow("EMail before its MTA creates a server from its key; the later MTA is not stored")
        << file("<EMails><EMail><to>t</to><from>f</from><MTA>0</MTA></EMail></EMails>"
                "<MTAs><MTA><id>0</id><host>real</host><port>25</port></MTA></MTAs>")
        << "S|0|0|||0\nA|t|f|0\n" + initialReport() << QByteArray();

    QTest::newRow("EMail key with a colon gives host and port")
        << file("<EMails><EMail><to>t</to><from>f</from><MTA>mx:2525</MTA></EMail></EMails>")
        << "S|mx|2525|||0\nA|t|f|0\n" + initialReport() << QByteArray();

    QTest::newRow("two MTA with one id: the first wins")
        << file("<MTAs><MTA><id>0</id><host>first</host><port>25</port><user>u</user><useTLS>1</useTLS></MTA>"
                "<MTA><id>0</id><host>second</host></MTA></MTAs>"
                "<EMails><EMail><to>t</to><from>f</from><MTA>0</MTA></EMail></EMails>")
        << "S|first|25|u||1\nA|t|f|0\n" + initialReport() << QByteArray();

    QTest::newRow("references and split text read back whole")
        << file(controller("<name>a&amp;b&lt;c&gt;&#65;\"'</name><password>p<![CDATA[<&>]]>q</password>"))
        << "C|a&b<c>A\"'|0||0||p<&>q\n" + initialReport() << QByteArray();

    QTest::newRow("surrounding white space of a value is kept")
        << file(controller("<name> a b </name>")) << "C| a b |0||0||\n" + initialReport() << QByteArray();

    QTest::newRow("element inside an entity that is not its leaf stops the load")
        << file(rack1 + controller("<name>x</name><colour>red</colour>"))
        << "C|rack1|0|h|80|root|pw\n" + initialReport()
        << QByteArray(
               "startElement() error for element colour: entity_ flag is set but colour is not leaf and has "
               "not index\n");

    QTest::newRow("Channels outside a controller leaves the reader inside one")
        << file("<Channels></Channels>") << initialReport()
        << QByteArray(
               "endElement() error for element Ampwarden: entity flag is set but element is neither entity "
               "nor leaf");

    QTest::newRow("text in an entity outside its leaves stops the load")
        << file("<MTA><host>h</host></MTA><Report>5</Report>") << "S|h|0|||0\n" + initialReport()
        << charactersError;

    QTest::newRow("malformed XML keeps the records before the fault")
        << QByteArray("<?xml version=\"1.0\"?>\n<Ampwarden>" + rack1 +
                      "\n<Controller><name>x</nam></Controller>")
        << "C|rack1|0|h|80|root|pw\n" + initialReport() << QByteArray("Fatal error at line 3 column ");
}

void SettingsReaderTest::load() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, state);
    QFETCH(QByteArray, error);

    QFile out(QStringLiteral("Ampwarden.xml"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(content);
    out.close();

    const QByteArray errors = loadSettings(*app_);
    if (error.isEmpty()) {
        QCOMPARE(errors, QByteArray());
    } else if (error.startsWith("Fatal error")) {
        QVERIFY2(errors.startsWith(error), errors.constData());
    } else {
        const QString m = QRegularExpression::escape(QString::fromUtf8(error));
        const QRegularExpression repeated(
            QStringLiteral("^%1Fatal error at line \\d+ column \\d+: %1\\n$").arg(m));
        QVERIFY2(repeated.match(QString::fromUtf8(errors)).hasMatch(), errors.constData());
    }
    QCOMPARE(settingsState(*app_), state);
    QVERIFY(app_->settingsBook.savingEnabled);
}

void SettingsReaderTest::noFile_defaultsWithoutError_data() {
    QTest::addColumn<QString>("inPlace"); // what stands at the file's name
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("no file: the first start, no error") << QString() << QByteArray();
    QTest::newRow("empty file: the parser's error")
        << QStringLiteral("file") << QByteArray("Fatal error at line 1 column 1: ");
    QTest::newRow("a directory: the parser's error")
        << QStringLiteral("directory") << QByteArray("Fatal error at line 1 column 1: ");
}

void SettingsReaderTest::noFile_defaultsWithoutError() {
    QFETCH(QString, inPlace);
    QFETCH(QByteArray, error);
    const QString name = QStringLiteral("Ampwarden.xml");
    if (inPlace == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(name));
    else if (!inPlace.isEmpty())
        QVERIFY(QFile(name).open(QIODevice::WriteOnly));

    const QByteArray errors = loadSettings(*app_);
    QVERIFY2(error.isEmpty() ? errors.isEmpty() : errors.startsWith(error), errors.constData());
    QCOMPARE(settingsState(*app_), initialReport());
    if (!inPlace.isEmpty())
        return;
    QVERIFY(!QFile::exists(name));
    storeController(*app_, -1, {"rack1"});
    QVERIFY(QFile::exists(name));
    QVERIFY(!QFile::exists(QStringLiteral("Ampwarden.xml.bak")));
}

QTEST_GUILESS_MAIN(SettingsReaderTest)
#include "tst_SettingsReader.moc"
