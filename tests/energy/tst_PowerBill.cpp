#include "FullWalkEnergy.h"
#include "TestSupport.h"

#include "core/Application.h"
#include "core/ClockText.h"
#include "energy/PowerBill.h"

#include <QtTest>

using namespace Warden::Business;
using Warden::clockText;
using Warden::Test::addReading;
using Warden::Test::ScopedWorkDir;

namespace {
constexpr Time t0 = 1796000000;
}

class TestPowerBill : public QObject {
    Q_OBJECT

private slots:
    void getPowerBill_linesAndPayment_data();
    void getPowerBill_linesAndPayment();
    void paymentText_roundsHalfUpInHundredths_data();
    void paymentText_roundsHalfUpInHundredths();
};

void TestPowerBill::getPowerBill_linesAndPayment_data() {
    QTest::addColumn<double>("wattsA");
    QTest::addColumn<double>("wattsB");
    QTest::addColumn<double>("price");
    QTest::addColumn<QByteArray>("currency");
    QTest::addColumn<QByteArray>("lines");

    QTest::newRow("0.1 and 0.05 kWh at 0.2")
        << 100.0 << 50.0 << 0.2 << QByteArray("USD")
        << QByteArray("Consumed energy on channel A: 0.100000 kWH<br />\r\n"
                      "Consumed energy on channel B: 0.050000 kWH<br />\r\n"
                      "Total consumed energy: 0.150000 kWH<br />\r\n"
                      "Price: 0.200000 USD / kWH<br />\r\n"
                      "Total payment: 0.03 USD\r\n</p>\r\n");
    QTest::newRow("no readings cost nothing, empty currency leaves its blanks")
        << 0.0 << 0.0 << 0.25 << QByteArray()
        << QByteArray("Consumed energy on channel A: 0.000000 kWH<br />\r\n"
                      "Consumed energy on channel B: 0.000000 kWH<br />\r\n"
                      "Total consumed energy: 0.000000 kWH<br />\r\n"
                      "Price: 0.250000  / kWH<br />\r\n"
                      "Total payment: 0.00 \r\n</p>\r\n");
    QTest::newRow("a million and more in full")
        << 500e6 << 0.0 << 3.0 << QByteArray("EUR")
        << QByteArray("Consumed energy on channel A: 500000.000000 kWH<br />\r\n"
                      "Consumed energy on channel B: 0.000000 kWH<br />\r\n"
                      "Total consumed energy: 500000.000000 kWH<br />\r\n"
                      "Price: 3.000000 EUR / kWH<br />\r\n"
                      "Total payment: 1500000.00 EUR\r\n</p>\r\n");
}

void TestPowerBill::getPowerBill_linesAndPayment() {
    QFETCH(double, wattsA);
    QFETCH(double, wattsB);
    QFETCH(double, price);
    QFETCH(QByteArray, currency);
    QFETCH(QByteArray, lines);
    ScopedWorkDir dir;
    Application app;
    app.report.kWHPriceUSD = price;
    app.report.currency = currency;
    Controller& controller = app.controllers.emplace_back("pdu", 0, "10.0.0.9", 0, "admin", "pw");
    if (wattsA != 0)
        addReading(app.events, controller, t0, "A", wattsA);
    if (wattsB != 0)
        addReading(app.events, controller, t0, "B", wattsB);

    const PowerBill bill = getPowerBill(app.events, app.report, controller, t0, t0 + 3600);
    QCOMPARE(bill.html,
             "<h3>Power Bill</h3>\r\n<p style=\"border-style: solid; border-width: 1px;\">\r\nFrom " +
                 clockText(t0) + " till " + clockText(t0 + 3600) + "<br />\r\n" + lines);
    QCOMPARE(bill.energies.a, wattsA / 1000);
    QCOMPARE(bill.energies.b, wattsB / 1000);
}

void TestPowerBill::paymentText_roundsHalfUpInHundredths_data() {
    QTest::addColumn<double>("kWh");
    QTest::addColumn<double>("price");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("3 hundredths") << 0.15 << 0.2 << QByteArray("0.03");
    QTest::newRow("3.75 hundredths round to 4") << 0.15 << 0.25 << QByteArray("0.04");
    QTest::newRow("3.45 hundredths round to 3") << 0.15 << 0.23 << QByteArray("0.03");
    QTest::newRow("half a hundredth rounds up") << 0.5 << 0.01 << QByteArray("0.01");
    QTest::newRow("nothing") << 0.0 << 0.2 << QByteArray("0.00");
    QTest::newRow("two digits get a leading zero") << 0.45 << 1.0 << QByteArray("0.45");
    QTest::newRow("point before the last two digits") << 12.34 << 1.0 << QByteArray("12.34");
    QTest::newRow("beyond 32-bit hundredths") << 1e8 << 0.5 << QByteArray("50000000.00");
}

void TestPowerBill::paymentText_roundsHalfUpInHundredths() {
    QFETCH(double, kWh);
    QFETCH(double, price);
    QFETCH(QByteArray, text);
    QCOMPARE(paymentText(kWh, price), text);
}

QTEST_GUILESS_MAIN(TestPowerBill)
#include "tst_PowerBill.moc"
