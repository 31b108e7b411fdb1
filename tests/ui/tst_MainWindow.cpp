#include "ModalDriver.h"
#include "TestSupport.h"

#include "ui/Ampwarden.h"
#include "ui/Channel.h"
#include "ui/Controller.h"
#include "ui/EMail.h"

#include "config/Settings.h"
#include "core/Alerts.h"
#include "core/Application.h"
#include "core/CheckCycle.h"
#include "core/CycleEvents.h"
#include "report/OutboxMail.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Warden::Test;
using Warden::Business::Application;

namespace {

// A user's double click on a cell: press and release, then the double click.
void doubleClickCell(QTableWidget* table, int row, int column) {
    const QPoint at = table->visualItemRect(table->item(row, column)).center();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
}

QByteArray settingsFile() {
    return readFile(QStringLiteral("Ampwarden.xml"));
}

QStringList rowCells(QTableWidget* table, int row) {
    QStringList cells;
    for (int c = 0; c < table->columnCount(); ++c)
        cells << (table->item(row, c) ? table->item(row, c)->text() : QString());
    return cells;
}

// Types into the controller dialog as a user would; bus limits go through the channel dialog.
struct ControllerInput {
    QString name;
    QString model;
    QString host;
    QString port;
    QList<QStringList> buses; // overcurrent, undercurrent, power factor per row
};

void enterController(Controller* dialog, const ControllerInput& input) {
    if (!input.name.isNull())
        child<QLineEdit>(dialog, "lineEditControllerName")->setText(input.name);
    auto* types = child<QComboBox>(dialog, "cbControllerTypes");
    if (!input.model.isNull())
        types->setCurrentIndex(types->findText(input.model));
    if (!input.host.isNull())
        child<QLineEdit>(dialog, "lineEdit_2")->setText(input.host);
    if (!input.port.isNull())
        child<QLineEdit>(dialog, "lineEdit_3")->setText(input.port);
    child<QLineEdit>(dialog, "lineEdit_4")->setText(QStringLiteral("admin"));
    child<QLineEdit>(dialog, "lineEdit_5")->setText(QStringLiteral("secret"));
    for (int row = 0; row < input.buses.size(); ++row) {
        const QStringList limits = input.buses[row];
        WhenModal<Channel> channel([&limits](Channel* c) {
            child<QLineEdit>(c, "lineEdit_4")->setText(limits.value(0));
            child<QLineEdit>(c, "lineEdit_5")->setText(limits.value(1));
            child<QLineEdit>(c, "lineEdit_3")->setText(limits.value(2));
            child<QPushButton>(c, "pushButton")->click();
        });
        dialog->channel(row, 0);
        QVERIFY(channel.fired());
    }
}

} // namespace

class tst_MainWindow : public QObject {
    Q_OBJECT

private slots:
    void construction_showsWidgetsAsConfigured();
    void emptyDirectory_defaultsShownAndWritten();
    void controllers_addEditAndRefuseDuplicate();
    void removeController_data();
    void removeController();
    void recipients_sameServerStoredOnce_passwordHidden();
    void removeEmail_yesRemovesSelected();
    void reportSettings_apply_data();
    void reportSettings_apply();
    void reportSettings_unknownCurrencyAppended();
    void querying_refusesControllerChanges();
    void eventLog_filtersWholeStoreAndKeepsWhatIsOnScreen();
    void fillTable_unknownTable_logs();
    void unwritableFiles_userIsTold_data();
    void unwritableFiles_userIsTold();
    void outbox_waitingMailsShown_data();
    void outbox_waitingMailsShown();
};

void tst_MainWindow::construction_showsWidgetsAsConfigured() {
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0); // syslog on a port the system picks
    QCOMPARE(window.windowTitle(), QStringLiteral("Ampwarden ver. 1.0"));
    QCOMPARE(window.objectName(), QStringLiteral("AmpwardenClass"));
    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(child<QLabel>(&window, "label_8")->isHidden());
    auto* emails = child<QTableWidget>(&window, "tableEmails");
    QCOMPARE(emails->columnWidth(0), 200);
    QCOMPARE(emails->columnWidth(2), 150);
    for (const char* name : {"tableControllers", "tableEmails", "tableEvents"}) {
        auto* table = child<QAbstractItemView>(&window, name);
        QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    }
    auto* currency = child<QComboBox>(&window, "comboBox_3");
    QVERIFY(currency->isEditable());
    QCOMPARE(currency->itemText(0), QStringLiteral("USD"));
    QCOMPARE(currency->itemText(7), QStringLiteral("руб."));
}

