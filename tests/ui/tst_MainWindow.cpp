#include "ModalDriver.h"
#include "TestSupport.h"
#include "WindowService.h"

#include "ui/Ampwarden.h"
#include "ui/Channel.h"
#include "ui/Controller.h"
#include "ui/EMail.h"
#include "ui/PortSpinBox.h"

#include "config/Settings.h"
#include "core/Alerts.h"
#include "core/Application.h"
#include "core/CheckCycle.h"
#include "core/CycleEvents.h"
#include "report/OutboxMail.h"
#include "service/Service.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
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
#include <QTimer>

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
        child<PortSpinBox>(dialog, "spinPort")->setPortText(input.port);
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
    void controllers_editToAnotherName_refused_data();
    void controllers_editToAnotherName_refused();
    void removeController_data();
    void removeController();
    void keyboard_setupTableRows_data();
    void keyboard_setupTableRows();
    void keyboard_windowKeys_data();
    void keyboard_windowKeys();
    void stop_asksWithCancelAsDefault_data();
    void stop_asksWithCancelAsDefault();
    void recipients_sameServerStoredOnce_passwordHidden();
    void removeEmail_yesRemovesSelected();
    void reportSettings_apply_data();
    void reportSettings_apply();
    void reportSettings_unknownCurrencyAppended();
    void querying_controllerDialogHoldsNextCheck();
    void eventLog_filtersWholeStoreAndKeepsWhatIsOnScreen();
    void fillTable_unknownTable_logs();
    void unwritableFiles_userIsTold_data();
    void unwritableFiles_userIsTold();
    void outbox_waitingMailsShown_data();
    void outbox_waitingMailsShown();
};

void tst_MainWindow::construction_showsWidgetsAsConfigured() {
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
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
    Warden::Service service({0, std::nullopt, true});
    Ampwarden window(service);
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

    Warden::Business::storeController(service.app(), -1, {"r0", "Heron", "127.0.0.1", "1", "a", "p"});
    QTRY_VERIFY(hint->isHidden());
    QVERIFY(!child<QWidget>(&window, "splitterStatus")->isHidden());
}

void tst_MainWindow::controllers_addEditAndRefuseDuplicate() {
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
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
    QCOMPARE(service.app().controllers.size(), std::size_t(1));
    const auto& stored = service.app().controllers.front();
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
        shownPort = child<PortSpinBox>(d, "spinPort")->portText();
        child<QLineEdit>(d, "lineEdit_2")->setText(QStringLiteral("10.0.0.6"));
        child<QPushButton>(d, "pushButton")->click();
    });
    doubleClickCell(table, 0, 0);
    QVERIFY(edit.fired());
    QCOMPARE(shownPort, QStringLiteral("8080"));
    QCOMPARE(service.app().controllers.size(), std::size_t(1));
    QCOMPARE(service.app().controllers.front().host, QByteArray("10.0.0.6"));
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
    QCOMPARE(service.app().controllers.size(), std::size_t(1));
    QCOMPARE(settingsFile(), file);
}

void tst_MainWindow::controllers_editToAnotherName_refused_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("refused");
    QTest::newRow("another controller's name") << "r0" << true;
    QTest::newRow("its own name kept") << "r1" << false;
}

void tst_MainWindow::controllers_editToAnotherName_refused() {
    QFETCH(QString, name);
    QFETCH(bool, refused);
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    for (const char* stored : {"r0", "r1"})
        Warden::Business::storeController(service.app(), -1,
                                          {stored, "Heron", "h", "", "a", "p", "", "16", "0", "1"});
    window.fillTable(child<QTableWidget>(&window, "tableControllers"));
    SeenBox refusal;
    auto box = answerBox(&refusal);
    WhenModal<Controller> edit([&name](Controller* d) {
        child<QLineEdit>(d, "lineEditControllerName")->setText(name);
        child<QLineEdit>(d, "lineEdit_2")->setText(QStringLiteral("h2"));
        child<QPushButton>(d, "pushButton")->click();
        if (d->isVisible())
            child<QPushButton>(d, "pushButton_2")->click();
    });
    window.dlgController(1);
    QVERIFY(edit.fired());
    QCOMPARE(box.fired(), refused);
    QCOMPARE(refusal.title, refused ? QStringLiteral("Cannot save controller") : QString());
    QCOMPARE(service.app().controllers.back().host, refused ? QByteArray("h") : QByteArray("h2"));
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
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    for (const char* name : {"r0", "r1", "r2"})
        Warden::Business::storeController(service.app(), -1, {name, "Heron", "h", "", "a", "p"});
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
    for (const auto& c : service.app().controllers)
        names << QString::fromUtf8(c.name);
    QCOMPARE(names, remaining);
    QCOMPARE(table->rowCount(), remaining.size());
    QCOMPARE(settingsFile().count("<Controller>"), remaining.size());
}

