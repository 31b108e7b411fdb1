#pragma once

#include "core/Application.h"

#include <QByteArray>
#include <QObject>

#include <memory>
#include <optional>

class QTcpServer;

namespace Warden {

class AlertMonitor;
class CheckCycle;
class MailQueue;
class MetricsService;
class Outbox;
class ReportRunner;
class Scheduler;
class StatusModel;
class SyslogReceiver;
class WebThread;

// The running program without its window: the state and every service that watches the controllers,
// reports and alerts, built in the order they depend on each other and taken down in the reverse one.
// It runs the same whether a window shows it or not; a window is a view on it.
class Service final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Service)

public:
    struct Options {
        // 0 lets the system pick a port (tests that do not need syslog).
        quint16 syslogPort = 514;
        // Serves the metrics here instead of where the settings say (the command line).
        std::optional<QByteArray> metricsAddress;
        // The check and report moments come by themselves; tests that run checks by hand turn it off.
        bool schedule = true;
    };

    // Reads the settings and the state of the last run and starts watching.
    explicit Service(Options options, QObject* parent = nullptr);
    // The send in progress may finish (up to the queue's limit); the other mails wait on disk. The
    // state's files are written last.
    ~Service() override;

    Business::Application& app() { return *app_; }
    CheckCycle& cycle() { return *cycle_; }
    WebThread& web() { return *web_; }
    SyslogReceiver& syslog() { return *syslog_; }
    MailQueue& mailQueue() { return *mailQueue_; }
    Outbox& outbox() { return *outbox_; }
    AlertMonitor& alerts() { return *alerts_; }
    MetricsService& metrics() { return *metrics_; }
    StatusModel& status() { return *status_; }

    // The loopback port a second start calls to bring the window up.
    quint16 instancePort() const;

signals:
    // A second start asked for the window.
    void showRequested();

private:
    void startInstanceServer();
    void serveMetrics();

    Options options_;
    std::unique_ptr<Business::Application> app_;
    std::unique_ptr<QTcpServer> instanceServer_;
    std::unique_ptr<SyslogReceiver> syslog_;
    std::unique_ptr<CheckCycle> cycle_;
    std::unique_ptr<WebThread> web_;
    std::unique_ptr<MailQueue> mailQueue_;
    std::unique_ptr<Outbox> outbox_;
    std::unique_ptr<ReportRunner> reportRunner_;
    std::unique_ptr<AlertMonitor> alerts_;
    std::unique_ptr<MetricsService> metrics_;
    std::unique_ptr<StatusModel> status_;
    std::unique_ptr<Scheduler> scheduler_;
};

} // namespace Warden
