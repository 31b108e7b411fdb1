#include "ModalDriver.h"
#include "TestSupport.h"

#include "ui/Channel.h"
#include "ui/Controller.h"
#include "ui/EMail.h"
#include "ui/Resources.h"
#include "ui/help.h"
#include "ui/httpconnect.h"
#include "ui/ping.h"


#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTextBrowser>
#include <QTextEdit>
#include <QThread>

#include <atomic>

using namespace Warden::Test;

namespace {

QStringList rowHeaders(QTableWidget* table) {
    QStringList headers;
    for (int r = 0; r < table->rowCount(); ++r)
        headers << (table->verticalHeaderItem(r) ? table->verticalHeaderItem(r)->text()
                                                 : QStringLiteral("<none>"));
    return headers;
}

QStringList rowCells(QTableWidget* table, int row) {
    QStringList cells;
    for (int c = 0; c < table->columnCount(); ++c)
        cells << (table->item(row, c) ? table->item(row, c)->text() : QString());
    return cells;
}

void setRow(QTableWidget* table, int row, const QStringList& cells) {
    for (int c = 0; c < cells.size(); ++c)
        table->setItem(row, c, new QTableWidgetItem(cells[c]));
}

// A controller's web server reduced to what the HTTP test needs: one answer per connection, and the
// request it read kept for the test to look at.
class FakeController : public QObject {
public:
    explicit FakeController(QByteArray response)
        : response_(std::move(response)) {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            auto* socket = server_.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                request += socket->readAll();
                if (request.contains("\r\n\r\n")) {
                    socket->write(response_);
                    socket->disconnectFromHost();
                }
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
        server_.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server_.serverPort(); }
    QByteArray header(const QByteArray& name) const {
        for (const auto& line : request.split('\n'))
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        return {};
    }

    QByteArray request;

private:
    QTcpServer server_;
    QByteArray response_;
};

} // namespace

class tst_Dialogs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { initAmpwardenResources(); }

    void controller_switchingModels_keepsBusALimits();
    void controller_fill_data();
    void controller_fill();
    void controller_newWithDuplicateName_data();
    void controller_newWithDuplicateName();
    void controller_channelDialog_data();
    void controller_channelDialog();
    void channel_numberOutOfRange_refused_data();
    void channel_numberOutOfRange_refused();

    void email_fillAndValues_data();
    void email_fillAndValues();
    void email_testMail_data();
    void email_testMail();
    void email_testMail_windowsKeepWorkingWhileSending();

    void httpTest_data();
    void httpTest();
    void httpTest_againstSimulator_data();
    void httpTest_againstSimulator();
    void httpTest_unresolvableHost_showsError();
    void httpTest_silentController_showsTimeout();

    void ping_runsFourEchoesAndShowsOutput_data();
    void ping_runsFourEchoesAndShowsOutput();

    void help_outsideLinkGoesToDesktopBrowser();
    void help_anchorThenBack();
};

void tst_Dialogs::controller_switchingModels_keepsBusALimits() {
    Controller dialog(nullptr, QByteArray());
    auto* types = child<QComboBox>(&dialog, "cbControllerTypes");
    auto* table = child<QTableWidget>(&dialog, "tableWidget");
    QCOMPARE(types->currentIndex(), -1);
    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(dialog.values().value(1), QByteArray());

    types->setCurrentIndex(types->findText(QStringLiteral("Kestrel 2")));
    QCOMPARE(rowHeaders(table), (QStringList{"A", "B"}));
    setRow(table, 0, {"16", "0.5", "0.9"});
    setRow(table, 1, {"20", "1", "0.8"});

    types->setCurrentIndex(types->findText(QStringLiteral("Heron")));
    QCOMPARE(rowHeaders(table), QStringList{QString()});
    QCOMPARE(rowCells(table, 0), (QStringList{"16", "0.5", "0.9"}));

    types->setCurrentIndex(types->findText(QStringLiteral("Kestrel 2 Display")));
    QCOMPARE(rowHeaders(table), (QStringList{"A", "B"}));
    QCOMPARE(rowCells(table, 1), (QStringList{"16", "0.5", "0.9"}));

    // Between the two Kestrel models the buses stay as they are.
    setRow(table, 1, {"30", "2", "1"});
    types->setCurrentIndex(types->findText(QStringLiteral("Kestrel 2")));
    QCOMPARE(rowCells(table, 1), (QStringList{"30", "2", "1"}));

    child<QLineEdit>(&dialog, "lineEditControllerName")->setText(QStringLiteral("rack 7"));
    child<QLineEdit>(&dialog, "lineEdit_2")->setText(QStringLiteral("10.0.0.5"));
    QCOMPARE(dialog.values(), (QList<QByteArray>{"rack 7", "Kestrel 2", "10.0.0.5", "", "", "", "A", "16",
                                                 "0.5", "0.9", "B", "30", "2", "1"}));
}

