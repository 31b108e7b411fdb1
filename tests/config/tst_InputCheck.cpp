#include "config/InputCheck.h"

#include <QTest>

using namespace Warden::Business;

class InputCheckTest : public QObject {
    Q_OBJECT

private slots:
    void channelProblem_blamesTheFieldToCorrect_data();
    void channelProblem_blamesTheFieldToCorrect();
    void controllerProblem_blamesTheFieldToCorrect_data();
    void controllerProblem_blamesTheFieldToCorrect();
};

void InputCheckTest::channelProblem_blamesTheFieldToCorrect_data() {
    QTest::addColumn<QList<QByteArray>>("channel"); // name, overcurrent, undercurrent, power factor
    QTest::addColumn<int>("field");                 // -1: taken
    QTest::newRow("limits and factor in range") << QList<QByteArray>{"A", "16", "0.5", "0.9"} << -1;
    QTest::newRow("white space around, factor 1, no undercurrent")
        << QList<QByteArray>{"", " 16 ", "0", "1"} << -1;
    QTest::newRow("overcurrent missing") << QList<QByteArray>{"A", "", "0", "1"} << 1;
    QTest::newRow("overcurrent abc") << QList<QByteArray>{"A", "abc", "0", "1"} << 1;
    QTest::newRow("overcurrent with its unit") << QList<QByteArray>{"A", "13A", "0", "1"} << 1;
    QTest::newRow("overcurrent endless") << QList<QByteArray>{"A", "inf", "0", "1"} << 1;
    QTest::newRow("overcurrent beyond 1000 A") << QList<QByteArray>{"A", "2000", "0", "1"} << 1;
    QTest::newRow("undercurrent with a decimal comma") << QList<QByteArray>{"A", "16", "0,5", "1"} << 2;
    QTest::newRow("undercurrent missing") << QList<QByteArray>{"A", "16", "", "1"} << 2;
    QTest::newRow("undercurrent negative") << QList<QByteArray>{"A", "16", "-1", "1"} << 2;
    QTest::newRow("undercurrent equal to overcurrent") << QList<QByteArray>{"A", "5", "5", "1"} << 2;
    QTest::newRow("undercurrent above overcurrent") << QList<QByteArray>{"A", "5", "6", "1"} << 2;
    QTest::newRow("power factor abc") << QList<QByteArray>{"A", "16", "0", "abc"} << 3;
    QTest::newRow("power factor missing") << QList<QByteArray>{"A", "16", "0", ""} << 3;
    QTest::newRow("power factor 0") << QList<QByteArray>{"A", "16", "0", "0"} << 3;
    QTest::newRow("power factor 1.5") << QList<QByteArray>{"A", "16", "0", "1.5"} << 3;
}

void InputCheckTest::channelProblem_blamesTheFieldToCorrect() {
    QFETCH(QList<QByteArray>, channel);
    QFETCH(int, field);
    const std::optional<InputProblem> problem = channelProblem(channel);
    QCOMPARE(problem ? problem->field : -1, field);
    if (problem)
        QCOMPARE(problem->title, QStringLiteral("Cannot save channel"));
}

void InputCheckTest::controllerProblem_blamesTheFieldToCorrect_data() {
    QTest::addColumn<QList<QByteArray>>("values");
    QTest::addColumn<bool>("isNew");
    QTest::addColumn<int>("field"); // -1: taken
    QTest::addColumn<QString>("title");
    const QList<QByteArray> kestrel{"rack1", "Kestrel 2", "10.0.0.5", "",  "a",  "p",   "A",
                                    "16",    "0.5",       "1",        "B", "16", "0.5", "1"};
    QTest::newRow("complete two-bus controller") << kestrel << true << -1 << QString();
    QList<QByteArray> v = kestrel;
    v[0] = "";
    QTest::newRow("no name") << v << true << 0 << "Cannot save new controller";
    v[0] = "  ";
    QTest::newRow("a name of blanks") << v << false << 0 << "Cannot save controller";
    v = kestrel;
    v[1] = "";
    QTest::newRow("no type") << v << true << 1 << "Cannot save new controller";
    v = kestrel;
    v[2] = "";
    QTest::newRow("no host") << v << true << 2 << "Cannot save new controller";
    v = kestrel;
    v[0] = "rack0";
    QTest::newRow("new with a taken name") << v << true << 0 << "Cannot save new controller";
    QTest::newRow("edited to a taken name") << v << false << 0 << "Cannot save controller";
    v[0] = "RACK0";
    QTest::newRow("letter case makes another name") << v << true << -1 << QString();
    v = kestrel;
    v[13] = "0";
    QTest::newRow("bus B's power factor 0") << v << true << 13 << "Cannot save new controller";
    v = kestrel;
    v[7] = "";
    QTest::newRow("bus A without limits") << v << false << 7 << "Cannot save controller";
}

void InputCheckTest::controllerProblem_blamesTheFieldToCorrect() {
    QFETCH(QList<QByteArray>, values);
    QFETCH(bool, isNew);
    QFETCH(int, field);
    QFETCH(QString, title);
    const std::optional<InputProblem> problem = controllerProblem(values, {QStringLiteral("rack0")}, isNew);
    QCOMPARE(problem ? problem->field : -1, field);
    QCOMPARE(problem ? problem->title : QString(), title);
}

QTEST_GUILESS_MAIN(InputCheckTest)
#include "tst_InputCheck.moc"
