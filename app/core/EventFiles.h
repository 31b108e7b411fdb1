#pragma once

#include "OpenedPath.h"
#include "Records.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <functional>

namespace Warden::Business {

// Files and directories of the working directory hold host names, user names and addresses: only
// their owner may read them.
inline constexpr QFileDevice::Permissions ownerOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
inline constexpr QFileDevice::Permissions ownerOnlyDirectory = ownerOnlyFile | QFileDevice::ExeOwner;

// The daily event log. The file of the current day stays open while events keep falling on that
// local date, so a busy store does not pay an open and a close per event; every line is flushed.
// When the file or its directories are moved or deleted under it (logrotate, a clean-up job), the
// next line goes to a new file at the path.
class DailyLog {
public:
    void append(Time time, const QByteArray& line);
    void close();
    // While held, lines gather in the file's buffer and go out together when the last hold ends: one
    // write for a batch of events instead of one each, and one look at the path.
    void hold() { ++holds_; }
    void release();

private:
    bool covers(Time time) const { return file_.isOpen() && time >= dayStart_ && time < dayEnd_; }
    bool openFor(Time time);

    QFile file_;
    OpenedPath opened_;
    Time dayStart_ = 0;
    Time dayEnd_ = 0;
    int holds_ = 0;
    // The path was compared with the open file during the present hold.
    bool pathChecked_ = false;
};

// Rewrites "AMW.log" from the store, coalescing the rewrites: the file equals the store within the
// delay after the last change and right after flush(). While changes keep coming (a syslog flood) the
// file is rewritten at least every second, or less often when one rewrite of a large store takes long,
// so that rewriting never takes more than about a twentieth of the main thread's time. A rewrite that
// fails (a full disk) leaves the previous file, says so once in app.log and is tried again later.
class SnapshotWriter : public QObject {
    Q_OBJECT
public:
    // Returns false when a write fell short.
    using Writer = std::function<bool(QIODevice&)>;

    explicit SnapshotWriter(Writer writer);

    void markDirty();
    void flush();
    void setDelay(int milliseconds) { delay_ = milliseconds; }
    bool isDirty() const { return dirty_; }
    // Forgets pending changes and past failures (a new working directory in tests).
    void reset();
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
    bool failing_ = false;
};

} // namespace Warden::Business