void tst_Dialogs::controller_fill_data() {
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QList<QByteArray>>("stored");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QList<QByteArray>>("values");

    QTest::newRow("host with port splits at the colon")
        << QByteArray("Heron")
        << QList<QByteArray>{"r1", "Heron", "10.0.0.5:8080", "admin", "pw", "", "5", "1", "0.95"}
        << "10.0.0.5"
        << "8080"
        << QList<QByteArray>{"r1", "Heron", "10.0.0.5", "8080", "admin", "pw", "", "5", "1", "0.95"};
    QTest::newRow("host without port leaves the port empty")
        << QByteArray("Wren") << QList<QByteArray>{"r2", "Wren", "pdu.local", "a", "b"} << "pdu.local"
        << "" << QList<QByteArray>{"r2", "Wren", "pdu.local", "", "a", "b", "", "", "", ""};
    QTest::newRow("two buses, second one missing from the list")
        << QByteArray("Kestrel 2")
        << QList<QByteArray>{"r3", "Kestrel 2", "h:81", "a", "b", "A", "10", "2", "1"} << "h"
        << "81"
        << QList<QByteArray>{"r3", "Kestrel 2", "h", "81", "a", "b", "A", "10", "2", "1", "B", "", "", ""};
    QTest::newRow("stored channels beyond the model's buses are dropped")
        << QByteArray("Plover")
        << QList<QByteArray>{"r4", "Plover", "h", "a", "b", "", "1", "2", "3", "B", "4", "5", "6"} << "h"
        << "" << QList<QByteArray>{"r4", "Plover", "h", "", "a", "b", "", "1", "2", "3"};
}

void tst_Dialogs::controller_fill() {
    QFETCH(QByteArray, model);
    QFETCH(QList<QByteArray>, stored);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QList<QByteArray>, values);
    Controller dialog(nullptr, model);
    dialog.fill(stored);
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_2")->text(), host);
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_3")->text(), port);
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_5")->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog.values(), values);
}

void tst_Dialogs::controller_newWithDuplicateName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("editsExisting");
    QTest::addColumn<bool>("refused");
    QTest::newRow("new controller with a taken name is refused") << "rack1" << false << true;
    QTest::newRow("letter case makes a different name") << "RACK1" << false << false;
    QTest::newRow("an edited controller may take any name") << "rack1" << true << false;
}

void tst_Dialogs::controller_newWithDuplicateName() {
    QFETCH(QString, name);
    QFETCH(bool, editsExisting);
    QFETCH(bool, refused);
    ScopedWorkDir dir;
    Controller dialog(nullptr, "Heron");
    dialog.setTakenNames({"rack1"});
    if (editsExisting)
        dialog.fill({"other", "Heron", "h", "a", "p"});
    child<QLineEdit>(&dialog, "lineEditControllerName")->setText(name);
    SeenBox seen;
    auto watcher = answerBox(&seen);
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    dialog.show();
    child<QPushButton>(&dialog, "pushButton")->click();
    QCOMPARE(accepted.count(), refused ? 0 : 1);
    QCOMPARE(watcher.fired(), refused);
    if (refused) {
        QCOMPARE(seen.title, QStringLiteral("Cannot save new controller"));
        QVERIFY(seen.text.startsWith(QStringLiteral("Controller named rack1 already exists.")));
        QCOMPARE(seen.icon, QMessageBox::Question);
        QVERIFY(dialog.isVisible());
    }
}

