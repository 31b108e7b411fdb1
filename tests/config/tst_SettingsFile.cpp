#include "SettingsState.h"
#include "TestSupport.h"

#include "config/Settings.h"
#include "core/Application.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#include <optional>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Warden::Business;
using Warden::Test::appLog;
using Warden::Test::readFile;
using Warden::Test::settingsState;

namespace {

const QString fileName = QStringLiteral("Ampwarden.xml");
const QString backupName = QStringLiteral("Ampwarden.xml.bak");

const QByteArray workedExample = R"(<?xml version="1.0" encoding="UTF-8"?>
<Ampwarden>
    <Controllers>
        <Controller>
            <name>rack1</name>
            <type>Kestrel 2</type>
            <host>10.0.0.5</host>
            <port>80</port>
            <admin>root</admin>
            <password></password>
            <Channels>
                <Channel>
                    <optionalName>A</optionalName>
                    <undercurrent>1</undercurrent>
                    <overcurrent>13</overcurrent>
                    <pf>1</pf>
                </Channel>
                <Channel>
                    <optionalName>B</optionalName>
                    <undercurrent>0.5</undercurrent>
                    <overcurrent>10</overcurrent>
                    <pf>0.9</pf>
                </Channel>
            </Channels>
        </Controller>
    </Controllers>
    <MTAs>
        <MTA>
            <id>0</id>
            <host>mail.example.com</host>
            <port>25</port>
            <user>alerts</user>
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
    </EMails>
    <Report>
        <checkEveryUnits>5</checkEveryUnits>
        <checkEveryUnit>Minute</checkEveryUnit>
        <sendOnLogin>1</sendOnLogin>
        <sendUnderOverCurrent>1</sendUnderOverCurrent>
        <sendHistogram>0</sendHistogram>
        <sendPowerBill>1</sendPowerBill>
        <sendEntireLog>0</sendEntireLog>
        <reportEveryUnits>1</reportEveryUnits>
        <reportEveryUnit>Day</reportEveryUnit>
        <kWHPriceUSD>0.12</kWHPriceUSD>
        <currency>USD</currency>
    </Report>
</Ampwarden>)";

void writeFile(const QString& name, const QByteArray& bytes) {
    QFile out(name);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(bytes);
}

// As the dialogs hand the settings over.
void enterWorkedExample(Application& app) {
    storeController(
        app, -1,
        {"rack1", "Kestrel 2", "10.0.0.5", "80", "root", "", "A", "13", "1", "1", "B", "10", "0.5", "0.9"});
    storeMailAccount(
        app, -1, {"ops@example.com", "ampwarden@example.com", "mail.example.com:25", "alerts", "", "0"}, {});
    storeReportSettings(app, {"Minute", "5", "1", "1", "0", "1", "0", "Day", "1", "0.12", "USD"});
}

// Reads the file as a fresh start of the program does.
QByteArray restart(std::optional<Application>& app) {
    app.emplace();
    return loadSettings(*app);
}