void tst_MainWindow::keyboard_setupTableRows_data() {
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("opened"); // the class of the window the key opens
    QTest::addColumn<QString>("title");  // of a message box
    QTest::newRow("Enter opens the controller")
        << "tableControllers" << int(Qt::Key_Return) << "Controller" << QString();
    QTest::newRow("F2 opens the controller")
        << "tableControllers" << int(Qt::Key_F2) << "Controller" << QString();
    QTest::newRow("Enter opens the recipient") << "tableEmails" << int(Qt::Key_Enter) << "EMail" << QString();
    QTest::newRow("Delete asks before removing the controller")
        << "tableControllers" << int(Qt::Key_Delete) << "QMessageBox"
        << "Remove Controller";
    QTest::newRow("Delete asks before removing the recipient")
        << "tableEmails" << int(Qt::Key_Delete) << "QMessageBox"
        << "Remove EMail";
}

void tst_MainWindow::keyboard_setupTableRows() {
    QFETCH(QString, table);
    QFETCH(int, key);
    QFETCH(QString, opened);
    QFETCH(QString, title);
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    Warden::Business::storeController(service.app(), -1,
                                      {"r0", "Heron", "h", "", "a", "p", "", "16", "0", "1"});
    Warden::Business::storeMailAccount(service.app(), -1, {"a@x", "f@x", "h", "u", "p", "0"}, QByteArray());
    auto* rows = child<QTableWidget>(&window, table.toLatin1().constData());
    window.fillTable(rows);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    rows->setFocus();
    rows->setCurrentCell(0, 1);
    QString seenClass;
    QString seenTitle;
    WhenModal<QDialog> watcher([&](QDialog* d) {
        seenClass = QString::fromLatin1(d->metaObject()->className());
        seenTitle = d->windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(d))
            box->button(QMessageBox::No)->click();
        else
            d->reject();
    });
    QTest::keyClick(rows, Qt::Key(key));
    QVERIFY(watcher.fired());
    QCOMPARE(seenClass, opened);
    if (!title.isEmpty())
        QCOMPARE(seenTitle, title);
    QCOMPARE(rows->rowCount(), 1);
}

void tst_MainWindow::keyboard_windowKeys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("helpShown");
    QTest::newRow("Escape leaves the window shown") << int(Qt::Key_Escape) << false;
    QTest::newRow("F1 opens the help") << int(Qt::Key_F1) << true;
}

void tst_MainWindow::keyboard_windowKeys() {
    QFETCH(int, key);
    QFETCH(bool, helpShown);
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    child<QTabWidget>(&window, "tabWidget_2")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QVERIFY(window.isVisible());
    QCOMPARE(child<QDialog>(&window, "helpClass")->isVisible(), helpShown);
}

void tst_MainWindow::stop_asksWithCancelAsDefault_data() {
    QTest::addColumn<bool>("pressYes");
    QTest::newRow("Enter takes Cancel: monitoring goes on") << false;
    QTest::newRow("Yes stops") << true;
}

void tst_MainWindow::stop_asksWithCancelAsDefault() {
    QFETCH(bool, pressYes);
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    window.show();
    bool cancelIsDefault = false;
    WhenModal<QMessageBox> question([&](QMessageBox* box) {
        cancelIsDefault = box->defaultButton() == box->button(QMessageBox::Cancel);
        if (pressYes)
            box->button(QMessageBox::Yes)->click();
        else
            QTest::keyClick(box, Qt::Key_Return);
    });
    child<QPushButton>(&window, "buttonStop")->click();
    QVERIFY(question.fired());
    QVERIFY(cancelIsDefault);
    // Once the program is asked to end, an event loop ends as soon as it starts.
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&loop] { loop.exit(1); });
    QCOMPARE(loop.exec(), pressYes ? -1 : 1);
    if (pressYes) {
        // The ending asked for is over for the tests that follow.
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }
}

void tst_MainWindow::recipients_sameServerStoredOnce_passwordHidden() {
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
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
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    Warden::Business::storeMailAccount(service.app(), -1, {"a@x", "f@x", "h", "u", "p", "0"}, QByteArray());
    Warden::Business::storeMailAccount(service.app(), -1, {"b@x", "f@x", "h2", "u", "p", "0"}, QByteArray());
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
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    service.app().report.checkEveryUnit = storedCheckUnit;
    service.app().report.checkEveryUnits = storedCheckUnits;
    service.app().report.reportEveryUnits = storedReportUnits;
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

    const auto& stored = service.app().report;
    QCOMPARE(stored.checkEveryUnit, checkUnit);
    QCOMPARE(stored.checkEveryUnits, checkUnits);
    QCOMPARE(stored.reportEveryUnit, reportUnit);
    QCOMPARE(stored.reportEveryUnits, reportUnits);
    QVERIFY(!stored.sendOnLogin && stored.sendUnderOverCurrent && !stored.sendHistogram &&
            stored.sendPowerBill);
    QCOMPARE(stored.kWHPriceUSD, 0.25);
    QVERIFY(!stored.alertCurrent && stored.alertNoAnswer && !stored.alertLogins);
    QCOMPARE(stored.metricsAddress, metricsAddress);
    QVERIFY(child<QLabel>(&window, "labelApplied")->text().startsWith(QStringLiteral("Saved ")));
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
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    auto* currency = child<QComboBox>(&window, "comboBox_3");
    const int offered = currency->count();
    service.app().report.currency = "NOK";
    service.app().report.kWHPriceUSD = 1.0 / 3;
    child<QPushButton>(&window, "btnCancel")->click();
    QCOMPARE(currency->count(), offered + 1);
    QCOMPARE(currency->currentText(), QStringLiteral("NOK"));
    QCOMPARE(child<QLineEdit>(&window, "lineEdit")->text(), QStringLiteral("0.333333"));
    service.app().report.currency = "EUR";
    window.fillSettings();
    QCOMPARE(currency->count(), offered + 1);
    QCOMPARE(currency->currentIndex(), 2);
}

