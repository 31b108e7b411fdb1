#include "ModalDriver.h"
#include "TestSupport.h"

#include "core/Application.h"
#include "ui/EnergyExportDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QPushButton>
#include <QtTest>

using namespace Warden::Business;
using Warden::Test::child;
using Warden::Test::SeenBox;
using Warden::Test::WhenModal;

class TestEnergyExportDialog : public QObject {
    Q_OBJECT

private slots:
    void exportButton_writesChosenFile_data();
    void exportButton_writesChosenFile();
};

void TestEnergyExportDialog::exportButton_writesChosenFile_data() {
    QTest::addColumn<bool>("logReadable");
    QTest::addColumn<bool>("allPeriods"); // exported from the day before the readings
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("told");
    const QByteArray header = "controller,bus,period start,period end,kWh,readings,coverage %\n";
    const QByteArray day = "pdu : Kestrel 2 @ 10.0.0.9,A,2026-06-10T00:00:00+00:00,2026-06-11T00:00:00+00:00,"
                           "24.000000,1440,100.00\n";
    QTest::newRow("the day's energy of the chosen controller")
        << true << false << header + day << "The energy was exported to";
    QTest::newRow("asked for all periods: the day before the readings too")
        << true << true
        << header +
               "pdu : Kestrel 2 @ 10.0.0.9,A,2026-06-09T00:00:00+00:00,2026-06-10T00:00:00+00:00,0.000000,0,"
               "0.00\n" +
               day
        << "The energy was exported to";
    QTest::newRow("a daily log that cannot be read: no file, and the user is told")
        << false << false << QByteArray() << "The energy was not exported to";
}

void TestEnergyExportDialog::exportButton_writesChosenFile() {
    QFETCH(bool, logReadable);
    QFETCH(bool, allPeriods);
    QFETCH(QByteArray, file);
    QFETCH(QString, told);

    Warden::Test::ScopedWorkDir dir;
    Application app;
    app.report.checkEveryUnit = 60;
    Controller& pdu = app.controllers.emplace_back("pdu", 0, "10.0.0.9", 0, "admin", "pw");
    app.controllers.emplace_back("other", 0, "10.0.0.8", 0, "admin", "pw");
    for (Time t = Warden::Test::utcSeconds(2026, 6, 10); t < Warden::Test::utcSeconds(2026, 6, 11); t += 60) {
        for (Controller* c : {&pdu, &app.controllers.back()})
            app.addEvent({}, t, c->id, EventKind::values, Transport::http,
                         "Current loads on channel A: 230 V, 4.34783 A, 1000 W", "VAH=230 CAH=4.34783");
    }
    app.shutdown();
    // A directory where the log of the day before should be: it exists and cannot be read.
    if (!logReadable)
        QVERIFY(QDir().mkpath(QStringLiteral("log/2026/Jun/2026_Jun_9.log")));
    const QString target = dir.filePath(QStringLiteral("june.csv"));

    WhenModal<EnergyExportDialog> period([allPeriods](EnergyExportDialog* dialog) {
        child<QDateEdit>(dialog, "dateFrom")->setDate(QDate(2026, 6, allPeriods ? 9 : 10));
        child<QCheckBox>(dialog, "checkAllPeriods")->setChecked(allPeriods);
        child<QDateEdit>(dialog, "dateTill")->setDate(QDate(2026, 6, 10));
        child<QComboBox>(dialog, "comboGrouping")->setCurrentText(QStringLiteral("Day"));
        child<QComboBox>(dialog, "comboController")->setCurrentText(QStringLiteral("pdu"));
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    WhenModal<QFileDialog> name([&target](QFileDialog* dialog) {
        dialog->selectFile(target);
        static_cast<QDialog*>(dialog)->accept(); // as the Save button does
    });
    SeenBox seen;
    const auto box = Warden::Test::answerBox(&seen);
    QPushButton button;
    EnergyExportDialog::run(&button, app);
    QTRY_VERIFY_WITH_TIMEOUT(box.fired(), 10000);
    QVERIFY(period.fired() && name.fired());
    QVERIFY2(seen.text.startsWith(told), qPrintable(seen.text));
    QVERIFY(button.isEnabled());
    QCOMPARE(QFile::exists(target), !file.isEmpty());
    QCOMPARE(Warden::Test::readFile(target), file);
}

QTEST_MAIN(TestEnergyExportDialog)
#include "tst_EnergyExportDialog.moc"