void tst_Dialogs::controller_channelDialog_data() {
    QTest::addColumn<bool>("accept");
    QTest::newRow("OK replaces the row") << true;
    QTest::newRow("Cancel leaves the row") << false;
}

void tst_Dialogs::controller_channelDialog() {
    QFETCH(bool, accept);
    Controller dialog(nullptr, "Kestrel 2");
    dialog.fill({"r", "Kestrel 2", "h", "a", "p", "A", "10", "1", "0.9", "B", "12", "2", "0.8"});
    auto* table = child<QTableWidget>(&dialog, "tableWidget");
    QStringList shown;
    WhenModal<Channel> watcher([&](Channel* channel) {
        auto* name = child<QLineEdit>(channel, "lineEdit_2");
        shown = {name->text(), child<QLineEdit>(channel, "lineEdit_4")->text(),
                 child<QLineEdit>(channel, "lineEdit_5")->text(),
                 child<QLineEdit>(channel, "lineEdit_3")->text()};
        QVERIFY(!name->isEnabled());
        child<QLineEdit>(channel, "lineEdit_4")->setText(QStringLiteral("15"));
        child<QLineEdit>(channel, "lineEdit_3")->setText(QStringLiteral("0.7"));
        child<QPushButton>(channel, accept ? "pushButton" : "pushButton_2")->click();
    });
    dialog.channel(1, 2);
    QVERIFY(watcher.fired());
    QCOMPARE(shown, (QStringList{"B", "12", "2", "0.8"}));
    QCOMPARE(rowHeaders(table), (QStringList{"A", "B"}));
    QCOMPARE(rowCells(table, 1), accept ? (QStringList{"15", "2", "0.7"}) : (QStringList{"12", "2", "0.8"}));
    QCOMPARE(rowCells(table, 0), (QStringList{"10", "1", "0.9"}));
}

void tst_Dialogs::channel_numberOutOfRange_refused_data() {
    QTest::addColumn<QStringList>("numbers"); // overcurrent, undercurrent, power factor
    QTest::addColumn<QString>("refusal");     // empty: accepted
    QTest::newRow("the ends of the ranges are accepted") << QStringList{"1000", "0", "1"} << QString();
    QTest::newRow("texts that are no numbers are left to the store")
        << QStringList{"x", "", "-"} << QString();
    QTest::newRow("overcurrent beyond 1000 A")
        << QStringList{"2000", "1", "1"} << QStringLiteral("Overcurrent 2000 A is outside 0 to 1000 A");
    QTest::newRow("negative undercurrent")
        << QStringList{"13", "-1", "1"} << QStringLiteral("Undercurrent -1 A is outside 0 to 1000 A");
    QTest::newRow("power factor above 1")
        << QStringList{"13", "1", "1.5"} << QStringLiteral("Power factor 1.5 is outside 0 to 1");
}

void tst_Dialogs::channel_numberOutOfRange_refused() {
    QFETCH(QStringList, numbers);
    QFETCH(QString, refusal);
    Channel dialog;
    dialog.fill({"A", numbers[0].toUtf8(), numbers[1].toUtf8(), numbers[2].toUtf8()});
    dialog.show();
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    SeenBox seen;
    const auto watcher = answerBox(&seen);
    child<QPushButton>(&dialog, "pushButton")->click();
    QCOMPARE(accepted.count(), refusal.isEmpty() ? 1 : 0);
    QCOMPARE(watcher.fired(), !refusal.isEmpty());
    QCOMPARE(seen.text, refusal);
    if (!refusal.isEmpty()) {
        QCOMPARE(seen.title, QStringLiteral("Cannot save channel"));
        QVERIFY(dialog.isVisible());
    }
}

