#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

class QSystemTrayIcon;

namespace Warden {

class AlertMonitor;
namespace Business {
class Application;
}

// The program's mark in the system tray, there whether the window is or not: it follows the alarms
// (a red dot and the names in its tooltip), tells each alert where the desktop shows notifications,
// and offers Show and Stop. Without a tray it does nothing, and the window is reached through a second
// start, as always.
class TrayIcon final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayIcon)

public:
    TrayIcon(const Business::Application& app, const AlertMonitor& alerts, QString title,
             QObject* parent = nullptr);
    ~TrayIcon() override;

    void showAlarms();

signals:
    void showRequested();
    void stopRequested();

private:
    void notifyAlert(const QString& subject);

    const AlertMonitor& alerts_;
    QString title_;
    QIcon icon_;
    QSystemTrayIcon* tray_ = nullptr;
};

} // namespace Warden