mode_t fileMode(const QString& name) {
    struct stat st {};
    if (::stat(QFile::encodeName(name).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

QStringList strayFiles() {
    QStringList names = QDir::current().entryList(QDir::Files);
    names.removeAll(fileName);
    names.removeAll(backupName);
    names.removeAll(QStringLiteral("app.log"));
    return names;
}

// Text made of pieces that the writer must escape or carry through: markup characters, quotes,
// non-ASCII text, a carriage return, inner and surrounding spaces. Never white space only, which
// reads back empty by design.
QByteArray randomText(QRandomGenerator& random) {
    static const QByteArray pieces[] = {
        "a", "Z",  "7",    "&",  "<", ">",         "\"", "'", "]]>", "&amp;", "ä", "€", "\xF0\x9F\x98\x80",
        " ", "\t", "\r\n", "\r", ":", "NO CHANNEL"};
    const int length = random.bounded(0, 6);
    QByteArray text;
    for (int i = 0; i < length; ++i)
        text += pieces[random.bounded(int(std::size(pieces)))];
    if (!text.isEmpty() && text.trimmed().isEmpty())
        text += 'x';
    return text;
}

QByteArray randomNumber(QRandomGenerator& random) {
    return QByteArray::number(random.bounded(-2000, 200000) / 100.0, 'g', 6);
}

void enterRandomState(Application& app, QRandomGenerator& random) {
    const auto models = Application::modelNames();
    const int controllers = random.bounded(0, 4);
    for (int c = 0; c < controllers; ++c) {
        Texts values{randomText(random),
                     std::next(models.begin(), random.bounded(int(models.size())))->second,
                     randomText(random).replace(':', '_'),
                     QByteArray::number(random.bounded(0, 65536)),
                     randomText(random),
                     randomText(random)};
        const int channels = random.bounded(0, 4);
        for (int k = 0; k < channels; ++k) {
            QByteArray name = randomText(random);
            if (name == "NO CHANNEL")
                name.clear();
            values << name << randomNumber(random) << randomNumber(random) << randomNumber(random);
        }
        storeController(app, -1, values);
    }
    const int accounts = random.bounded(0, 5);
    for (int a = 0; a < accounts; ++a) {
        // A small pool of server settings, so that some recipients share a server.
        const int server = random.bounded(0, 3);
        const QByteArray host = "mx" + QByteArray::number(server) + randomText(random).replace(':', '_');
        storeMailAccount(app, -1,
                         {randomText(random), randomText(random),
                          host + ":" + QByteArray::number(server * 1000), randomText(random),
                          randomText(random), server == 1 ? "1" : "0"},
                         {});
    }
    static const char* const units[] = {"Second", "Minute", "Hour", "Day", "Week", "Month"};
    storeReportSettings(
        app, {units[random.bounded(6)], QByteArray::number(random.bounded(1, 100)),
              random.bounded(2) ? "1" : "0", random.bounded(2) ? "1" : "0", random.bounded(2) ? "1" : "0",
              random.bounded(2) ? "1" : "0", random.bounded(2) ? "1" : "0", units[random.bounded(6)],
              QByteArray::number(random.bounded(1, 100)), randomNumber(random), randomText(random)});
}

} // namespace

class SettingsFileTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        workDir_.emplace();
        Warden::Test::startWithoutFile(app_);
    }
    void cleanup() {
        app_.reset();
        workDir_.reset();
    }

    void workedExample_isWrittenByteForByte_andReadsBack();
    void optionalReportElements_areWrittenOnlyWhenSet_andReadBack_data();
    void optionalReportElements_areWrittenOnlyWhenSet_andReadBack();
    void randomStates_roundTripStably();
    void numbers_areWrittenWithSixDigits_data();
    void numbers_areWrittenWithSixDigits();
    void textXmlCannotHold_keepsTheFileReadable_data();
    void textXmlCannotHold_keepsTheFileReadable();
    void controllerWithoutChannels_hasChannelsTagsOnConsecutiveLines();
    void sharedServer_isWrittenOnce_andDroppedWithItsLastRecipient();
    void file_isReadableByItsOwnerOnly();
    void incompleteRead_keepsOriginalBeforeFirstRewrite_data();
    void incompleteRead_keepsOriginalBeforeFirstRewrite();
    void completeRead_keepsNoBackup();
    void failedWrite_leavesOldFileIntact();
    void writeKilledBeforeRename_leavesOldFileIntact();
    void savingDisabled_writesNothing();

private:
    std::optional<Warden::Test::ScopedWorkDir> workDir_;
    std::optional<Application> app_;
};

void SettingsFileTest::workedExample_isWrittenByteForByte_andReadsBack() {
    enterWorkedExample(*app_);
    QCOMPARE(readFile(fileName), workedExample);
    const QByteArray state = settingsState(*app_);

    QCOMPARE(restart(app_), QByteArray());
    QCOMPARE(settingsState(*app_), state);
    saveSettings(*app_);
    QCOMPARE(readFile(fileName), workedExample);
}

void SettingsFileTest::optionalReportElements_areWrittenOnlyWhenSet_andReadBack_data() {
    // The alert switches (current, no answer, logins) and the metrics address as the window hands them
    // over.
    QTest::addColumn<QByteArrayList>("flags");
    QTest::addColumn<QByteArray>("lines"); // what follows <currency> in the file
    QTest::newRow("all off: the file of a program without alerts")
        << QByteArrayList{"0", "0", "0", ""} << QByteArray();
    QTest::newRow("current only") << QByteArrayList{"1", "0", "0", ""}
                                  << QByteArray("        <alertCurrent>1</alertCurrent>\n");
    QTest::newRow("metrics only") << QByteArrayList{"0", "0", "0", "[::1]:9647"}
                                  << QByteArray("        <metricsAddress>[::1]:9647</metricsAddress>\n");
    QTest::newRow("all on") << QByteArrayList{"1", "1", "1", "127.0.0.1:9647"}
                            << QByteArray("        <alertCurrent>1</alertCurrent>\n"
                                          "        <alertNoAnswer>1</alertNoAnswer>\n"
                                          "        <alertLogins>1</alertLogins>\n"
                                          "        <metricsAddress>127.0.0.1:9647</metricsAddress>\n");
}