// A new user's first start: nothing configured, so nothing made up and nothing left blank.
void tst_MainWindow::emptyDirectory_defaultsShownAndWritten() {
    ScopedWorkDir dir; // the program's own initial state, schedule included
    Ampwarden window(nullptr, 0);
    QVERIFY2(!appLog().contains("Xml errors"), appLog().constData());
    const QStringList units{"Second", "Minute", "Hour", "Day", "Week", "Month"};
    const struct {
        const char* unitBox;
        const char* countBox;
        const char* unit;
        int count;
    } periods[] = {{"comboBox", "spinCheckEveryUnits", "Minute", 5},
                   {"comboBox_2", "spinReportEveryUnits", "Day", 1}};
    for (const auto& period : periods) {
        auto* box = child<QComboBox>(&window, period.unitBox);
        QStringList items;
        for (int i = 0; i < box->count(); ++i)
            items << box->itemText(i);
        QCOMPARE(items, units);
        QCOMPARE(box->currentText(), QLatin1String(period.unit));
        QCOMPARE(child<QSpinBox>(&window, period.countBox)->value(), period.count);
    }

    // In the empty Status tab's place: where controllers are added, one click away.
    auto* hint = child<QLabel>(&window, "labelStatusEmpty");
    QVERIFY(!hint->isHidden());
    QVERIFY(child<QWidget>(&window, "splitterStatus")->isHidden());
    emit hint->linkActivated(QStringLiteral("#setup"));
    QCOMPARE(child<QTabWidget>(&window, "tabWidget_2")->currentWidget(), child<QWidget>(&window, "tab_4"));

    child<QPushButton>(&window, "btnApply")->click();
    const QByteArray file = settingsFile();
    QVERIFY2(
        file.contains(
            "<checkEveryUnits>5</checkEveryUnits>\n        <checkEveryUnit>Minute</checkEveryUnit>") &&
            file.contains(
                "<reportEveryUnits>1</reportEveryUnits>\n        <reportEveryUnit>Day</reportEveryUnit>"),
        file.constData());

    Warden::Business::storeController(-1, {"r0", "Heron", "127.0.0.1", "1", "a", "p"});
    window.fillTable(child<QTableWidget>(&window, "tableControllers"));
    QVERIFY(hint->isHidden());
    QVERIFY(!child<QWidget>(&window, "splitterStatus")->isHidden());
}

void tst_MainWindow::controllers_addEditAndRefuseDuplicate() {
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* table = child<QTableWidget>(&window, "tableControllers");

    // Add a two-bus controller with its limits.
    WhenModal<Controller> add([](Controller* d) {
        enterController(
            d, {"rack1", "Kestrel 2", "10.0.0.5", "8080", {{"16", "0.5", "0.9"}, {"20", "1", "0.8"}}});
        child<QPushButton>(d, "pushButton")->click();
    });
    child<QPushButton>(&window, "btnAddController")->click();
    QVERIFY(add.fired());
    QCOMPARE(Application::controllers.size(), std::size_t(1));
    const auto& stored = Application::controllers.front();
    QCOMPARE(stored.port, quint16(8080));
    QCOMPARE(stored.channels.size(), std::size_t(2));
    QCOMPARE(stored.channels[0].optionalName, QByteArray("A"));
    QCOMPARE(stored.channels[1].overcurrent, 20.0);
    QCOMPARE(stored.channels[1].pf, 0.8);
    QCOMPARE(rowCells(table, 0), (QStringList{"rack1", "Kestrel 2", "10.0.0.5:8080", "admin", "******"}));
    QByteArray file = settingsFile();
    QVERIFY2(file.contains("<name>rack1</name>") && file.contains("<port>8080</port>") &&
                 file.contains("<overcurrent>20</overcurrent>"),
             file.constData());

    // Edit it: the dialog opens with what was stored, and keeps the name check out of the way.
    QString shownPort;
    WhenModal<Controller> edit([&](Controller* d) {
        shownPort = child<QLineEdit>(d, "lineEdit_3")->text();
        child<QLineEdit>(d, "lineEdit_2")->setText(QStringLiteral("10.0.0.6"));
        child<QPushButton>(d, "pushButton")->click();
    });
    doubleClickCell(table, 0, 0);
    QVERIFY(edit.fired());
    QCOMPARE(shownPort, QStringLiteral("8080"));
    QCOMPARE(Application::controllers.size(), std::size_t(1));
    QCOMPARE(Application::controllers.front().host, QByteArray("10.0.0.6"));
    QVERIFY(settingsFile().contains("<host>10.0.0.6</host>"));

    // A new controller with the same name is refused; the user gives up.
    file = settingsFile();
    SeenBox refusal;
    auto box = answerBox(&refusal);
    WhenModal<Controller> duplicate([](Controller* d) {
        enterController(d, {"rack1", "Heron", "10.0.0.9", "", {}});
        child<QPushButton>(d, "pushButton")->click();
        child<QPushButton>(d, "pushButton_2")->click();
    });
    window.dlgAddController();
    QVERIFY(duplicate.fired());
    QVERIFY(box.fired());
    QCOMPARE(refusal.title, QStringLiteral("Cannot save new controller"));
    QCOMPARE(Application::controllers.size(), std::size_t(1));
    QCOMPARE(settingsFile(), file);
}

