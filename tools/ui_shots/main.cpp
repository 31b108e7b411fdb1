// ui_shots: saves pictures of the main window's tabs and of the dialogs, filled with sample settings,
// for the user's guide and for looking at the layout. Run offscreen:
//   QT_QPA_PLATFORM=offscreen ui_shots <output folder> [ctlsim program]
// Works in a temporary folder, so no settings or logs of a real installation are touched.
#include "ui/Ampwarden.h"
#include "ui/Channel.h"
#include "ui/Controller.h"
#include "ui/EMail.h"
#include "ui/EnergyExportDialog.h"
#include "ui/help.h"
#include "ui/httpconnect.h"

#include "config/Settings.h"
#include "core/Application.h"
#include "core/Clock.h"
#include "core/DiagnosticLog.h"
#include "report/AlertMonitor.h"
#include "service/Service.h"
#include "status/StatusModel.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QProcess>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtCharts/QChartView>

#include <cmath>
#include <cstdio>

using Warden::Business::Application;

namespace {

QString outputDir;

void save(QWidget* widget, const QString& name) {
    widget->show();
    QCoreApplication::processEvents();
    // What the event loop would have deleted by now (a chart's old axes).
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QString path = QDir(outputDir).filePath(name + QStringLiteral(".png"));
    if (!widget->grab().save(path))
        std::fprintf(stderr, "ui_shots: cannot write %s\n", qPrintable(path));
    else
        std::printf("%s\n", qPrintable(path));
}

void sampleSettings(Application& app) {
    using Warden::Business::storeController;
    using Warden::Business::storeMailAccount;
    storeController(app, -1,
                    {"Rack 12 left", "Kestrel 2", "10.20.0.12", "", "admin", "rackpass", "A", "16", "0.5",
                     "0.95", "B", "16", "0.5", "0.95"});
    storeController(app, -1,
                    {"Lab bench", "Heron", "pdu-lab.local", "8080", "admin", "labpass", "", "10", "0", "1"});
    storeMailAccount(
        app, -1, {"ops@example.org", "warden@example.org", "smtp.example.org:587", "warden", "mailpass", "1"},
        QByteArray());
    storeMailAccount(
        app, -1,
        {"facilities@example.org", "warden@example.org", "smtp.example.org:587", "warden", "mailpass", "1"},
        QByteArray());
    Warden::Business::storeReportSettings(
        app, {"Minute", "5", "1", "1", "1", "1", "0", "Day", "1", "0.21", "EUR"});
    auto& rack = app.controllers.front();
    const Warden::Business::Time base = 1'796'000'000;
    rack.lastCheck = base + 3600;
    using Warden::Business::EventKind;
    using Warden::Business::Transport;
    app.addEvent("101", base, rack.id, EventKind::login_success, Transport::http,
                 "Successful authentication of user admin",
                 "Successful authentication of user admin from 10.20.0.5");
    app.addEvent("102", base + 600, rack.id, EventKind::values, Transport::http, "A: 231 V 4.2 A 970 W",
                 "<!-- A 231 4.2 -->");
    app.addEvent("103", base + 1200, rack.id, EventKind::overcurrent, Transport::syslog,
                 "Overcurrent on bus B: 17.1 A", "<!-- B 229 17.1 -->");
    app.addEvent("104", base + 1800, rack.id, EventKind::login_failure, Transport::syslog,
                 "Failed authentication of user guest", "Failed authentication of user guest from 10.20.0.7");
}

// Four hours of readings every ten minutes and one check's outcome per controller, bus B of the first
// rack climbing over its limit at the end after half an hour without readings.
void sampleStatus(Warden::Service& service, Ampwarden& window) {
    Application& app = service.app();
    using namespace Warden::Business;
    storeController(app, -1,
                    {"Rack 14 right", "Kestrel 2 Display", "10.20.0.14", "", "admin", "rackpass", "A", "16",
                     "0.5", "0.95", "B", "16", "0.5", "0.95"});
    storeController(app, -1,
                    {"Cold aisle 3", "Osprey 3", "10.20.0.31", "", "admin", "oldpass", "", "10", "0", "1"});
    storeController(app, -1,
                    {"Store room", "Wren", "10.20.0.40", "", "admin", "wrenpass", "", "10", "0", "1"});
    static Time now = 1'796'000'000 + 5 * 3600;
    Warden::Clock::setSource([] { return now; });
    const auto reading = [&app](Warden::Business::Controller* c, Time t, const char* channel, double volts,
                                double amps, double pf) {
        app.addEvent({}, t, c->id, EventKind::values, Transport::http,
                     QByteArray("Current loads on channel ") + channel + ": " + QByteArray::number(volts) +
                         " V, " + QByteArray::number(amps) + " A, " + QByteArray::number(volts * amps * pf) +
                         " W",
                     {});
    };
    for (int step = 0; step <= 24; ++step) {
        const Time t = now - 4 * 3600 + step * 600;
        // The first rack went unanswered for half an hour: its chart shows the gap.
        if (step < 12 || step > 14) {
            reading(app.controllerAt(0), t, "A", 231, 4.2 + 0.8 * std::sin(step / 3.0), 0.95);
            reading(app.controllerAt(0), t, "B", 229, step < 20 ? 9 + 0.3 * step : 16.4 + 0.1 * (step - 20),
                    0.95);
        }
        reading(app.controllerAt(1), t, "", 230, 3.1 + 0.4 * std::cos(step / 2.0), 1);
        reading(app.controllerAt(2), t, "A", 232, 7.5, 0.95);
        reading(app.controllerAt(2), t, "B", 232, 6.2, 0.95);
        if (step <= 22)
            reading(app.controllerAt(4), t, "", 229, 2.4, 1);
    }
    Warden::StatusModel* model = &service.status();
    model->reload();
    // Three answer, one refuses the login, one has gone silent since two checks.
    using Kind = CheckFailure::Kind;
    const CheckFailure silent{Kind::timedOut, 25000, {}};
    now -= 600;
    model->setOutcome(app.controllerAt(4)->id, {true, 200, {}, {}});
    now += 300;
    model->setOutcome(app.controllerAt(4)->id, {false, 0, {}, silent});
    now += 300;
    const CheckOutcome outcomes[] = {{true, 200, {{"B", 16.8, 0.5, 16}}, {}},
                                     {true, 200, {}, {}},
                                     {true, 200, {}, {}},
                                     {false, 401, {}, {Kind::loginRefused, 401, {}}},
                                     {false, 0, {}, silent}};
    Warden::AlertMonitor& alarms = service.alerts();
    for (int i = 0; i < 5; ++i) {
        model->setOutcome(app.controllerAt(i)->id, outcomes[i]);
        alarms.checked(app.controllerAt(i)->id, outcomes[i]);
    }
    now += 40;
    model->flush();
    // The silent controller selected, as a row nearly always is: its mark stays in sight, the detail
    // line gives its reason, and its last values are greyed.
    window.findChild<QTableView*>(QStringLiteral("tableStatus"))->selectRow(2);
}

// A dark palette as a desktop's dark theme gives one.
QPalette darkPalette() {
    QPalette dark;
    const QColor window(45, 45, 48), base(30, 30, 32), text(225, 225, 225), disabled(120, 120, 120);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::ToolTipBase, window);
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::BrightText, Qt::red);
    dark.setColor(QPalette::Link, QColor(90, 160, 240));
    dark.setColor(QPalette::Highlight, QColor(40, 90, 160));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::PlaceholderText, disabled);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, disabled);
    return dark;
}

