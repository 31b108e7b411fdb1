#include "Alerts.h"

#include "DiagnosticLog.h"

#include <QMutexLocker>

namespace Warden {

Alerts& Alerts::instance() {
    static Alerts alerts;
    return alerts;
}

void Alerts::raise(const QByteArray& kind, const QString& title, const QString& text) {
    Alerts& alerts = instance();
    {
        const QMutexLocker lock(&alerts.mutex_);
        if (alerts.raised_.contains(kind))
            return;
        alerts.raised_.insert(kind);
    }
    DiagnosticLog::writeTimed(title.toUtf8() + ": " + text.toUtf8() + "\n");
    emit alerts.raised(title, text);
}

void Alerts::clear(const QByteArray& kind) {
    Alerts& alerts = instance();
    const QMutexLocker lock(&alerts.mutex_);
    alerts.raised_.remove(kind);
}

} // namespace Warden