void tst_Dialogs::email_fillAndValues_data() {
    QTest::addColumn<QList<QByteArray>>("texts");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QList<QByteArray>>("values");
    QTest::newRow("port 25 comes back after the colon")
        << QList<QByteArray>{"to@x", "from@x", "mail.x:25", "u", "pw", "1"} << "mail.x"
        << "25" << true << QList<QByteArray>{"to@x", "from@x", "mail.x:25", "u", "pw", "1"};
    QTest::newRow("no port gives the host alone")
        << QList<QByteArray>{"to@x", "from@x", "mail.x", "u", "pw", "0"} << "mail.x"
        << "" << false << QList<QByteArray>{"to@x", "from@x", "mail.x", "u", "pw", "0"};
    QTest::newRow("TLS text other than 1 is off")
        << QList<QByteArray>{"to@x", "from@x", "mail.x", "u", "pw", "true"} << "mail.x"
        << "" << false << QList<QByteArray>{"to@x", "from@x", "mail.x", "u", "pw", "0"};
    QTest::newRow("missing texts count as empty")
        << QList<QByteArray>{"to@x"} << ""
        << "" << false << QList<QByteArray>{"to@x", "", "", "", "", "0"};
    QTest::newRow("non-ASCII password survives")
        << QList<QByteArray>{"a", "b", "h", "u", "pässwörd", "0"} << "h"
        << "" << false << QList<QByteArray>{"a", "b", "h", "u", "pässwörd", "0"};
}

void tst_Dialogs::email_fillAndValues() {
    QFETCH(QList<QByteArray>, texts);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(bool, tls);
    QFETCH(QList<QByteArray>, values);
    EMail dialog;
    dialog.fill(texts);
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_2")->text(), host);
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_3")->text(), port);
    QCOMPARE(child<QCheckBox>(&dialog, "checkBox")->isChecked(), tls);
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_5")->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog.values(), values);
}

void tst_Dialogs::email_testMail_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QByteArray>("errors");
    QTest::addColumn<quint16>("sentPort");
    QTest::addColumn<QString>("title");
    QTest::newRow("failure shows the sender's reason and logs it")
        << "587" << QByteArray("550 relay denied\nsession trace") << quint16(587)
        << "Cannot send email to ops@example.org";
    QTest::newRow("success logs nothing, empty port means the default")
        << "" << QByteArray() << quint16(0) << "Email was successfully sent to ops@example.org";
}

void tst_Dialogs::email_testMail() {
    QFETCH(QString, port);
    QFETCH(QByteArray, errors);
    QFETCH(quint16, sentPort);
    QFETCH(QString, title);
    ScopedWorkDir dir;
    EMail::TestMail sent;
    EMail::setMailSend([&](const EMail::TestMail& mail) {
        sent = mail;
        return errors;
    });
    EMail dialog;
    dialog.fill({"ops@example.org", "warden@example.org", "mail.example.org", "user", "secret", "1"});
    child<QLineEdit>(&dialog, "lineEdit_3")->setText(port);
    const QByteArray logBefore = appLog();
    SeenBox seen;
    auto watcher = answerBox(&seen);
    dialog.show();
    child<QPushButton>(&dialog, "pushButton_3")->click();
    EMail::setMailSend(nullptr);

    QVERIFY(watcher.fired());
    QCOMPARE(seen.title, title);
    QCOMPARE(sent.port, sentPort);
    QCOMPARE(sent.host, QByteArray("mail.example.org"));
    QCOMPARE(sent.password, QByteArray("secret"));
    QVERIFY(sent.useTLS);
    QCOMPARE(sent.subject, QByteArray("Test email from Ampwarden"));
    QVERIFY(!sent.body.contains('\n'));
    if (errors.isEmpty()) {
        QVERIFY(
            seen.text.startsWith(QStringLiteral("Please check the ops@example.org inbox. If email has been "
                                                "received from warden@example.org, all MTA settings")));
        QCOMPARE(appLog(), logBefore);
    } else {
        QCOMPARE(seen.text, QString::fromUtf8(errors));
        QCOMPARE(appLog(), logBefore + errors + '\n');
    }
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.values().value(4), QByteArray("secret"));
}

