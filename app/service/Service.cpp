#include "Service.h"

#include "config/Settings.h"
#include "core/CheckCycle.h"
#include "core/DiagnosticLog.h"
#include "core/EventRestore.h"
#include "core/Scheduler.h"
#include "metrics/MetricsService.h"
#include "query/WebThread.h"
#include "report/AlertMonitor.h"
#include "report/MailQueue.h"
#include "report/Outbox.h"
#include "report/ReportRunner.h"
#include "status/StatusModel.h"
#include "syslog/SyslogReceiver.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace Warden {

Service::Service(Options options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options))
    , app_(std::make_unique<Business::Application>()) {
    startInstanceServer();
    auto& app = *app_;
    syslog_ = std::make_unique<SyslogReceiver>(app);
    cycle_ = std::make_unique<CheckCycle>(app);
    web_ = std::make_unique<WebThread>(app, cycle_.get(), nullptr);
    cycle_->setQueryTarget(web_.get());
    mailQueue_ = std::make_unique<MailQueue>();
    outbox_ = std::make_unique<Outbox>(app, *mailQueue_, QString::fromLatin1(Outbox::defaultDirectory),
                                       RetrySchedule::forProgram());
    const auto toOutbox = [outbox = outbox_.get()](OutboxMail mail) { outbox->add(std::move(mail)); };
    reportRunner_ = std::make_unique<ReportRunner>(app, toOutbox);
    cycle_->setReportRun(reportRunner_->reportRun());
    alerts_ = std::make_unique<AlertMonitor>(app, toOutbox);
    metrics_ = std::make_unique<MetricsService>(app);
    metrics_->follow(*web_, *mailQueue_, *outbox_);
    status_ = std::make_unique<StatusModel>(app);

    connect(web_.get(), &WebThread::checked, alerts_.get(), &AlertMonitor::checked);
    connect(web_.get(), &WebThread::checked, status_.get(), &StatusModel::setOutcome);
    connect(&app, &Business::Application::eventAdded, alerts_.get(), &AlertMonitor::eventAdded);
    connect(&app, &Business::Application::eventAdded, metrics_.get(), &MetricsService::eventAdded);
    connect(&app, &Business::Application::eventAdded, status_.get(), &StatusModel::eventAdded);
    connect(&app, &Business::Application::controllerRemoved, alerts_.get(), &AlertMonitor::forget);
    connect(&app, &Business::Application::controllerRemoved, metrics_.get(), &MetricsService::forget);

    syslog_->bind(options_.syslogPort);
    const QByteArray xmlErrors = Business::loadSettings(app);
    if (!xmlErrors.isEmpty())
        DiagnosticLog::writeTimed("Xml errors:\n" + xmlErrors + "\n");
    Business::restoreAtStart(app);

    // After the settings: the waiting mails need their servers' passwords.
    outbox_->load();
    serveMetrics();
    connect(&app, &Business::Application::settingsChanged, this, &Service::serveMetrics);

    scheduler_ = std::make_unique<Scheduler>(cycle_.get());
    if (options_.schedule) {
        scheduler_->followReportSettings(app);
        scheduler_->setFirstReportMoment(app.stateFile.lastReportMoment());
        scheduler_->start();
    }
}

Service::~Service() {
    // The scheduler is joined first, so no moment is posted to a cycle that is going; then nothing
    // raises alerts or follows the store any more.
    scheduler_.reset();
    status_.reset();
    alerts_.reset();
    // Its server's thread ends before the objects it follows go.
    metrics_.reset();
    web_.reset();
    // The reports being composed still reach the outbox.
    cycle_->setReportRun(CheckCycle::AsyncReportRun());
    reportRunner_.reset();
    outbox_.reset();
    mailQueue_.reset();
    syslog_.reset();
    instanceServer_.reset();
    cycle_.reset();
    // The state's files follow what came last.
    app_.reset();
}

void Service::startInstanceServer() {
    instanceServer_ = std::make_unique<QTcpServer>();
    connect(instanceServer_.get(), &QTcpServer::newConnection, this, [this] {
        // The connection itself is the request; drop it unread so connections do not pile up.
        while (instanceServer_->hasPendingConnections())
            instanceServer_->nextPendingConnection()->deleteLater();
        emit showRequested();
    });
    // Loopback only: the wake-up call comes from a second start on this machine, never from the network.
    if (!instanceServer_->listen(QHostAddress::LocalHost, 0))
        DiagnosticLog::writeTimed("listen() error: may be further errors!\n");
}

quint16 Service::instancePort() const {
    return instanceServer_->serverPort();
}

void Service::serveMetrics() {
    metrics_->listen(options_.metricsAddress.value_or(app_->report.metricsAddress));
}

} // namespace Warden