void tst_MainWindow::querying_controllerDialogHoldsNextCheck() {
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    Warden::CheckCycle& cycle = *window.cycle();
    // The test plays the querying object: the window's own would end the check on its own.
    cycle.setQueryTarget(nullptr);
    Warden::Business::storeController(service.app(), -1, {"r0", "Heron", "h", "", "a", "p"});
    Warden::CheckEvent check;
    QCoreApplication::sendEvent(&cycle, &check);
    QVERIFY(window.cycle()->querying());
    QVERIFY(!child<QLabel>(&window, "label_8")->isHidden());
    // Controllers may change while a check runs (its results find them by their ids).
    QVERIFY(child<QPushButton>(&window, "btnAddController")->isEnabled());
    QVERIFY(child<QPushButton>(&window, "btnRemoveController")->isEnabled());

    Warden::ClientEvent done(Warden::CycleEvents::clientDone());
    QCoreApplication::sendEvent(&cycle, &done);
    QVERIFY(child<QLabel>(&window, "label_8")->isHidden());

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
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    Application& app = service.app();
    using Warden::Business::EventKind;
    using Warden::Business::Transport;
    Warden::Business::storeController(app, -1, {"r0", "Heron", "h", "", "admin", "p"});
    Warden::Business::storeController(app, -1, {"r1", "Heron", "h1", "", "admin", "p"});
    auto* r0 = app.controllerAt(0);
    auto* r1 = app.controllerAt(1);
    r0->lastCheck = 1'800'000'000;
    for (int i = 0; i < 150; ++i)
        app.addEvent("id" + QByteArray::number(i), 1'700'000'000 + i, r0->id, EventKind::values,
                     Transport::syslog, "r", "raw");
    app.addEvent("ours", 1'700'000'200, r1->id, EventKind::login_success, Transport::http, "",
                 "Successful authentication of user admin from 127.0.0.1");
    app.addEvent("theirs", 1'700'000'201, r1->id, EventKind::login_failure, Transport::http, "",
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
        app.addEvent("new", 1'700'000'300 + i, r0->id, EventKind::values, Transport::syslog, "r", "raw");
    window.refreshEventLog();
    QCOMPARE(counts->text(), QStringLiteral("155 / 155"));
    QCOMPARE(label(table->verticalScrollBar()->value()), top);
    QCOMPARE(label(table->currentIndex().row()), chosen);
}

void tst_MainWindow::fillTable_unknownTable_logs() {
    ScopedWorkDir dir;
    Warden::Service service(windowTestService());
    Ampwarden window(service);
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
    ScopedWorkDir dir;
    Warden::Alerts::clear("daily log");
    if (directory) {
        QVERIFY(QDir().mkdir(name));
    } else {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    window.show();
    const qsizetype logged = appLog().size();
    SeenBox seen;
    const auto box = answerBox(&seen);
    if (directory) {
        child<QPushButton>(&window, "btnApply")->click();
    } else {
        Warden::Business::storeController(service.app(), -1, {"r0", "Heron", "h", "", "a", "p"});
        for (int i = 0; i < 2; ++i)
            service.app().addEvent("id" + QByteArray::number(i), 1'700'000'000 + i,
                                   service.app().controllers.front().id, Warden::Business::EventKind::values,
                                   Warden::Business::Transport::syslog, "r", "raw");
    }
    QTRY_VERIFY(box.fired());
    QVERIFY2(seen.text.contains(name), qPrintable(seen.text));
    if (directory)
        QVERIFY(child<QLabel>(&window, "labelApplied")->text().contains(QStringLiteral("not saved")));
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
    ScopedWorkDir dir;
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
    Warden::Service service(windowTestService());
    Ampwarden window(service);
    window.cycle()->setQueryTarget(nullptr);
    Warden::Business::storeController(service.app(), -1, {"r0", "Heron", "h", "", "a", "p"});
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
