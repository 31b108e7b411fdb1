#pragma once

#include "core/Records.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <unordered_map>

namespace Warden {

// How many datagrams a configured controller's address may turn into events per second. Anyone can
// send datagrams with a controller's address as the sender, and each stored event costs memory, a
// line in the day's log and a share of every AMW.log rewrite, so a flood under a controller's name is
// cut at the budget: the excess is counted, and told in app.log once per window and controller.
class SenderBudget final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SenderBudget)

public:
    SenderBudget(int perSecond, int windowMilliseconds, QObject* parent = nullptr);
    // Says what was left out, so a shutdown in the middle of a window loses no count.
    ~SenderBudget() override;

    // Counts one datagram of `controller` in second `now`; true when it may be stored.
    bool admit(const Business::Controller& controller, qint64 now);
    void setPerSecond(int datagrams) { perSecond_ = datagrams; }
    void setWindow(int milliseconds) { windowMs_ = milliseconds; }

private:
    struct Sender {
        qint64 second = 0;
        int taken = 0;
        qint64 refused = 0; // in this window, not yet told
        QByteArray name;    // as it was when refused: the controller may be gone when the window ends
    };
    void endWindow();

    int perSecond_;
    int windowMs_;
    // By address: records live in a list with stable nodes.
    std::unordered_map<const Business::Controller*, Sender> senders_;
    QTimer timer_;
    QElapsedTimer window_;
};

} // namespace Warden