void tst_MainWindow::removeController_data() {
    QTest::addColumn<int>("selectedRow");
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::addColumn<QStringList>("remaining");
    QTest::newRow("Yes removes the selected controller") << 1 << QMessageBox::Yes << QStringList{"r0", "r2"};
    QTest::newRow("Yes without a selection removes nothing")
        << -1 << QMessageBox::Yes << QStringList{"r0", "r1", "r2"};
    QTest::newRow("No keeps the controller") << 1 << QMessageBox::No << QStringList{"r0", "r1", "r2"};
}

void tst_MainWindow::removeController() {
    QFETCH(int, selectedRow);
    QFETCH(QMessageBox::StandardButton, answer);
    QFETCH(QStringList, remaining);
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    for (const char* name : {"r0", "r1", "r2"})
        Warden::Business::storeController(-1, {name, "Heron", "h", "", "a", "p"});
    window.fillTable(child<QTableWidget>(&window, "tableControllers"));
    auto* table = child<QTableWidget>(&window, "tableControllers");
    table->setCurrentCell(selectedRow, selectedRow < 0 ? -1 : 0);

    SeenBox question;
    auto box = answerBox(&question, answer);
    child<QPushButton>(&window, "btnRemoveController")->click();
    QVERIFY(box.fired());
    QCOMPARE(question.title, QStringLiteral("Remove Controller"));
    QCOMPARE(question.text, QStringLiteral("Are you sure you want to remove controller?"));
    QStringList names;
    for (const auto& c : Application::controllers)
        names << QString::fromUtf8(c.name);
    QCOMPARE(names, remaining);
    QCOMPARE(table->rowCount(), remaining.size());
    QCOMPARE(settingsFile().count("<Controller>"), remaining.size());
}

void tst_MainWindow::recipients_sameServerStoredOnce_passwordHidden() {
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* table = child<QTableWidget>(&window, "tableEmails");
    for (const char* to : {"ops@example.org", "boss@example.org"}) {
        WhenModal<EMail> add([to](EMail* d) {
            d->fill({to, "warden@example.org", "mail.example.org:587", "warden", "8charsPW", "1"});
            child<QPushButton>(d, "pushButton")->click();
        });
        child<QPushButton>(&window, "btnAddEmail")->click();
        QVERIFY(add.fired());
    }
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(rowCells(table, 1).mid(0, 5), (QStringList{"boss@example.org", "warden@example.org",
                                                        "mail.example.org:587", "warden", "********"}));
    QCOMPARE(table->item(1, 5)->checkState(), Qt::Checked);
    QVERIFY(!(table->item(1, 5)->flags() & Qt::ItemIsEnabled));
    const QByteArray file = settingsFile();
    QCOMPARE(file.count("<MTA>\n"), 1);
    QCOMPARE(file.count("<MTA>0</MTA>"), 2);

    // The dialog gets the real password, not the stars; Cancel stores nothing.
    QString shownPassword;
    WhenModal<EMail> open([&](EMail* d) {
        shownPassword = child<QLineEdit>(d, "lineEdit_5")->text();
        child<QPushButton>(d, "pushButton_2")->click();
    });
    doubleClickCell(table, 1, 0);
    QVERIFY(open.fired());
    QCOMPARE(shownPassword, QStringLiteral("8charsPW"));
    QCOMPARE(settingsFile(), file);
}

