#pragma once

#include "core/CheckOutcome.h"

#include <QEvent>
#include <QObject>

#include <map>
#include <memory>

namespace Warden {

class WebClient;

// The querying object of the check cycle. On a CheckEvent it starts one WebClient per configured
// controller; each client that ends with clientDone has its pages parsed into events; when the last
// client of the check has ended, a ClientEvent of that client's type goes to `reportTo` (the main
// window's CheckCycle). All of it runs on the main thread's event loop: the network work is
// asynchronous, and the parsing changes the application state, which only the main thread touches.
class WebThread final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WebThread)

public:
    WebThread(QObject* reportTo, QObject* parent);
    ~WebThread() override;

    bool event(QEvent* event) override;

    // Clients of the current check that have not ended yet.
    std::size_t activeClients() const { return clients_.size(); }
    // The per-client deadline; tests shorten it.
    void setClientTimeout(int milliseconds) { clientTimeoutMs_ = milliseconds; }

signals:
    // One controller of the check has ended, after its events are in the store; a client that gave up
    // reports a controller that did not answer.
    void checked(Warden::Business::Controller* controller, const Warden::Business::CheckOutcome& outcome);

private:
    void startCheck();
    void finishClient(QEvent::Type type, quint64 identity);

    QObject* reportTo_;
    // Ordered by the clients' identity, which is what their events carry.
    std::map<quint64, std::unique_ptr<WebClient>> clients_;
    int clientTimeoutMs_;
};

} // namespace Warden
