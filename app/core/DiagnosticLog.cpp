#include "DiagnosticLog.h"

#include "Clock.h"
#include "ClockText.h"

#include <QDebug>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QMutex>

#include <memory>

namespace Warden {

namespace {
QMutex& mutex() {
    static QMutex m;
    return m;
}
std::unique_ptr<QFile>& file() {
    static std::unique_ptr<QFile> f;
    return f;
}
void writeLocked(const QByteArray& text) {
    auto& f = file();
    if (!f)
        return;
    f->write(text);
    f->flush();
}
} // namespace

bool DiagnosticLog::open(const QString& path) {
    const QByteArray text = banner(Clock::now());
    QMutexLocker lock(&mutex());
    auto f = std::make_unique<QFile>(path);
    // Owner-only when made here: the lines name hosts, users and addresses.
    if (!f->open(QIODevice::WriteOnly | QIODevice::Append,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file().reset();
        return false;
    }
    file() = std::move(f);
    writeLocked(text);
    return true;
}

void DiagnosticLog::close() {
    QMutexLocker lock(&mutex());
    file().reset();
}

bool DiagnosticLog::isOpen() {
    QMutexLocker lock(&mutex());
    return file() != nullptr;
}

void DiagnosticLog::write(const QByteArray& text) {
    QMutexLocker lock(&mutex());
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
