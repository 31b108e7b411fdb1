#include "EventFiles.h"

#include "Alerts.h"
#include "Application.h"
#include "ClockText.h"
#include "DiagnosticLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <QThread>

#include <algorithm>

namespace Warden::Business {

namespace {
constexpr int retryMs = 5000;
} // namespace

bool DailyLog::openFor(Time time) {
    close();
    const auto tm = localTime(time);
    if (!tm)
        return false;
    const QString path = QString::fromUtf8(Application::dailyLogPath(time));
    // One level at a time, so each directory made here gets its owner-only mode.
    const QStringList levels = QFileInfo(path).path().split(QLatin1Char('/'));
    for (qsizetype n = 1; n <= levels.size(); ++n) {
        const QString dir = levels.first(n).join(QLatin1Char('/'));
        if (!QFileInfo(dir).isDir())
            QDir().mkdir(dir, ownerOnlyDirectory);
    }
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append, ownerOnlyFile))
        return false;
    opened_ = OpenedPath(file_.handle(), path);
    // The local day [start, end) this file covers; mktime also settles daylight saving changes.
    std::tm start = *tm;
    start.tm_hour = start.tm_min = start.tm_sec = 0;
    start.tm_isdst = -1;
    std::tm next = start;
    next.tm_mday += 1;
    next.tm_isdst = -1;
    dayStart_ = static_cast<Time>(std::mktime(&start));
    dayEnd_ = static_cast<Time>(std::mktime(&next));
    if (dayStart_ > time || dayEnd_ <= time) { // a zone with odd days: fall back to this second only
        dayStart_ = time;
        dayEnd_ = time + 1;
    }
    return true;
}

void DailyLog::append(Time time, const QByteArray& line) {
    // Every line is part of the permanent record: before each write, whether the path still names the
    // open file, so the first event after a move or a deletion is in the new file. A batch goes out in
    // one write and needs one look (one stat, about what the write itself costs).
    if (covers(time) && !pathChecked_ && !opened_.stillNamesFile())
        close();
    pathChecked_ = holds_ > 0;
    if (!covers(time)) {
        if (!openFor(time)) {
            Alerts::raise("daily log", QStringLiteral("Daily logs cannot be written"),
                          file_.fileName() + QStringLiteral(": ") + file_.errorString());
            return;
        }
        Alerts::clear("daily log");
    }
    file_.write(line);
    if (holds_ == 0)
        file_.flush();
}

void DailyLog::release() {
    if (--holds_ != 0)
        return;
    pathChecked_ = false;
    if (file_.isOpen())
        file_.flush();
}

void DailyLog::close() {
    if (file_.isOpen())
        file_.close();
    dayStart_ = dayEnd_ = 0;
}

SnapshotWriter::SnapshotWriter(Writer writer)
    : writer_(std::move(writer)) {
}

void SnapshotWriter::markDirty() {
    lastChange_.start();
    if (!dirty_) {
        dirty_ = true;
        dirtySince_.start();
    }
    // Without an event loop on this thread (benchmarks, start-up) the write waits for flush().
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        return;
    if (!timer_) {
        timer_ = new QTimer(this);
        timer_->setSingleShot(true);
        connect(timer_, &QTimer::timeout, this, &SnapshotWriter::onTimer);
    }
    if (!timer_->isActive())
        timer_->start(delay_ / 2);
}

void SnapshotWriter::reset() {
    if (timer_)
        timer_->stop();
    dirty_ = false;
    failing_ = false;
    lastWriteMs_ = 0;
}

void SnapshotWriter::onTimer() {
    if (!dirty_)
        return;
    const qint64 longest = std::max<qint64>(2 * delay_, 20 * lastWriteMs_);
    if (lastChange_.elapsed() >= delay_ / 2 || dirtySince_.elapsed() >= longest)
        flush();
    else
        timer_->start(delay_ / 2);
}

void SnapshotWriter::flush() {
    if (timer_)
        timer_->stop();
    if (!dirty_)
        return;
    dirty_ = false;
    // Written aside and renamed, so a reader never sees half a snapshot.
    QElapsedTimer writing;
    writing.start();
    QSaveFile file(fileName_);
    QString error;
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
    } else {
        file.setPermissions(ownerOnlyFile);
        // QSaveFile notices a failed write only when a write itself fails, not when its buffer is
        // flushed on commit or when a write falls short: a full disk would still replace the snapshot
        // with a cut one.
        const bool written = writer_(file);
        if (!written || file.error() != QFileDevice::NoError || !file.flush()) {
            error = file.error() != QFileDevice::NoError ? file.errorString() : QStringLiteral("short write");
            file.cancelWriting();
        }
        if (file.commit()) {
            lastWriteMs_ = writing.elapsed();
            failing_ = false;
            return;
        }
        if (error.isEmpty())
            error = file.errorString();
    }
    if (!failing_)
        DiagnosticLog::writeTimed("SnapshotWriter::flush(): error: " + fileName_.toUtf8() +
                                  " was not written (" + error.toUtf8() +
                                  "); it keeps the previous snapshot\n");
    failing_ = true;
    // Tried again later, so the file catches up once there is room, even if the store stays as it is.
    dirty_ = true;
    if (timer_)
        timer_->start(std::max(delay_, retryMs));
}

} // namespace Warden::Business
