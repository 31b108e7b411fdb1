#include "WebThread.h"

#include "ControllerLogs.h"
#include "WebClient.h"
#include "core/Application.h"
#include "core/CycleEvents.h"
#include "core/DiagnosticLog.h"

#include <QCoreApplication>

namespace Warden {

using Business::Application;

WebThread::WebThread(Application& app, QObject* reportTo, QObject* parent)
    : QObject(parent)
    , app_(app)
    , reportTo_(reportTo)
    , clientTimeoutMs_(WebClient::defaultTimeoutMs) {
}

WebThread::~WebThread() = default;

bool WebThread::event(QEvent* event) {
    if (event->type() == CycleEvents::check()) {
        startCheck();
        return true;
    }
    if (event->type() == CycleEvents::clientDone() || event->type() == CycleEvents::clientFailed()) {
        finishClient(event->type(), static_cast<const ClientEvent*>(event)->client);
        return true;
    }
    return QObject::event(event);
}

void WebThread::startCheck() {
    for (const Business::Controller& controller : app_.controllers) {
        auto client = std::make_unique<WebClient>(this, controller.id, controller.host, controller.port,
                                                  controller.admin, controller.password, clientTimeoutMs_);
        waiting_.push_back(client.get());
        const quint64 identity = client->identity();
        clients_.emplace(identity, std::move(client));
    }
    startWaiting();
}

void WebThread::startWaiting() {
    while (!waiting_.empty() && clients_.size() - waiting_.size() < maxConnections_) {
        WebClient* client = waiting_.front();
        waiting_.pop_front();
        client->start();
    }
}

void WebThread::finishClient(QEvent::Type type, quint64 identity) {
    const auto it = clients_.find(identity);
    if (it == clients_.end())
        return;
    std::unique_ptr<WebClient> client = std::move(it->second);
    clients_.erase(it);
    if (Business::Controller* controller = app_.controller(client->controller)) {
        Business::CheckOutcome outcome;
        if (type == CycleEvents::clientDone()) {
            // One write and one look at the daily log's path for all events of the two pages (the
            // whole log table at the first check after a start).
            const Application::EventBatch batch(app_);
            outcome = Business::getLogs(app_, controller->id, client->indexPage, client->syslogPage);
        }
        outcome.httpStatus = client->httpStatus;
        // The client's own failure is the nearer cause: a login refused leaves pages without a clock too.
        if (!outcome.answered && client->failure.failed())
            outcome.failure = client->failure;
        emit checked(controller->id, outcome);
    } else {
        // Removed while its check ran: nothing of the check is kept.
        DiagnosticLog::writeTimed("WebThread: the answer of " + client->host +
                                  " came for a controller removed "
                                  "during the check; dropped\n");
    }
    client.reset();
    startWaiting();
    if (clients_.empty() && reportTo_)
        QCoreApplication::postEvent(reportTo_, new ClientEvent(type));
}

} // namespace Warden
