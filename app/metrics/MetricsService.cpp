#include "MetricsService.h"

#include "core/Alerts.h"
#include "core/Clock.h"
#include "core/MetricsRegistry.h"
#include "query/WebThread.h"
#include "report/MailQueue.h"
#include "report/Outbox.h"

namespace Warden {

namespace {

const QByteArray alertKind = "metrics endpoint";

} // namespace

MetricsService::MetricsService(const Business::Application& app, QObject* parent)
    : QObject(parent)
    , exposition_(app) {
    publishTimer_.setSingleShot(true);
    publishTimer_.setInterval(publishDelayMs);
    connect(&publishTimer_, &QTimer::timeout, this, &MetricsService::publish);
    refreshTimer_.setInterval(refreshMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &MetricsService::publish);
}

MetricsService::~MetricsService() {
    // Joins the server's thread before the exposition it might still be answering with goes.
    server_.stop();
}

void MetricsService::follow(const WebThread& web, const MailQueue& queue, const Outbox& outbox) {
    outbox_ = &outbox;
    connect(&web, &WebThread::checked, this,
            [this](Business::ControllerId controller, const Business::CheckOutcome& outcome) {
                exposition_.checked(controller, outcome, Clock::now());
                changed();
            });
    connect(&queue, &MailQueue::sent, this, [this](const QString&, const QByteArray& error) {
        MetricsRegistry::instance().countMail(error.isEmpty());
        changed();
    });
    connect(&outbox, &Outbox::changed, this, &MetricsService::changed);
}

MetricsServer::Result MetricsService::listen(const QByteArray& address) {
    if (address == address_ && (address.isEmpty() || server_.running()))
        return {true, {}};
    address_ = address;
    if (address.isEmpty()) {
        server_.stop();
        refreshTimer_.stop();
        Alerts::clear(alertKind);
        return {true, {}};
    }
    MetricsServer::Result result{false, "not ADDRESS:PORT with a numeric address"};
    if (const auto endpoint = MetricsServer::parseEndpoint(address))
        result = server_.start(*endpoint);
    if (!result.ok) {
        server_.stop();
        refreshTimer_.stop();
        // Told on every failed attempt: each follows a start or an Apply by the user.
        Alerts::clear(alertKind);
        Alerts::raise(alertKind, QStringLiteral("Metrics endpoint not started"),
                      QStringLiteral("Cannot serve metrics at %1: %2. Ampwarden runs on without them.")
                          .arg(QString::fromUtf8(address), QString::fromUtf8(result.reason)));
        return result;
    }
    Alerts::clear(alertKind);
    publish();
    refreshTimer_.start();
    return result;
}

void MetricsService::eventAdded(const Business::Event& event) {
    exposition_.eventAdded(event);
    changed();
}

void MetricsService::changed() {
    if (server_.running() && !publishTimer_.isActive())
        publishTimer_.start();
}

void MetricsService::publish() {
    publishTimer_.stop();
    if (!server_.running())
        return;
    server_.publish(exposition_.render(outbox_ ? outbox_->count() : -1));
}

} // namespace Warden
