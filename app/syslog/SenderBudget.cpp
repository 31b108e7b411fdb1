#include "SenderBudget.h"

#include "core/DiagnosticLog.h"

namespace Warden {

SenderBudget::SenderBudget(int perSecond, int windowMilliseconds, QObject* parent)
    : QObject(parent)
    , perSecond_(perSecond)
    , windowMs_(windowMilliseconds) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &SenderBudget::endWindow);
}

SenderBudget::~SenderBudget() {
    endWindow();
}

bool SenderBudget::admit(const Business::Controller& controller, qint64 now) {
    // Without an event loop the timer never fires; the next datagram ends the window then.
    if (window_.isValid() && window_.elapsed() >= windowMs_)
        endWindow();
    Sender& sender = senders_[&controller];
    if (sender.second != now) {
        sender.second = now;
        sender.taken = 0;
    }
    if (sender.taken < perSecond_) {
        ++sender.taken;
        return true;
    }
    if (sender.refused++ == 0)
        sender.name = controller.displayName();
    if (!window_.isValid()) {
        window_.start();
        timer_.start(windowMs_);
    }
    return false;
}

void SenderBudget::endWindow() {
    timer_.stop();
    window_.invalidate();
    for (auto it = senders_.begin(); it != senders_.end();) {
        Sender& sender = it->second;
        if (sender.refused > 0) {
            DiagnosticLog::writeTimed("Syslog: " + QByteArray::number(sender.refused) + " datagrams from " +
                                      sender.name + " not stored: over its budget of " +
                                      QByteArray::number(perSecond_) + " a second\n");
        }
        // Only this second's count matters; older entries (a removed controller among them) go.
        if (sender.refused > 0) {
            sender.refused = 0;
            ++it;
        } else {
            it = senders_.erase(it);
        }
    }
}

} // namespace Warden
