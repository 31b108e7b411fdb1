#include "ProgramProcess.h"
#include "TestSupport.h"

#include "config/Settings.h"
#include "service/Service.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>

using namespace Warden::Test;
using Warden::Business::Application;

class tst_Service : public QObject {
    Q_OBJECT

private slots:
    void hidden_checksOnItsOwnSchedule();
};

// Started hidden, the program is the service alone: in a program without the widget library it reads
// the settings, checks its controllers by its own schedule and leaves its files when it goes.
void tst_Service::hidden_checksOnItsOwnSchedule() {
    ScopedWorkDir dir;
    ProgramProcess sim(QStringLiteral(CTLSIM_BINARY));
    sim.start({});
    const QByteArray port = sim.waitForLine("controller 0 ").split(' ').value(2);
    sim.waitForLine("ready");
    {
        Application settings;
        Warden::Business::loadSettings(settings);
        Warden::Business::storeController(settings, -1, {"rack1", "Kestrel 2", "127.0.0.1", port, "admin", "secret"});
        Warden::Business::storeReportSettings(settings, {"Second", "2", "0", "0", "0", "0", "0", "Day", "1", "0", ""});
    }
    {
        Warden::Service service({0, std::nullopt, true});
        Application& app = service.app();
        QCOMPARE(app.controllerCount(), 1);
        const Warden::Business::ControllerId id = app.controllers.front().id;
        QTRY_VERIFY_WITH_TIMEOUT(app.events.ownedBy(id).size() >= 2, 20000);
    }
    QVERIFY(!readFile(QStringLiteral("AMW.log")).isEmpty());
    QVERIFY(readFile(QStringLiteral("Ampwarden.state")).contains("\"rack1\""));
}

QTEST_GUILESS_MAIN(tst_Service)
#include "tst_Service.moc"
