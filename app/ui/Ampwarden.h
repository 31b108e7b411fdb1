#pragma once

#include <QDialog>

#include <memory>

class QTcpServer;

namespace Warden {
class CheckCycle;
class Scheduler;
class SyslogReceiver;
} // namespace Warden

namespace Ui {
class AmpwardenClass;
}

// The main window. Closing it only hides it; Stop ends the program. It owns the non-visual parts the
// program runs on: the wake-up server for a second start, and (through their subsystems) the syslog
// socket, the scheduler and the querying object.
class Ampwarden final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Ampwarden)

public:
    static constexpr const char* version = "1.0";

    explicit Ampwarden(QWidget* parent = nullptr);
    ~Ampwarden() override;

    quint16 instancePort() const;

public slots:
    void done(int result) override;
    void resumeProgram();
    void exitProgram();
    // Handles the datagrams waiting on the syslog socket.
    void syslogMessage();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void startInstanceServer();

    std::unique_ptr<Ui::AmpwardenClass> ui;
    QTcpServer* instanceServer_ = nullptr;
    Warden::SyslogReceiver* syslog_ = nullptr;
    // Receives the scheduler's moments; the querying object is its query target
    // (cycle_->setQueryTarget) and the report sender its report run (cycle_->setReportRun).
    Warden::CheckCycle* cycle_ = nullptr;
    std::unique_ptr<Warden::Scheduler> scheduler_;
};
