#include "DiagnosticLog.h"

#include "Clock.h"
#include "ClockText.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QMutex>

#include <memory>

#include <sys/stat.h>

namespace Warden {

namespace {
struct State {
    QMutex mutex;
    std::unique_ptr<QFile> file;
    QString path;
    int recheckMs = 1000;
    QElapsedTimer lastRecheck;
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
    if (s.lastRecheck.elapsed() >= s.recheckMs) {
        s.lastRecheck.start();
        // Moved away or deleted: a new file at the path, or the old one while none can be made.
        if (!pathNamesOpenFile(s.file->handle(), s.path)) {
            if (auto f = openAppending(s.path))
                s.file = std::move(f);
        }
    }
    s.file->write(text);
    s.file->flush();
}
} // namespace

bool DiagnosticLog::open(const QString& path) {
    const QByteArray text = banner(Clock::now());
    State& s = state();
    QMutexLocker lock(&s.mutex);
    s.path = path;
    s.file = openAppending(path);
    if (!s.file)
        return false;
    s.lastRecheck.start();
    writeLocked(text);
    return true;
}

void DiagnosticLog::close() {
    QMutexLocker lock(&state().mutex);
    state().file.reset();
}

bool DiagnosticLog::isOpen() {
    QMutexLocker lock(&state().mutex);
    return state().file != nullptr;
}

void DiagnosticLog::setRecheckInterval(int milliseconds) {
    QMutexLocker lock(&state().mutex);
    state().recheckMs = milliseconds;
}

void DiagnosticLog::write(const QByteArray& text) {
    QMutexLocker lock(&state().mutex);
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

bool pathNamesOpenFile(int fd, const QString& path) {
    struct stat open {};
    struct stat named {};
    if (::fstat(fd, &open) != 0 || ::stat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
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
