#include "ModalDriver.h"
#include "TestSupport.h"

#include "ui/Channel.h"
#include "ui/Controller.h"
#include "ui/EMail.h"
#include "ui/PortSpinBox.h"
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
    void controller_refusal_staysOnTheField_data();
    void controller_refusal_staysOnTheField();
    void controller_channelDialog_data();
    void controller_channelDialog();
    void controller_enterOnChannelRow_opensIt();
    void channel_refusal_staysOnTheField_data();
    void channel_refusal_staysOnTheField();
    void dialogs_enterAccepts_data();
    void dialogs_enterAccepts();
    void port_digitsTypedAnywhereAreTaken_data();
    void port_digitsTypedAnywhereAreTaken();

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
    // New buses start with the power factor of a plain load.
    QCOMPARE(rowCells(table, 1), (QStringList{"", "", "1"}));
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
        << "" << QList<QByteArray>{"r2", "Wren", "pdu.local", "", "a", "b", "", "", "", "1"};
    QTest::newRow("two buses, second one missing from the list")
        << QByteArray("Kestrel 2")
        << QList<QByteArray>{"r3", "Kestrel 2", "h:81", "a", "b", "A", "10", "2", "1"} << "h"
        << "81"
        << QList<QByteArray>{"r3", "Kestrel 2", "h", "81", "a", "b", "A", "10", "2", "1", "B", "", "", "1"};
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
    QCOMPARE(child<PortSpinBox>(&dialog, "spinPort")->portText(), port);
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_5")->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog.values(), values);
}

void tst_Dialogs::controller_refusal_staysOnTheField_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("editsExisting");
    QTest::addColumn<QString>("title"); // empty: accepted
    QTest::addColumn<QString>("focused");
    QTest::newRow("new controller with a taken name") << "rack1"
                                                      << "h" << false << "Cannot save new controller"
                                                      << "lineEditControllerName";
    QTest::newRow("letter case makes a different name") << "RACK1"
                                                        << "h" << false << QString() << QString();
    QTest::newRow("edited controller taking another's name") << "rack1"
                                                             << "h" << true << "Cannot save controller"
                                                             << "lineEditControllerName";
    QTest::newRow("edited controller keeping its own name") << "own"
                                                            << "h" << true << QString() << QString();
    QTest::newRow("no host") << "new"
                             << "" << false << "Cannot save new controller"
                             << "lineEdit_2";
}

void tst_Dialogs::controller_refusal_staysOnTheField() {
    QFETCH(QString, name);
    QFETCH(QString, host);
    QFETCH(bool, editsExisting);
    QFETCH(QString, title);
    QFETCH(QString, focused);
    Controller dialog(nullptr, "Heron", {QStringLiteral("rack1")});
    if (editsExisting)
        dialog.fill({"own", "Heron", "h", "a", "p", "", "16", "0", "1"});
    else
        setRow(child<QTableWidget>(&dialog, "tableWidget"), 0, {"16", "0", "1"});
    child<QLineEdit>(&dialog, "lineEditControllerName")->setText(name);
    child<QLineEdit>(&dialog, "lineEdit_2")->setText(host);
    SeenBox seen;
    auto watcher = answerBox(&seen);
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    dialog.show();
    child<QPushButton>(&dialog, "pushButton")->click();
    QCOMPARE(accepted.count(), title.isEmpty() ? 1 : 0);
    QCOMPARE(watcher.fired(), !title.isEmpty());
    if (title.isEmpty())
        return;
    QCOMPARE(seen.title, title);
    if (name == QLatin1String("rack1"))
        QVERIFY(seen.text.startsWith(QStringLiteral("Controller named rack1 already exists.")));
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.focusWidget()->objectName(), focused);
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

void tst_Dialogs::controller_enterOnChannelRow_opensIt() {
    Controller dialog(nullptr, "Kestrel 2");
    dialog.fill({"r", "Kestrel 2", "h", "a", "p", "A", "10", "1", "0.9", "B", "12", "2", "0.8"});
    dialog.show();
    auto* table = child<QTableWidget>(&dialog, "tableWidget");
    table->setFocus();
    table->setCurrentCell(1, 0);
    QString opened;
    WhenModal<Channel> watcher([&opened](Channel* channel) {
        opened = child<QLineEdit>(channel, "lineEdit_2")->text();
        channel->reject();
    });
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QTest::keyClick(table, Qt::Key_Return);
    QVERIFY(watcher.fired());
    QCOMPARE(opened, QStringLiteral("B"));
    QCOMPARE(accepted.count(), 0);
}

void tst_Dialogs::channel_refusal_staysOnTheField_data() {
    QTest::addColumn<QStringList>("numbers"); // overcurrent, undercurrent, power factor
    QTest::addColumn<QString>("focused");     // empty: accepted
    QTest::newRow("the ends of the ranges") << QStringList{"1000", "0", "1"} << QString();
    QTest::newRow("undercurrent with a decimal comma") << QStringList{"16", "0,5", "1"} << "lineEdit_5";
    QTest::newRow("power factor 1.5") << QStringList{"16", "0", "1.5"} << "lineEdit_3";
}