// A morning of logins: our own checks (from this host, as the admin) among a few of somebody else's.
void sampleLogins(Application& app) {
    using namespace Warden::Business;
    const Time start = 1'796'000'000 + 5 * 3600 - 1800;
    for (int i = 0; i < 6; ++i) {
        for (int c = 0; c < 3; ++c) {
            app.addEvent({}, start + i * 300 + c, app.controllerAt(c)->id, EventKind::login_success,
                         Transport::http, {}, "Successful authentication of user admin from 127.0.0.1");
        }
    }
    app.addEvent({}, start + 420, app.controllerAt(1)->id, EventKind::login_failure, Transport::syslog, {},
                 "Failed authentication of user root from 10.20.7.31");
    app.addEvent({}, start + 425, app.controllerAt(1)->id, EventKind::login_failure, Transport::syslog, {},
                 "Failed authentication of user admin from 10.20.7.31");
    app.addEvent({}, start + 900, app.controllerAt(2)->id, EventKind::login_success, Transport::syslog, {},
                 "Successful authentication of user admin from 10.20.0.77");
}

quint16 startSimulator(QProcess& simulator, const QString& program) {
    simulator.start(program, {QStringLiteral("--user"), QStringLiteral("admin")});
    QByteArray output;
    while (!output.contains("ready\n") && simulator.waitForReadyRead(5000))
        output += simulator.readAllStandardOutput();
    const auto line = output.mid(output.indexOf("controller 0 ")).split('\n').value(0);
    return quint16(line.split(' ').value(2).toUInt());
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_shots <output folder> [ctlsim program]\n");
        return 2;
    }
    outputDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QString simulatorProgram =
        argc > 2 ? QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath() : QString();
    QDir().mkpath(outputDir);
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    Warden::DiagnosticLog::open();

    Warden::Service service({0, std::nullopt, false});
    Ampwarden window(service);
    auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("tabWidget_2"));
    window.resize(965, 599);
    // What a first start in an empty folder shows.
    save(&window, QStringLiteral("status_empty"));
    tabs->setCurrentIndex(3);
    save(&window, QStringLiteral("report_empty"));
    sampleSettings(service.app());
    window.fillTable(window.findChild<QTableWidget*>(QStringLiteral("tableControllers")));
    window.fillTable(window.findChild<QTableWidget*>(QStringLiteral("tableEmails")));
    window.fillSettings();
    window.refreshEventLog();
    tabs->setCurrentIndex(1);
    save(&window, QStringLiteral("mainwindow"));
    tabs->setCurrentIndex(2);
    save(&window, QStringLiteral("event_log"));
    tabs->setCurrentIndex(3);
    save(&window, QStringLiteral("report"));
    sampleStatus(service, window);
    tabs->setCurrentIndex(0);
    window.resize(1200, 680);
    save(&window, QStringLiteral("status"));
    const QPalette light = QApplication::palette();
    QApplication::setPalette(darkPalette());
    save(&window, QStringLiteral("status_dark"));
    QApplication::setPalette(light);
    // The smallest usual screen: the table scrolled to its last columns keeps the names in sight, and
    // the mouse over the chart reads the values of its moment.
    window.resize(1024, 700);
    QCoreApplication::processEvents();
    auto* statusTable = window.findChild<QTableView*>(QStringLiteral("tableStatus"));
    // The worst row, the rack over its limit, whose chart has a gap.
    statusTable->selectRow(0);
    statusTable->horizontalScrollBar()->setValue(statusTable->horizontalScrollBar()->maximum());
    if (auto* chartView = window.findChild<QChartView*>()) {
        const QPoint at(chartView->viewport()->width() * 3 / 4, chartView->viewport()->height() / 2);
        QMouseEvent move(QEvent::MouseMove, at, chartView->viewport()->mapToGlobal(at), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(chartView->viewport(), &move);
    }
    save(&window, QStringLiteral("status_narrow"));
    sampleLogins(service.app());
    window.refreshEventLog();
    tabs->setCurrentIndex(2);
    save(&window, QStringLiteral("event_log_all"));
    auto* search = window.findChild<QLineEdit*>(QStringLiteral("lineEventSearch"));
    search->setText(QStringLiteral("authentication"));
    emit search->returnPressed();
    auto* events = window.findChild<QTableView*>(QStringLiteral("tableEvents"));
    events->setCurrentIndex(events->model()->index(2, 0));
    save(&window, QStringLiteral("event_log_filtered"));
    window.hide();

    {
        const auto values = Warden::Business::controllerValues(service.app(), 0);
        Controller dialog(nullptr, values.value(1));
        dialog.fill(values);
        save(&dialog, QStringLiteral("controller"));
    }
    {
        const auto values = Warden::Business::controllerValues(service.app(), 1);
        Controller dialog(nullptr, values.value(1));
        dialog.fill(values);
        save(&dialog, QStringLiteral("controller_onebus"));
    }
    {
        // A new controller once its type is chosen: the buses wait for their limits.
        Controller dialog(nullptr, "Kestrel 2");
        save(&dialog, QStringLiteral("controller_new"));
    }
    {
        Channel dialog;
        dialog.fill({"A", "16", "0.5", "0.95"});
        save(&dialog, QStringLiteral("channel"));
    }
    {
        EnergyExportDialog dialog(service.app());
        save(&dialog, QStringLiteral("energy_export"));
    }
    {
        EMail dialog;
        dialog.fill(
            {"ops@example.org", "warden@example.org", "smtp.example.org:587", "warden", "mailpass", "1"});
        save(&dialog, QStringLiteral("email"));
    }
    if (!simulatorProgram.isEmpty()) {
        QProcess simulator;
        const quint16 port = startSimulator(simulator, simulatorProgram);
        httpconnect dialog(QStringLiteral("127.0.0.1"), port, QStringLiteral("admin"),
                           QStringLiteral("secret"));
        QEventLoop loop;
        QObject::connect(&dialog, &httpconnect::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        save(&dialog, QStringLiteral("httptest"));
        simulator.kill();
        simulator.waitForFinished(5000);
    }
    {
        help guide;
        guide.resize(850, 632);
        save(&guide, QStringLiteral("help"));
        guide.go(QUrl(QStringLiteral("#7")));
        save(&guide, QStringLiteral("help_mainwindow"));
    }
    return 0;
}