void tst_Dialogs::email_testMail_windowsKeepWorkingWhileSending() {
    ScopedWorkDir dir;
    std::atomic<bool> release{false};
    EMail::setMailSend([&](const EMail::TestMail&) {
        // A slow server: the send ends only when the main thread has shown it is still running.
        for (int i = 0; i < 500 && !release.load(); ++i)
            QThread::msleep(10);
        return QByteArray();
    });
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (++ticks == 5)
            release = true;
    });
    ticker.start(10);
    EMail dialog;
    dialog.fill({"ops@example.org", "warden@example.org", "h", "", "", "0"});
    SeenBox seen;
    auto watcher = answerBox(&seen);
    dialog.sendTestEmail();
    EMail::setMailSend(nullptr);
    QVERIFY(watcher.fired());
    QVERIFY(release.load());
    QVERIFY(ticks >= 5);
    QVERIFY(seen.title.startsWith(QStringLiteral("Email was successfully sent")));
}

void tst_Dialogs::httpTest_data() {
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("accepted login")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok") << "admin"
        << "secret"
        << "Basic " + QByteArray("admin:secret").toBase64()
        << "HTTP connection OK: all settings for this controller are valid";
    QTest::newRow("wrong password shows 401 and the response header")
        << QByteArray("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"ctl\"\r\nContent-Length: "
                      "0\r\nConnection: close\r\n\r\n")
        << "admin"
        << "wrong"
        << "Basic " + QByteArray("admin:wrong").toBase64() << "HTTP response error code 401:";
    QTest::newRow("empty login still sends Basic with the colon")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n") << ""
        << "" << QByteArray("Basic Og==") << "HTTP connection OK: all settings for this controller are valid";
}

void tst_Dialogs::httpTest() {
    QFETCH(QByteArray, response);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QByteArray, authorization);
    QFETCH(QString, lastLine);
    FakeController controller(response);
    httpconnect dialog(QStringLiteral("127.0.0.1"), controller.port(), user, password);
    QSignalSpy finished(&dialog, &httpconnect::finished);
    QVERIFY(finished.wait(5000));
    const QString hostPort = QStringLiteral("127.0.0.1:%1").arg(controller.port());
    const QStringList lines = dialog.transcript().split(QLatin1Char('\n'));
    QCOMPARE(lines.value(0), QStringLiteral("Connecting to ") + hostPort + QStringLiteral(" as ") + user);
    QVERIFY(controller.request.startsWith("GET / HTTP/1.1\r\n"));
    QCOMPARE(controller.header("Host"), hostPort.toLatin1());
    QCOMPARE(controller.header("Authorization"), authorization);
    QCOMPARE(lines.value(1), lastLine);
    if (lastLine.contains(QLatin1String("401"))) {
        QCOMPARE(lines.value(2), QStringLiteral("HTTP/1.1 401 Unauthorized"));
        QVERIFY(dialog.transcript().contains(QStringLiteral("WWW-Authenticate: Basic realm=\"ctl\"")));
    } else {
        QCOMPARE(lines.size(), 2);
    }
}

void tst_Dialogs::httpTest_againstSimulator_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("result");
    QTest::newRow("right password") << "secret"
                                    << "HTTP connection OK: all settings for this controller are valid";
    QTest::newRow("wrong password") << "guess"
                                    << "HTTP response error code 401:";
}

void tst_Dialogs::httpTest_againstSimulator() {
    QFETCH(QString, password);
    QFETCH(QString, result);
    QProcess simulator;
    simulator.start(QStringLiteral(CTLSIM_BINARY), {QStringLiteral("--user"), QStringLiteral("admin"),
                                                    QStringLiteral("--password"), QStringLiteral("secret")});
    QByteArray output;
    while (!output.contains("ready\n") && simulator.waitForReadyRead(5000))
        output += simulator.readAllStandardOutput();
    const quint16 port = quint16(
        output.mid(output.indexOf("controller 0 ")).split('\n').value(0).split(' ').value(2).toUInt());
    QVERIFY2(port != 0, output.constData());

    httpconnect dialog(QStringLiteral("127.0.0.1"), port, QStringLiteral("admin"), password);
    QSignalSpy finished(&dialog, &httpconnect::finished);
    QVERIFY(finished.wait(5000));
    simulator.kill();
    simulator.waitForFinished(5000);
    const QStringList lines = dialog.transcript().split(QLatin1Char('\n'));
    QCOMPARE(lines.value(1), result);
    if (result.contains(QLatin1String("401")))
        QVERIFY2(lines.value(2).startsWith(QStringLiteral("HTTP/1.1 401")), qPrintable(dialog.transcript()));
}

