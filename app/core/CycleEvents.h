#pragma once

#include <QEvent>
#include <QtGlobal>

namespace Warden {

// The custom event types of the check/report cycle, registered once, in this order.
struct CycleEvents {
    static QEvent::Type check();
    static QEvent::Type clientDone();
    static QEvent::Type clientFailed();
    // A report moment that came without a check moment.
    static QEvent::Type report();
};

// A check moment. The scheduler posts it to the main window, which posts a fresh one to the querying
// object. The report values travel inside the event rather than as properties of the receiver, so
// nothing is shared between the threads.
class CheckEvent final : public QEvent {
public:
    CheckEvent(bool email = false, quint64 reportFrom = 0, quint64 reportTill = 0)
        : QEvent(CycleEvents::check())
        , shouldEmail(email)
        , from(reportFrom)
        , till(reportTill) {}

    bool shouldEmail;
    quint64 from;
    quint64 till;
};

// A report moment without a check moment: the scheduler posts it to the main window, which runs the
// report for (from, till) at once.
class ReportEvent final : public QEvent {
public:
    ReportEvent(quint64 reportFrom, quint64 reportTill)
        : QEvent(CycleEvents::report())
        , from(reportFrom)
        , till(reportTill) {}

    quint64 from;
    quint64 till;
};

// A client that read both pages (clientDone) or gave up (clientFailed); `client` names it. The
// querying object sends the type of the last client's event to the main window when all have ended.
class ClientEvent final : public QEvent {
public:
    ClientEvent(QEvent::Type type, quint64 clientId = 0)
        : QEvent(type)
        , client(clientId) {}

    quint64 client;
};

} // namespace Warden