void SettingsFileTest::optionalReportElements_areWrittenOnlyWhenSet_andReadBack() {
    QFETCH(QByteArrayList, flags);
    QFETCH(QByteArray, lines);
    const QByteArray expected = QByteArray(workedExample).replace("</currency>\n", "</currency>\n" + lines);
    // A file as written before the switches existed reads as all off and is written back unchanged.
    writeFile(fileName, expected);
    QCOMPARE(restart(app_), QByteArray());
    const ReportSettings& r = app_->report;
    QCOMPARE((QByteArrayList{r.alertCurrent ? "1" : "0", r.alertNoAnswer ? "1" : "0",
                             r.alertLogins ? "1" : "0", r.metricsAddress}),
             flags);
    saveSettings(*app_);
    QCOMPARE(readFile(fileName), expected);

    // The same from the window.
    QVERIFY(QFile::remove(fileName));
    Warden::Test::startWithoutFile(app_);
    enterWorkedExample(*app_);
    storeReportSettings(
        *app_, QByteArrayList{"Minute", "5", "1", "1", "0", "1", "0", "Day", "1", "0.12", "USD"} + flags);
    QCOMPARE(readFile(fileName), expected);
}

void SettingsFileTest::randomStates_roundTripStably() {
    for (quint32 seed = 1; seed <= 60; ++seed) {
        QRandomGenerator random(seed);
        Warden::Test::startWithoutFile(app_);
        app_->settingsBook.savingEnabled = false; // one write per state keeps the test fast
        enterRandomState(*app_, random);
        app_->settingsBook.savingEnabled = true;
        saveSettings(*app_);
        const QByteArray state = settingsState(*app_);
        const QByteArray written = readFile(fileName);

        const QByteArray errors = restart(app_);
        QVERIFY2(errors.isEmpty(),
                 qPrintable(QStringLiteral("seed %1: %2").arg(seed).arg(QString::fromUtf8(errors))));
        QVERIFY2(settingsState(*app_) == state, qPrintable(QStringLiteral("seed %1").arg(seed)));
        saveSettings(*app_);
        QVERIFY2(readFile(fileName) == written, qPrintable(QStringLiteral("seed %1").arg(seed)));
    }
}

void SettingsFileTest::numbers_areWrittenWithSixDigits_data() {
    QTest::addColumn<QByteArray>("price");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("readBack");

    QTest::newRow("two decimals as they are")
        << QByteArray("0.12") << QByteArray("0.12") << QByteArray("0.12");
    QTest::newRow("whole number without point") << QByteArray("13") << QByteArray("13") << QByteArray("13");
    QTest::newRow("seven digits rounded to six")
        << QByteArray("0.1234567") << QByteArray("0.123457") << QByteArray("0.123457");
    QTest::newRow("large whole part in exponent form")
        << QByteArray("1234567.891") << QByteArray("1.23457e+06") << QByteArray("1.23457e+06");
}

void SettingsFileTest::numbers_areWrittenWithSixDigits() {
    QFETCH(QByteArray, price);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, readBack);

    storeReportSettings(*app_, {"Hour", "1", "0", "0", "0", "0", "0", "Day", "1", price, "USD"});
    QVERIFY(readFile(fileName).contains("<kWHPriceUSD>" + written + "</kWHPriceUSD>"));
    QCOMPARE(restart(app_), QByteArray());
    QCOMPARE(Warden::formatG(app_->report.kWHPriceUSD), readBack);
}

void SettingsFileTest::textXmlCannotHold_keepsTheFileReadable_data() {
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("readBack");

    QTest::newRow("control character is left out") << QByteArray("a\x01"
                                                                 "b")
                                                   << QByteArray("ab");
    QTest::newRow("bytes that are no UTF-8 become U+FFFD")
        << QByteArray("a\xE9z") << QByteArray("a\xEF\xBF\xBDz");
    QTest::newRow("carriage return survives") << QByteArray("a\rb\r\nc") << QByteArray("a\rb\r\nc");
}

void SettingsFileTest::textXmlCannotHold_keepsTheFileReadable() {
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, readBack);

    storeController(*app_, -1, {"first", "Heron", "h", "80", "root", password});
    storeController(*app_, -1, {"second"});
    QCOMPARE(restart(app_), QByteArray());
    QCOMPARE(app_->controllerCount(), 2);
    QCOMPARE(app_->controllers.front().password, readBack);
    QCOMPARE(app_->controllers.back().name, QByteArray("second"));
}

void SettingsFileTest::controllerWithoutChannels_hasChannelsTagsOnConsecutiveLines() {
    storeController(*app_, -1, {"bare", "Wren", "h"});
    QVERIFY(readFile(fileName).contains("<password></password>\n"
                                        "            <Channels>\n"
                                        "            </Channels>\n"
                                        "        </Controller>"));
}