void tst_Dialogs::httpTest_unresolvableHost_showsError() {
    httpconnect dialog(QStringLiteral("no-such-host.invalid"), 0, QStringLiteral("a"), QStringLiteral("b"));
    QSignalSpy finished(&dialog, &httpconnect::finished);
    QVERIFY(finished.wait(15000));
    const QStringList lines = dialog.transcript().split(QLatin1Char('\n'));
    QCOMPARE(lines.value(0), QStringLiteral("Connecting to no-such-host.invalid:80 as a"));
    QVERIFY2(lines.value(1).startsWith(QStringLiteral("HTTP error: ")), qPrintable(lines.value(1)));
}

void tst_Dialogs::httpTest_silentController_showsTimeout() {
    // Accepts the connection and never answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    httpconnect::setTimeoutMs(200);
    httpconnect dialog(QStringLiteral("127.0.0.1"), silent.serverPort(), QStringLiteral("a"),
                       QStringLiteral("b"));
    httpconnect::setTimeoutMs(30000);
    QTRY_VERIFY_WITH_TIMEOUT(
        dialog.transcript().contains(QStringLiteral("Timeout: the controller is unavailable")), 5000);
}

void tst_Dialogs::ping_runsFourEchoesAndShowsOutput_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("address") << QStringLiteral("10.1.2.3");
    QTest::newRow("host that looks like an option stays the host") << QStringLiteral("-f");
}

void tst_Dialogs::ping_runsFourEchoesAndShowsOutput() {
    QFETCH(QString, host);
    // echo stands in for ping: what it prints are the arguments the dialog passed.
    ping::setProgram(QStringLiteral("echo"));
    ping dialog(host);
    ping::setProgram(QStringLiteral("ping"));
    auto* text = child<QTextEdit>(&dialog, "textEdit");
    QTRY_VERIFY_WITH_TIMEOUT(text->toPlainText().contains(QStringLiteral("--------------- ping finished")),
                             5000);
    const QString shown = text->toPlainText();
    QVERIFY2(shown.startsWith(QStringLiteral(">ping ") + host + QStringLiteral(" ...")), qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("\n-c 4 -- ") + host + QStringLiteral("\n")), qPrintable(shown));
    QVERIFY(shown.indexOf(QStringLiteral("-c 4")) < shown.indexOf(QStringLiteral("ping finished")));
}

class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened << url; }

public:
    QList<QUrl> opened;
};

void tst_Dialogs::help_outsideLinkGoesToDesktopBrowser() {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    help window;
    auto* view = child<QTextBrowser>(&window, "webView");
    QCOMPARE(view->source(), QUrl(QStringLiteral("qrc:/new/prefix1/help.html")));
    QVERIFY(view->toPlainText().contains(QStringLiteral("Adding a controller")));
    window.go(QUrl(QStringLiteral("https://example.org/manual")));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(catcher.opened, QList<QUrl>{QUrl(QStringLiteral("https://example.org/manual"))});
    QCOMPARE(view->source(), QUrl(QStringLiteral("qrc:/new/prefix1/help.html")));
    QVERIFY(!child<QPushButton>(&window, "pushButton_2")->isEnabled());
}

void tst_Dialogs::help_anchorThenBack() {
    help window;
    window.show();
    auto* back = child<QPushButton>(&window, "pushButton_2");
    auto* view = child<QTextBrowser>(&window, "webView");
    QVERIFY(!back->isEnabled());
    QVERIFY(child<QProgressBar>(&window, "progressBar")->isHidden());
    window.go(QUrl(QStringLiteral("#10")));
    QCOMPARE(view->source().fragment(), QStringLiteral("10"));
    QVERIFY(back->isEnabled());
    back->click();
    QCOMPARE(view->source().fragment(), QString());
    QVERIFY(!back->isEnabled());
    window.close();
    QVERIFY(window.isHidden());
    QCOMPARE(view->source(), QUrl(QStringLiteral("qrc:/new/prefix1/help.html")));
}

QTEST_MAIN(tst_Dialogs)
#include "tst_Dialogs.moc"