void tst_MainWindow::removeEmail_yesRemovesSelected() {
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    Warden::Business::storeMailAccount(-1, {"a@x", "f@x", "h", "u", "p", "0"}, QByteArray());
    Warden::Business::storeMailAccount(-1, {"b@x", "f@x", "h2", "u", "p", "0"}, QByteArray());
    auto* table = child<QTableWidget>(&window, "tableEmails");
    window.fillTable(table);
    table->setCurrentCell(0, 0);
    SeenBox question;
    auto box = answerBox(&question, QMessageBox::Yes);
    child<QPushButton>(&window, "btnRemoveEmail")->click();
    QVERIFY(box.fired());
    QCOMPARE(question.title, QStringLiteral("Remove EMail"));
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 0)->text(), QStringLiteral("b@x"));
    QVERIFY(!settingsFile().contains("<to>a@x</to>"));
}

void tst_MainWindow::reportSettings_apply_data() {
    QTest::addColumn<quint32>("storedCheckUnit");
    QTest::addColumn<quint32>("storedCheckUnits");
    QTest::addColumn<quint32>("storedReportUnits");
    QTest::addColumn<QString>("checkChoice");
    QTest::addColumn<QString>("reportChoice");
    QTest::addColumn<int>("typedReportUnits"); // -1: the box is left as it is
    QTest::addColumn<quint32>("checkUnit");
    QTest::addColumn<quint32>("checkUnits");
    QTest::addColumn<quint32>("reportUnit");
    QTest::addColumn<quint32>("reportUnits");
    QTest::newRow("Day and Week as chosen") << 60u << 1u << 1u << "Day"
                                            << "Week" << -1 << 86400u << 1u << 604800u << 1u;
    // A stored unit is shown and kept when only the price changes.
    QTest::newRow("stored Week check unit survives Apply")
        << 604800u << 1u << 1u << QString() << "Hour" << -1 << 604800u << 1u << 3600u << 1u;
    QTest::newRow("stored Second check unit survives Apply")
        << 1u << 1u << 1u << QString() << "Month" << -1 << 1u << 1u << 2592000u << 1u;
    QTest::newRow("hand-set 5 Minute and 3 Day survive Apply")
        << 60u << 5u << 3u << QString() << "Day" << -1 << 60u << 5u << 86400u << 3u;
    QTest::newRow("count 0 (never) survives Apply")
        << 60u << 0u << 1u << QString() << "Hour" << -1 << 60u << 0u << 3600u << 1u;
    QTest::newRow("typed count is stored") << 60u << 1u << 1u << "Hour"
                                           << "Hour" << 12 << 3600u << 1u << 3600u << 12u;
}

