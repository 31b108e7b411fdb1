#include "DiagnosticLog.h"

#include "Clock.h"
#include "ClockText.h"
#include "OpenedPath.h"

#include <QDebug>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>

#include <memory>
#include <mutex>

namespace Warden {

namespace {
struct State {
    // Written from the mail thread too; a standard mutex, so that ThreadSanitizer sees the locking
    // (Qt's own is built on futexes it cannot follow).
    std::mutex mutex;
    std::unique_ptr<QFile> file;
    QString path;
    OpenedPath opened;
};
State& state() {
    static State s;
    return s;
}
std::unique_ptr<QFile> openAppending(const QString& path) {
    auto f = std::make_unique<QFile>(path);
    // Owner-only when made here: the lines name hosts, users and addresses.
    if (!f->open(QIODevice::WriteOnly | QIODevice::Append, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return nullptr;
    return f;
}
void writeLocked(const QByteArray& text) {
    State& s = state();
    if (!s.file)
        return;
    // Moved away or deleted: a new file at the path, or the old one while none can be made. Looked at
    // before every line, so the line that follows a rotation is already in the new file; the look
    // (one stat) costs about what the write and flush of every line cost anyway.
    if (!s.opened.stillNamesFile()) {
        if (auto f = openAppending(s.path)) {
            s.file = std::move(f);
            s.opened = OpenedPath(s.file->handle(), s.path);
        }
    }
    s.file->write(text);
    s.file->flush();
}
} // namespace

bool DiagnosticLog::open(const QString& path) {
    const QByteArray text = banner(Clock::now());
    State& s = state();
    const std::lock_guard lock(s.mutex);
    s.path = path;
    s.file = openAppending(path);
    if (!s.file)
        return false;
    s.opened = OpenedPath(s.file->handle(), path);
    writeLocked(text);
    return true;
}

void DiagnosticLog::close() {
    const std::lock_guard lock(state().mutex);
    state().file.reset();
}

bool DiagnosticLog::isOpen() {
    const std::lock_guard lock(state().mutex);
    return state().file != nullptr;
}

void DiagnosticLog::write(const QByteArray& text) {
    const std::lock_guard lock(state().mutex);
    writeLocked(text);
}

void DiagnosticLog::writeTimed(const QByteArray& text) {
    write(clockText(Clock::now()) + ": " + text);
}

void DiagnosticLog::writeAndDebug(const QByteArray& text) {
    write(text);
    QByteArray trace = text;
    if (trace.endsWith('\n'))
        trace.chop(1);
    qDebug().noquote() << QString::fromUtf8(trace);
}

QByteArray DiagnosticLog::banner(qint64 now) {
    QByteArray text = clockText(now) + ": Application started\nSupported QImageReader formats: ";
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        text += format + ' ';
    text += "\nSupported QImageWriter formats: ";
    for (const QByteArray& format : QImageWriter::supportedImageFormats())
        text += format + ' ';
    text += '\n';
    return text;
}

} // namespace Warden
