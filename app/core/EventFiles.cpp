#include "EventFiles.h"

#include "Alerts.h"
#include "Application.h"
#include "ClockText.h"

#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <QThread>

#include <algorithm>

namespace Warden::Business {

bool DailyLog::openFor(Time time) {
    close();
    const auto tm = localTime(time);
    if (!tm)
        return false;
    const QString path = QString::fromUtf8(Application::dailyLogPath(time));
    QDir().mkpath(QFileInfo(path).path());
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
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
    if (!covers(time)) {
        if (!openFor(time)) {
            Alerts::raise("daily log", QStringLiteral("Daily logs cannot be written"),
                          file_.fileName() + QStringLiteral(": ") + file_.errorString());
            return;
        }
        Alerts::clear("daily log");
    }
    file_.write(line);
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
    if (!file.open(QIODevice::WriteOnly))
        return;
    writer_(file);
    file.commit();
    lastWriteMs_ = writing.elapsed();
}

} // namespace Warden::Business
