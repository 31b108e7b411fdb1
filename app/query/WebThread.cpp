#include "WebThread.h"

#include "ControllerLogs.h"
#include "WebClient.h"
#include "core/Application.h"
#include "core/CycleEvents.h"

#include <QCoreApplication>

namespace Warden {

using Business::Application;

WebThread::WebThread(QObject* reportTo, QObject* parent)
    : QObject(parent)
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
    int index = 0;
    for (const Business::Controller& controller : Application::controllers) {
        auto client = std::make_unique<WebClient>(this, index++, controller.host, controller.port,
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
    Business::CheckOutcome outcome;
    if (type == CycleEvents::clientDone()) {
        // One write and one look at the daily log's path for all events of the two pages (the whole
        // log table at the first check after a start).
        const Application::EventBatch batch;
        outcome = Business::getLogs(client->index, client->indexPage, client->syslogPage);
    }
    outcome.httpStatus = client->httpStatus;
    // The client's own failure is the nearer cause: a login refused leaves pages without a clock too.
    if (!outcome.answered && client->failure.failed())
        outcome.failure = client->failure;
    if (Business::Controller* controller = Application::controllerAt(client->index))
        emit checked(controller, outcome);
    client.reset();
    startWaiting();
    if (clients_.empty() && reportTo_)
        QCoreApplication::postEvent(reportTo_, new ClientEvent(type));
}

} // namespace Warden