void SettingsFileTest::sharedServer_isWrittenOnce_andDroppedWithItsLastRecipient() {
    const Texts server{"", "", "mx:25", "user", "secret", "1"};
    Texts first = server, second = server;
    first[0] = "one@example.com";
    second[0] = "two@example.com";
    storeMailAccount(*app_, -1, first, {});
    storeMailAccount(*app_, -1, second, {});

    const QByteArray file = readFile(fileName);
    QCOMPARE(file.count("<MTA>\n"), 1);
    QCOMPARE(file.count("<MTA>0</MTA>"), 2);
    QCOMPARE(app_->mailServers.size(), size_t(1));

    removeMailAccount(*app_, 0);
    QCOMPARE(app_->mailServers.size(), size_t(1));
    QVERIFY(readFile(fileName).contains("<id>0</id>"));

    removeMailAccount(*app_, 0);
    QVERIFY(app_->mailServers.empty());
    QVERIFY(readFile(fileName).contains("    <MTAs>\n    </MTAs>\n    <EMails>\n    </EMails>\n"));
}

void SettingsFileTest::file_isReadableByItsOwnerOnly() {
    storeController(*app_, -1, {"rack1"});
    QCOMPARE(fileMode(fileName), mode_t(0600));

    QVERIFY(::chmod(QFile::encodeName(fileName).constData(), 0644) == 0);
    storeController(*app_, 0, {"rack2"});
    QCOMPARE(fileMode(fileName), mode_t(0600));
    QVERIFY(readFile(fileName).contains("<name>rack2</name>"));
}

void SettingsFileTest::incompleteRead_keepsOriginalBeforeFirstRewrite_data() {
    QTest::addColumn<QByteArray>("original");

    const QByteArray head = "<?xml version=\"1.0\"?>\n<Ampwarden><Controllers><Controller><name>kept</name>"
                            "<Channels></Channels></Controller>";
    QTest::newRow("malformed XML")
        << head + "<Controller><name>lost</nme></Controller></Controllers></Ampwarden>";
    QTest::newRow("unknown element in an entity")
        << head + "<Controller><colour>red</colour></Controller></Controllers></Ampwarden>";
    QTest::newRow("fourth channel with text") << head + "<Controller><name>lost</name><Channels><Channel/"
                                                        "><Channel/><Channel/><Channel><pf>1</pf></Channel>"
                                                        "</Channels></Controller></Controllers></Ampwarden>";
    QTest::newRow("empty file") << QByteArray();
}

void SettingsFileTest::incompleteRead_keepsOriginalBeforeFirstRewrite() {
    QFETCH(QByteArray, original);

    writeFile(backupName, "an older backup");
    writeFile(fileName, original);
    QVERIFY(!restart(app_).isEmpty());
    QCOMPARE(readFile(backupName), QByteArray("an older backup")); // nothing happens before a change

    storeController(*app_, -1, {"new"});
    QCOMPARE(readFile(backupName), original);
    QCOMPARE(fileMode(backupName), mode_t(0600));
    QVERIFY(readFile(fileName).contains("<name>new</name>"));
    QCOMPARE(appLog().count("was not read completely"), 1);

    // Only the first rewrite keeps the original: later ones must not replace it with the rewritten file.
    storeController(*app_, -1, {"newer"});
    QCOMPARE(readFile(backupName), original);
    QCOMPARE(appLog().count("was not read completely"), 1);
}

void SettingsFileTest::completeRead_keepsNoBackup() {
    enterWorkedExample(*app_);
    QCOMPARE(restart(app_), QByteArray());
    storeController(*app_, -1, {"new"});
    QVERIFY(!QFile::exists(backupName));
    QVERIFY(!appLog().contains("was not read completely"));
}

void SettingsFileTest::failedWrite_leavesOldFileIntact() {
    enterWorkedExample(*app_);
    // A full disk: writes beyond the limit fail instead of raising SIGXFSZ.
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
    rlimit small = previous;
    // Room for the app.log line, not for the settings.
    small.rlim_cur = static_cast<rlim_t>(appLog().size() + 300);
    QVERIFY(small.rlim_cur < rlim_t(workedExample.size()));
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    storeController(*app_, 0, {"renamed", "Heron", "10.0.0.9"});
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &previous) == 0);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(readFile(fileName), workedExample);
    QCOMPARE(strayFiles(), QStringList());
    QVERIFY(appLog().contains("saveSettings(): error: Ampwarden.xml was not written"));
}

void SettingsFileTest::writeKilledBeforeRename_leavesOldFileIntact() {
    enterWorkedExample(*app_);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // The process dies of SIGXFSZ in the middle of writing the new settings.
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit small{200, 200};
        ::setrlimit(RLIMIT_FSIZE, &small);
        storeController(*app_, 0, {"renamed", "Heron", "10.0.0.9"});
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), SIGXFSZ);
    QCOMPARE(readFile(fileName), workedExample);
}

void SettingsFileTest::savingDisabled_writesNothing() {
    app_->settingsBook.savingEnabled = false;
    enterWorkedExample(*app_);
    QVERIFY(!QFile::exists(fileName));
}

QTEST_GUILESS_MAIN(SettingsFileTest)
#include "tst_SettingsFile.moc"