void tst_MainWindow::reportSettings_apply() {
    QFETCH(quint32, storedCheckUnit);
    QFETCH(quint32, storedCheckUnits);
    QFETCH(quint32, storedReportUnits);
    QFETCH(QString, checkChoice);
    QFETCH(QString, reportChoice);
    QFETCH(int, typedReportUnits);
    QFETCH(quint32, checkUnit);
    QFETCH(quint32, checkUnits);
    QFETCH(quint32, reportUnit);
    QFETCH(quint32, reportUnits);
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    Application::report.checkEveryUnit = storedCheckUnit;
    Application::report.checkEveryUnits = storedCheckUnits;
    Application::report.reportEveryUnits = storedReportUnits;
    window.fillSettings();
    auto* check = child<QComboBox>(&window, "comboBox");
    if (!checkChoice.isNull())
        check->setCurrentIndex(check->findText(checkChoice));
    auto* report = child<QComboBox>(&window, "comboBox_2");
    report->setCurrentIndex(report->findText(reportChoice));
    if (typedReportUnits >= 0)
        child<QSpinBox>(&window, "spinReportEveryUnits")->setValue(typedReportUnits);
    child<QCheckBox>(&window, "checkBox_2")->setChecked(true);
    child<QCheckBox>(&window, "checkBox_4")->setChecked(true);
    child<QLineEdit>(&window, "lineEdit")->setText(QStringLiteral("0.25"));
    for (const char* name : {"checkAlertCurrent", "checkAlertNoAnswer", "checkAlertLogins"})
        QVERIFY(!child<QCheckBox>(&window, name)->isChecked());
    child<QCheckBox>(&window, "checkAlertNoAnswer")->setChecked(true);
    quint16 metricsPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        metricsPort = probe.serverPort();
    }
    const QByteArray metricsAddress = "127.0.0.1:" + QByteArray::number(metricsPort);
    child<QLineEdit>(&window, "lineMetrics")
        ->setText(QStringLiteral(" %1 ").arg(QLatin1String(metricsAddress)));
    child<QPushButton>(&window, "btnApply")->click();

    const auto& stored = Application::report;
    QCOMPARE(stored.checkEveryUnit, checkUnit);
    QCOMPARE(stored.checkEveryUnits, checkUnits);
    QCOMPARE(stored.reportEveryUnit, reportUnit);
    QCOMPARE(stored.reportEveryUnits, reportUnits);
    QVERIFY(!stored.sendOnLogin && stored.sendUnderOverCurrent && !stored.sendHistogram &&
            stored.sendPowerBill);
    QCOMPARE(stored.kWHPriceUSD, 0.25);
    QVERIFY(!stored.alertCurrent && stored.alertNoAnswer && !stored.alertLogins);
    QCOMPARE(stored.metricsAddress, metricsAddress);
    // Applied at once: the endpoint is up.
    QTcpSocket scraper;
    scraper.connectToHost(QHostAddress::LocalHost, metricsPort);
    QVERIFY(scraper.waitForConnected(5000));
    const QByteArray file = settingsFile();
    QVERIFY(file.contains("<alertNoAnswer>1</alertNoAnswer>") && !file.contains("<alertCurrent>"));
    QVERIFY2(file.contains("<kWHPriceUSD>0.25</kWHPriceUSD>"), file.constData());
    QVERIFY(
        file.contains("<reportEveryUnit>" + Application::unitNames().at(reportUnit) + "</reportEveryUnit>"));
    QVERIFY2(
        file.contains("<checkEveryUnits>" + QByteArray::number(checkUnits) + "</checkEveryUnits>") &&
            file.contains("<reportEveryUnits>" + QByteArray::number(reportUnits) + "</reportEveryUnits>"),
        file.constData());
}

void tst_MainWindow::reportSettings_unknownCurrencyAppended() {
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    auto* currency = child<QComboBox>(&window, "comboBox_3");
    const int offered = currency->count();
    Application::report.currency = "NOK";
    Application::report.kWHPriceUSD = 1.0 / 3;
    child<QPushButton>(&window, "btnCancel")->click();
    QCOMPARE(currency->count(), offered + 1);
    QCOMPARE(currency->currentText(), QStringLiteral("NOK"));
    QCOMPARE(child<QLineEdit>(&window, "lineEdit")->text(), QStringLiteral("0.333333"));
    Application::report.currency = "EUR";
    window.fillSettings();
    QCOMPARE(currency->count(), offered + 1);
    QCOMPARE(currency->currentIndex(), 2);
}

void tst_MainWindow::querying_refusesControllerChanges() {
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    Warden::CheckCycle& cycle = *window.cycle();
    // The test plays the querying object: the window's own would end the check on its own.
    cycle.setQueryTarget(nullptr);
    Warden::Business::storeController(-1, {"r0", "Heron", "h", "", "a", "p"});
    window.fillTable(child<QTableWidget>(&window, "tableControllers"));
    const QByteArray file = settingsFile();

    Warden::CheckEvent check;
    QCoreApplication::sendEvent(&cycle, &check);
    QVERIFY(window.querying());
    QVERIFY(!child<QLabel>(&window, "label_8")->isHidden());
    QVERIFY(!child<QPushButton>(&window, "btnAddController")->isEnabled());
    QVERIFY(!child<QPushButton>(&window, "btnRemoveController")->isEnabled());

    for (auto attempt : {&Ampwarden::dlgAddController, &Ampwarden::rmvController}) {
        SeenBox refusal;
        auto box = answerBox(&refusal);
        WhenModal<Controller> opened([](Controller* d) { d->reject(); }, 300);
        (window.*attempt)();
        QVERIFY(box.fired());
        QCOMPARE(refusal.title, QStringLiteral("Cannot add or modify controller now"));
        QVERIFY(refusal.text.endsWith(QStringLiteral("wait until \"Querying controllers ...\" string")));
        QTest::qWait(350);
        QVERIFY(!opened.fired());
        QVERIFY(!cycle.editing());
    }
    QCOMPARE(Application::controllers.size(), std::size_t(1));
    QCOMPARE(settingsFile(), file);

    Warden::ClientEvent done(Warden::CycleEvents::clientDone());
    QCoreApplication::sendEvent(&cycle, &done);
    QVERIFY(child<QLabel>(&window, "label_8")->isHidden());
    QVERIFY(child<QPushButton>(&window, "btnAddController")->isEnabled());

    // A controller dialog being open keeps the next check from starting.
    bool editingSeen = false;
    WhenModal<Controller> open([&](Controller* d) {
        editingSeen = cycle.editing();
        Warden::CheckEvent during;
        QCoreApplication::sendEvent(&cycle, &during);
        d->reject();
    });
    window.dlgController(0);
    QVERIFY(open.fired());
    QVERIFY(editingSeen);
    QVERIFY(!cycle.querying());
    QVERIFY(!cycle.editing());
}

