#pragma once

#include "core/CheckOutcome.h"

#include <QEvent>
#include <QObject>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>

namespace Warden {

namespace Business {
class Application;
}

class WebClient;

// The querying object of the check cycle. On a CheckEvent it makes one WebClient per configured
// controller and starts them in list order, at most maxConnections at a time (each holds one
// connection): the rest wait for a free place, and a client's deadline starts when it starts. So ten
// thousand controllers take a few hundred descriptors, and a controller that uses up its whole
// deadline holds one place, never the others' time. Each client that ends with clientDone has its
// pages parsed into events; when the last client of the check has ended, a ClientEvent of that
// client's type goes to `reportTo` (the main window's CheckCycle). All of it runs on the main thread's
// event loop: the network work is asynchronous, and the parsing changes the application state, which
// only the main thread touches.
class WebThread final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebThread)

public:
    WebThread(Business::Application& app, QObject* reportTo, QObject* parent);
    ~WebThread() override;

    bool event(QEvent* event) override;

    // Connections to controllers open at the same time: enough to check a thousand answering
    // controllers in a few seconds, few enough to leave descriptors for everything else under any
    // usual limit.
    static constexpr std::size_t defaultMaxConnections = 256;

    // Clients of the current check that have not ended yet, waiting ones included.
    std::size_t activeClients() const { return clients_.size(); }
    // The per-client deadline; tests shorten it.
    void setClientTimeout(int milliseconds) { clientTimeoutMs_ = milliseconds; }
    void setMaxConnections(std::size_t connections) {
        maxConnections_ = std::max<std::size_t>(connections, 1);
    }

signals:
    // One controller of the check has ended, after its events are in the store; a client that gave up
    // reports a controller that did not answer.
    void checked(Warden::Business::ControllerId controller, const Warden::Business::CheckOutcome& outcome);

private:
    void startCheck();
    void finishClient(QEvent::Type type, quint64 identity);
    void startWaiting();

    Business::Application& app_;
    QObject* reportTo_;
    // Ordered by the clients' identity, which is what their events carry.
    std::map<quint64, std::unique_ptr<WebClient>> clients_;
    // Clients of the check not started yet, in list order; the others in clients_ are running.
    std::deque<WebClient*> waiting_;
    std::size_t maxConnections_ = defaultMaxConnections;
    int clientTimeoutMs_;
};

} // namespace Warden
