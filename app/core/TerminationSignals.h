#pragma once

#include <QObject>

class QSocketNotifier;

namespace Warden {

// SIGTERM and SIGINT (a session logging out, systemd stopping the unit, Ctrl-C) end the program the
// way the Stop button does instead of killing it mid-write. The handler only writes a byte to a
// socket pair; the rest happens on the main thread's event loop.
class TerminationSignals final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TerminationSignals)

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested(int signal);

private:
    void readSignal();

    QSocketNotifier* notifier_ = nullptr;
};

} // namespace Warden