void tst_MainWindow::eventLog_filtersWholeStoreAndKeepsWhatIsOnScreen() {
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    using Warden::Business::EventKind;
    using Warden::Business::Transport;
    Warden::Business::storeController(-1, {"r0", "Heron", "h", "", "admin", "p"});
    Warden::Business::storeController(-1, {"r1", "Heron", "h1", "", "admin", "p"});
    window.fillTable(child<QTableWidget>(&window, "tableControllers"));
    auto* r0 = Application::controllerAt(0);
    auto* r1 = Application::controllerAt(1);
    r0->lastCheck = 1'800'000'000;
    for (int i = 0; i < 150; ++i)
        Application::addEvent("id" + QByteArray::number(i), 1'700'000'000 + i, r0, EventKind::values,
                              Transport::syslog, "r", "raw");
    Application::addEvent("ours", 1'700'000'200, r1, EventKind::login_success, Transport::http, "",
                          "Successful authentication of user admin from 127.0.0.1");
    Application::addEvent("theirs", 1'700'000'201, r1, EventKind::login_failure, Transport::http, "",
                          "Failed authentication of user admin from 10.9.9.9");
    window.refreshEventLog();
    auto* counts = child<QLineEdit>(&window, "lineEdit_2");
    QCOMPARE(counts->text(), QStringLiteral("151 / 152"));
    QCOMPARE(child<QLineEdit>(&window, "lineEdit_3")->text(), QStringLiteral("Fri Jan 15 08:00:00 2027"));

    auto* controllers = child<QComboBox>(&window, "comboEventController");
    controllers->setCurrentIndex(controllers->findText(QStringLiteral("r1 : Heron @ h1")));
    QCOMPARE(counts->text(), QStringLiteral("1 / 152"));
    child<QCheckBox>(&window, "checkHidePolling")->setChecked(false);
    QCOMPARE(counts->text(), QStringLiteral("2 / 152"));
    controllers->setCurrentIndex(0);
    auto* search = child<QLineEdit>(&window, "lineEventSearch");
    QTest::keyClicks(search, QStringLiteral("ID14"));
    QTRY_COMPARE(counts->text(), QStringLiteral("11 / 152")); // id14, id140 ... id149
    search->clear();
    QTest::keyClick(search, Qt::Key_Return);
    QCOMPARE(counts->text(), QStringLiteral("152 / 152"));

    // Scrolled down with an event chosen: new events on top move neither.
    child<QTabWidget>(&window, "tabWidget_2")->setCurrentWidget(child<QWidget>(&window, "tab_5"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* table = child<QTableView>(&window, "tableEvents");
    const auto label = [table](int row) { return table->model()->index(row, 0).data().toString(); };
    table->selectRow(60);
    const QString chosen = label(60);
    table->verticalScrollBar()->setValue(50);
    const QString top = label(table->verticalScrollBar()->value());
    for (int i = 0; i < 3; ++i)
        Application::addEvent("new", 1'700'000'300 + i, r0, EventKind::values, Transport::syslog, "r", "raw");
    window.refreshEventLog();
    QCOMPARE(counts->text(), QStringLiteral("155 / 155"));
    QCOMPARE(label(table->verticalScrollBar()->value()), top);
    QCOMPARE(label(table->currentIndex().row()), chosen);
}

void tst_MainWindow::fillTable_unknownTable_logs() {
    WindowWorkDir dir;
    Ampwarden window(nullptr, 0);
    QTableWidget other(2, 1);
    other.setHorizontalHeaderLabels({QStringLiteral("Something")});
    other.setItem(0, 0, new QTableWidgetItem(QStringLiteral("kept")));
    window.fillTable(&other);
    QCOMPARE(other.rowCount(), 2);
    QCOMPARE(other.item(0, 0)->text(), QStringLiteral("kept"));
    QVERIFY(appLog().endsWith(": fillTable(): unknown table\n"));
}

void tst_MainWindow::unwritableFiles_userIsTold_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("directory");
    // Tests run as root, for whom permissions block nothing; something else standing at the path
    // makes every write fail the same way.
    QTest::newRow("Ampwarden.xml is a directory: Apply") << QStringLiteral("Ampwarden.xml") << true;
    QTest::newRow("log is a plain file: events arrive") << QStringLiteral("log") << false;
}

// A box while the window is in use, and one line in app.log however often it happens.
void tst_MainWindow::unwritableFiles_userIsTold() {
    QFETCH(QString, name);
    QFETCH(bool, directory);
    WindowWorkDir dir;
    Warden::Alerts::clear("daily log");
    if (directory) {
        QVERIFY(QDir().mkdir(name));
    } else {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    Ampwarden window(nullptr, 0);
    window.show();
    const qsizetype logged = appLog().size();
    SeenBox seen;
    const auto box = answerBox(&seen);
    if (directory) {
        child<QPushButton>(&window, "btnApply")->click();
    } else {
        Warden::Business::storeController(-1, {"r0", "Heron", "h", "", "a", "p"});
        for (int i = 0; i < 2; ++i)
            Application::addEvent("id" + QByteArray::number(i), 1'700'000'000 + i,
                                  &Application::controllers.front(), Warden::Business::EventKind::values,
                                  Warden::Business::Transport::syslog, "r", "raw");
    }
    QTRY_VERIFY(box.fired());
    QVERIFY2(seen.text.contains(name), qPrintable(seen.text));
    const QByteArray added = appLog().mid(logged);
    QCOMPARE(added.count('\n'), 1);
    QVERIFY2(added.contains(name.toUtf8()), added.constData());
}

void tst_MainWindow::outbox_waitingMailsShown_data() {
    QTest::addColumn<QList<qint64>>("ages");
    QTest::addColumn<QString>("shown"); // empty: the line is hidden

    QTest::newRow("nothing waits") << QList<qint64>{} << QString();
    QTest::newRow("oldest of two") << QList<qint64>{125 * 60, 30}
                                   << QStringLiteral("Report mails waiting: 2 (oldest 2 h 5 min)");
    QTest::newRow("days") << QList<qint64>{3 * 86400 + 4 * 3600 + 59}
                          << QStringLiteral("Report mails waiting: 1 (oldest 3 d 4 h)");
}

// Mails left by an earlier run (their server is not configured here, so they stay) are counted at start.
void tst_MainWindow::outbox_waitingMailsShown() {
    QFETCH(QList<qint64>, ages);
    QFETCH(QString, shown);
    WindowWorkDir dir;
    const qint64 now = utcSeconds(2026, 12, 7, 12);
    ManualClock clock(now);
    QVERIFY(QDir().mkpath(QStringLiteral("outbox")));
    for (int i = 0; i < ages.size(); ++i) {
        Warden::OutboxMail mail;
        mail.to = "ops@example.test";
        mail.serverHost = "gone.example.test";
        mail.queued = now - ages.at(i);
        mail.nextAttempt = now + 3600;
        QFile file(QStringLiteral("outbox/%1.mail").arg(i));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(mail.toFile());
    }
    Ampwarden window(nullptr, 0);
    window.cycle()->setQueryTarget(nullptr);
    Warden::Business::storeController(-1, {"r0", "Heron", "h", "", "a", "p"});
    // The line stays one line through a check: the end of a check once added a blank one each time.
    Warden::CheckEvent check;
    QCoreApplication::sendEvent(window.cycle(), &check);
    Warden::ClientEvent done(Warden::CycleEvents::clientDone());
    QCoreApplication::sendEvent(window.cycle(), &done);
    const auto labels = window.findChildren<QLabel*>(QStringLiteral("labelOutbox"));
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels[0]->isHidden(), shown.isEmpty());
    QCOMPARE(labels[0]->text(), shown);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_MainWindow.moc"
