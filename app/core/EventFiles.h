#pragma once

#include "Records.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <functional>

namespace Warden::Business {

// The daily event log. The file of the current day stays open while events keep falling on that
// local date, so a busy store does not pay an open and a close per event; every line is flushed.
class DailyLog {
public:
    void append(Time time, const QByteArray& line);
    void close();

private:
    bool covers(Time time) const { return file_.isOpen() && time >= dayStart_ && time < dayEnd_; }
    bool openFor(Time time);

    QFile file_;
    Time dayStart_ = 0;
    Time dayEnd_ = 0;
};

// Rewrites "AMW.log" from the store, coalescing the rewrites: the file equals the store within the
// delay after the last change and right after flush(). While changes keep coming (a syslog flood) the
// file is rewritten at least every second, or less often when one rewrite of a large store takes long,
// so that rewriting never takes more than about a twentieth of the main thread's time.
class SnapshotWriter : public QObject {
    Q_OBJECT
public:
    using Writer = std::function<void(QIODevice&)>;

    explicit SnapshotWriter(Writer writer);

    void markDirty();
    void flush();
    void setDelay(int milliseconds) { delay_ = milliseconds; }
    bool isDirty() const { return dirty_; }
    void setFileName(const QString& name) { fileName_ = name; }

private:
    void onTimer();

    Writer writer_;
    QTimer* timer_ = nullptr;
    QString fileName_ = QStringLiteral("AMW.log");
    int delay_ = 500;
    bool dirty_ = false;
    QElapsedTimer lastChange_;
    QElapsedTimer dirtySince_;
    qint64 lastWriteMs_ = 0;
};

} // namespace Warden::Business
