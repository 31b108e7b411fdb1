#pragma once

#include "MetricsExposition.h"
#include "MetricsServer.h"

#include <QObject>
#include <QTimer>

namespace Warden {

namespace Business {
class Application;
}

class MailQueue;
class Outbox;
class WebThread;

// The metrics endpoint as the program runs it: follows the checks, the events and the mails, draws
// the exposition on the main thread at most once per publishDelayMs after a change (and every
// refreshMs, for changes of the settings), and hands it to the server, which serves it on its own
// thread. Off until listen() is given an address.
class MetricsService final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MetricsService)

public:
    static constexpr int publishDelayMs = 500;
    static constexpr int refreshMs = 5000;

    explicit MetricsService(const Business::Application& app, QObject* parent = nullptr);
    ~MetricsService() override;

    // Counts what `web`, `queue` and `outbox` report; all three must outlive the service's use.
    void follow(const WebThread& web, const MailQueue& queue, const Outbox& outbox);
    // Serves at "ADDRESS:PORT", or stops serving when `address` is empty. The same address again
    // leaves a running server alone. A failure goes to app.log and, while the window is in use, to a
    // box; the program runs on without the endpoint.
    MetricsServer::Result listen(const QByteArray& address);
    quint16 port() const { return server_.port(); }

    // An event was stored.
    void eventAdded(const Business::Event& event);
    void forget(Business::ControllerId controller) { exposition_.forget(controller); }

private:
    void changed();
    void publish();

    MetricsExposition exposition_;
    MetricsServer server_;
    QByteArray address_;
    const Outbox* outbox_ = nullptr;
    QTimer publishTimer_;
    QTimer refreshTimer_;
};

} // namespace Warden
