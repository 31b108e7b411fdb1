#include "TrayIcon.h"

#include "Resources.h"
#include "core/Application.h"
#include "report/AlertMonitor.h"

#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace Warden {

TrayIcon::TrayIcon(const Business::Application& app, const AlertMonitor& alerts, QString title,
                   QObject* parent)
    : QObject(parent)
    , alerts_(alerts)
    , title_(std::move(title)) {
    initAmpwardenResources();
    icon_ = QIcon(QStringLiteral(":/new/prefix1/icon.gif"));
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    tray_ = new QSystemTrayIcon(icon_, this);
    tray_->setToolTip(title_);
    // A menu without a parent widget, as the tray lives while no window exists; it goes with the tray.
    auto* menu = new QMenu;
    menu->addAction(tr("Show"), this, &TrayIcon::showRequested);
    menu->addAction(tr("Stop"), this, &TrayIcon::stopRequested);
    tray_->setContextMenu(menu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            emit showRequested();
    });
    connect(&alerts_, &AlertMonitor::alerted, this, &TrayIcon::notifyAlert);
    connect(&alerts_, &AlertMonitor::acknowledgementsChanged, this, &TrayIcon::showAlarms);
    // A removed controller takes its alarms with it.
    connect(&app, &Business::Application::controllerRemoved, this, &TrayIcon::showAlarms);
    tray_->show();
}

TrayIcon::~TrayIcon() {
    if (tray_)
        delete tray_->contextMenu();
}

void TrayIcon::showAlarms() {
    if (!tray_)
        return;
    const QStringList alarms = alerts_.alarms();
    // An acknowledged alarm is still named, but no longer marks the icon.
    const QStringList unacknowledged = alerts_.unacknowledged();
    QStringList named;
    for (const QString& name : alarms)
        named << (unacknowledged.contains(name) ? name : name + QStringLiteral(" (acknowledged)"));
    tray_->setToolTip(
        alarms.isEmpty() ? title_ : title_ + QStringLiteral("\nAlarm: ") + named.join(QStringLiteral(", ")));
    if (unacknowledged.isEmpty()) {
        tray_->setIcon(icon_);
        return;
    }
    // The normal icon with a red mark: recognisable as the same program, and plainly not at rest.
    QPixmap pixmap = icon_.pixmap(64, 64);
    if (pixmap.isNull()) {
        pixmap = QPixmap(64, 64);
        pixmap.fill(Qt::transparent);
    }
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::red);
    const int size = pixmap.width() / 2;
    painter.drawEllipse(pixmap.width() - size, pixmap.height() - size, size, size);
    painter.end();
    tray_->setIcon(QIcon(pixmap));
}

void TrayIcon::notifyAlert(const QString& subject) {
    showAlarms();
    if (tray_ && QSystemTrayIcon::supportsMessages())
        tray_->showMessage(title_, subject,
                           alerts_.alarms().isEmpty() ? QSystemTrayIcon::Information
                                                      : QSystemTrayIcon::Warning);
}

} // namespace Warden
