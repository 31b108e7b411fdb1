#include "report/OutboxFile.h"

#include "core/ErrorText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Warden::OutboxFile {

namespace {

// The temporary file is "." + the name + this: never taken for a mail (it does not end in ".mail").
constexpr char temporarySuffix[] = ".XXXXXX";

QString reason(int error) {
    return QString::fromLocal8Bit(errorText(error));
}

class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    // Network file systems may report a failed write only here.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

QString writeAll(Descriptor& file, const QByteArray& data) {
    const char* next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = diskCalls().write(file.get(), next, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return reason(errno);
        if (written == 0)
            return reason(ENOSPC);
        next += written;
        left -= written;
    }
    // Without the sync a full disk may only show when the system writes the data back, after the
    // rename made an empty or cut file the mail's.
    if (diskCalls().fsync(file.get()) != 0)
        return reason(errno);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        return reason(errno);
    if (status.st_size != data.size())
        return QStringLiteral("the file holds %1 of %2 bytes after writing")
            .arg(status.st_size)
            .arg(data.size());
    if (file.close() != 0)
        return reason(errno);
    return {};
}

// The new name for the file only when no entry has it (RENAME_NOREPLACE; link() where the file
// system lacks it): a link planted at that name stays a link and is not written through.
int renameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (::link(from.constData(), to.constData()) != 0)
        return errno;
    ::unlink(from.constData());
    return 0;
}

// So that the new name outlives a power cut too; a file system that cannot sync a directory is left
// at that.
void syncDirectory(const QString& path) {
    const Descriptor directory(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        ::fsync(directory.get());
}

} // namespace

DiskCalls& diskCalls() {
    static DiskCalls calls{::write, ::fsync};
    return calls;
}

Read read(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    // A device or a FIFO is not even opened; the checks after the open cover a swap in between.
    struct stat entry {};
    if (::lstat(native.constData(), &entry) == 0 && !S_ISREG(entry.st_mode))
        return {std::nullopt,
                S_ISLNK(entry.st_mode) ? QStringLiteral("a symbolic link")
                                       : QStringLiteral("not a regular file"),
                true};
    // Non-blocking, so that a FIFO swapped in cannot hold the start.
    Descriptor file(::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        const int error = errno;
        return {std::nullopt, error == ELOOP ? QStringLiteral("a symbolic link") : reason(error),
                error == ELOOP};
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        return {std::nullopt, reason(errno), false};
    if (!S_ISREG(status.st_mode))
        return {std::nullopt, QStringLiteral("not a regular file"), true};
    if (status.st_uid != ::geteuid())
        return {std::nullopt, QStringLiteral("owned by another user"), true};
    QByteArray data;
    data.reserve(static_cast<qsizetype>(status.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {std::nullopt, reason(errno), false};
        if (got == 0)
            break;
        data.append(buffer, got);
    }
    return {std::move(data), QString(), false};
}

QString write(const QString& path, const QByteArray& data, Existing existing) {
    const QFileInfo info(path);
    QByteArray temporary = QFile::encodeName(info.path() + QStringLiteral("/.") + info.fileName() +
                                             QLatin1String(temporarySuffix));
    // Created anew (O_EXCL) and owner-only.
    Descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0)
        return reason(errno);
    QString problem = writeAll(file, data);
    if (problem.isEmpty()) {
        const QByteArray target = QFile::encodeName(path);
        // rename() replaces the name itself, a link included, and never writes through one.
        const int error = existing == Existing::replace
                              ? (::rename(temporary.constData(), target.constData()) == 0 ? 0 : errno)
                              : renameNoReplace(temporary, target);
        if (error != 0)
            problem = reason(error);
    }
    if (!problem.isEmpty()) {
        ::unlink(temporary.constData());
        return problem;
    }
    syncDirectory(info.path());
    return {};
}

QString move(const QString& from, const QString& to) {
    const int error = renameNoReplace(QFile::encodeName(from), QFile::encodeName(to));
    if (error != 0)
        return reason(error);
    syncDirectory(QFileInfo(to).path());
    return {};
}

void removeLeftovers(const QString& directory) {
    const QDir dir(directory);
    // The names write() gives them for the mails' files.
    const QString pattern = QStringLiteral(".*.mail.??????");
    for (const QString& name : dir.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::NoSymLinks))
        QFile::remove(dir.filePath(name));
}

bool taken(const QString& path) {
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 || errno != ENOENT;
}

} // namespace Warden::OutboxFile
