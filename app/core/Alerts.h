#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

namespace Warden {

// Failures that no dialog asked about but that the user must hear of, such as daily logs that cannot
// be written. Each kind goes to app.log once until it clears, so a failure that repeats with every
// event does not fill the log, and to whoever listens: the main window shows it while it is in use.
// Raised from any thread; listeners connect queued, so that no box opens in the middle of the work
// that failed.
class Alerts final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Alerts)

public:
    static Alerts& instance();

    // Logs `text` with the clock text and signals it, unless `kind` is raised already.
    static void raise(const QByteArray& kind, const QString& title, const QString& text);
    // The failure is over: the next one of this kind is told again.
    static void clear(const QByteArray& kind);

signals:
    void raised(const QString& title, const QString& text);

private:
    Alerts() = default;

    QMutex mutex_;
    QSet<QByteArray> raised_;
};

} // namespace Warden