void tst_Dialogs::channel_refusal_staysOnTheField() {
    QFETCH(QStringList, numbers);
    QFETCH(QString, focused);
    Channel dialog;
    dialog.fill({"A", numbers[0].toUtf8(), numbers[1].toUtf8(), numbers[2].toUtf8()});
    dialog.show();
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    SeenBox seen;
    const auto watcher = answerBox(&seen);
    child<QPushButton>(&dialog, "pushButton")->click();
    QCOMPARE(accepted.count(), focused.isEmpty() ? 1 : 0);
    QCOMPARE(watcher.fired(), !focused.isEmpty());
    if (focused.isEmpty())
        return;
    QCOMPARE(seen.title, QStringLiteral("Cannot save channel"));
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.focusWidget()->objectName(), focused);
}

// The dialog, filled so that OK takes it.
static std::unique_ptr<QDialog> filledDialog(const QString& kind) {
    if (kind == QLatin1String("controller")) {
        auto dialog = std::make_unique<Controller>(nullptr, "Heron");
        dialog->fill({"r", "Heron", "h", "a", "p", "", "16", "0", "1"});
        return dialog;
    }
    if (kind == QLatin1String("channel")) {
        auto dialog = std::make_unique<Channel>();
        dialog->fill({"A", "16", "0", "1"});
        return dialog;
    }
    auto dialog = std::make_unique<EMail>();
    dialog->fill({"to@x", "from@x", "h", "u", "p", "0"});
    return dialog;
}

void tst_Dialogs::dialogs_enterAccepts_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("field");
    QTest::newRow("controller, in the name") << "controller"
                                             << "lineEditControllerName";
    QTest::newRow("controller, in the port") << "controller"
                                             << "spinPort";
    QTest::newRow("channel, in the power factor") << "channel"
                                                  << "lineEdit_3";
    QTest::newRow("e-mail, in the password") << "email"
                                             << "lineEdit_5";
}

void tst_Dialogs::dialogs_enterAccepts() {
    QFETCH(QString, kind);
    QFETCH(QString, field);
    const auto dialog = filledDialog(kind);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    auto* widget = child<QWidget>(dialog.get(), field.toLatin1().constData());
    widget->setFocus();
    QSignalSpy accepted(dialog.get(), &QDialog::accepted);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(accepted.count(), 1);
}

void tst_Dialogs::port_digitsTypedAnywhereAreTaken_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("hostIndex");
    QTest::addColumn<QByteArray>("hostText");
    QTest::newRow("controller") << "controller" << 3 << QByteArray("8080");
    QTest::newRow("e-mail") << "email" << 2 << QByteArray("h:8080");
}

void tst_Dialogs::port_digitsTypedAnywhereAreTaken() {
    QFETCH(QString, kind);
    QFETCH(int, hostIndex);
    QFETCH(QByteArray, hostText);
    const auto dialog = filledDialog(kind);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    auto* field = child<PortSpinBox>(dialog.get(), "spinPort")->findChild<QLineEdit*>();
    QVERIFY(field);
    // A click at the field's right end, where a user aims to type.
    QTest::mouseClick(field, Qt::LeftButton, {}, QPoint(field->width() - 4, field->height() / 2));
    QTest::keyClicks(field, QStringLiteral("8080"));
    const QList<QByteArray> values = kind == QLatin1String("controller")
                                         ? static_cast<Controller*>(dialog.get())->values()
                                         : static_cast<EMail*>(dialog.get())->values();
    QCOMPARE(values.value(hostIndex), hostText);
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
    QCOMPARE(child<PortSpinBox>(&dialog, "spinPort")->portText(), port);
    QCOMPARE(child<QCheckBox>(&dialog, "checkBox")->isChecked(), tls);
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit_5")->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog.values(), values);
}

void tst_Dialogs::email_testMail_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QByteArray>("errors");
    QTest::addColumn<quint16>("sentPort");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::newRow("failure shows the sender's reason and logs it")
        << "587" << QByteArray("550 relay denied\nsession trace") << quint16(587)
        << "Cannot send email to ops@example.org" << QMessageBox::Warning;
    QTest::newRow("success logs nothing, empty port means the default")
        << "" << QByteArray() << quint16(0) << "Email was successfully sent to ops@example.org"
        << QMessageBox::Information;
}

void tst_Dialogs::email_testMail() {
    QFETCH(QString, port);
    QFETCH(QByteArray, errors);
    QFETCH(quint16, sentPort);
    QFETCH(QString, title);
    QFETCH(QMessageBox::Icon, icon);
    ScopedWorkDir dir;
    EMail::TestMail sent;
    EMail::setMailSend([&](const EMail::TestMail& mail) {
        sent = mail;
        return errors;
    });
    EMail dialog;
    dialog.fill({"ops@example.org", "warden@example.org", "mail.example.org", "user", "secret", "1"});
    child<PortSpinBox>(&dialog, "spinPort")->setPortText(port);
    const QByteArray logBefore = appLog();
    SeenBox seen;
    auto watcher = answerBox(&seen);
    dialog.show();
    child<QPushButton>(&dialog, "pushButton_3")->click();
    EMail::setMailSend(nullptr);

    QVERIFY(watcher.fired());
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.icon, icon);
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
