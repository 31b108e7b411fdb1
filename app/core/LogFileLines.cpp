#include "LogFileLines.h"

#include "ErrorText.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Warden::Business {

namespace {

// An event line is a few hundred bytes; one beyond this is no event and is not held whole.
constexpr qsizetype maxLineBytes = 16 * 1024 * 1024;

} // namespace

LogFileRead readLogLines(const QString& path, const std::function<void(QByteArrayView)>& line) {
    LogFileRead read;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            read.problem = QString::fromLocal8Bit(errorText(errno));
        return read;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        read.problem = QStringLiteral("not a regular file");
        return read;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        read.problem = file.errorString();
        return read;
    }
    QByteArray pending;
    bool overlong = false;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = file.read(chunk.data(), chunk.size())) > 0) {
        QByteArrayView rest(chunk.constData(), got);
        for (qsizetype end = rest.indexOf('\n'); end >= 0; end = rest.indexOf('\n')) {
            if (overlong)
                ++read.overlongLines;
            else if (pending.isEmpty())
                line(rest.first(end));
            else
                line(pending.append(rest.first(end)));
            pending.clear();
            overlong = false;
            rest = rest.sliced(end + 1);
        }
        if (!overlong && pending.size() + rest.size() > maxLineBytes) {
            pending.clear();
            overlong = true;
        }
        if (!overlong)
            pending += rest;
    }
    if (overlong)
        ++read.overlongLines;
    else if (got == 0)
        line(pending);
    if (got < 0)
        read.problem = file.errorString();
    return read;
}

} // namespace Warden::Business
