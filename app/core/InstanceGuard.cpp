#include "InstanceGuard.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Warden {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A directory nobody but this user can put files into: a symbolic link, a directory of another user
// or one that others may write to would let them plant the guard's files. Under the shared temporary
// directory, where anyone may have put something first, nobody else may even look inside.
bool isOwnDirectory(const QString& path, QString* problem, bool ownerOnly = false) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        *problem = path + QStringLiteral(": ") + systemError(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode))
        *problem = path + QStringLiteral(" is a symbolic link");
    else if (!S_ISDIR(st.st_mode))
        *problem = path + QStringLiteral(" is not a directory");
    else if (st.st_uid != ::geteuid())
        *problem = path + QStringLiteral(" belongs to another user");
    else if (ownerOnly && (st.st_mode & 07777) != S_IRWXU)
        *problem = path + QStringLiteral(" has mode %1, not 700").arg(st.st_mode & 07777, 0, 8);
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        *problem = path + QStringLiteral(" may be written by other users");
    else
        return true;
    return false;
}

// Creates the last directory of `path` only: a home that does not exist (a service account's
// /nonexistent) is not made up here.
bool makeDirectory(const QString& path, QString* problem) {
    if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0 || errno == EEXIST)
        return true;
    *problem = path + QStringLiteral(": ") + systemError(errno);
    return false;
}

// Key texts come from the command line; only characters that are safe in a file name are kept.
QString fileNamePart(const QString& key) {
    QString safe;
    for (const QChar c : key) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') ||
                           c == QLatin1Char('_') || c == QLatin1Char('.');
        safe += plain ? c : QLatin1Char('_');
    }
    return safe.isEmpty() ? QString::fromLatin1(InstanceGuard::defaultKey) : safe;
}

} // namespace

InstanceGuard::Directory InstanceGuard::privateDirectory() {
    QStringList problems;
    // Made when missing (its last directory only) and then checked.
    const auto usable = [&problems](const QString& path, bool ownerOnly) {
        QString problem;
        if (makeDirectory(path, &problem) && isOwnDirectory(path, &problem, ownerOnly))
            return true;
        problems << problem;
        return false;
    };

    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QString problem;
    if (runtime.isEmpty())
        problems << QStringLiteral("XDG_RUNTIME_DIR is not set");
    else if (!QDir::isAbsolutePath(runtime))
        problems << QStringLiteral("XDG_RUNTIME_DIR is no absolute path: ") + runtime;
    else if (isOwnDirectory(runtime, &problem))
        return {runtime, {}};
    else
        problems << problem;

    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty())
        problems << QStringLiteral("no cache directory");
    else if (!makeDirectory(cache, &problem))
        problems << problem;
    else if (const QString own = cache + QStringLiteral("/ampwarden"); usable(own, false))
        return {own, {}};

    // The shared temporary directory is safe only for a directory nobody else can have made first,
    // and that is checked, not assumed: another user's directory or link at this name is refused.
    const QString temporary = QDir::tempPath() + QStringLiteral("/ampwarden-") + QString::number(::geteuid());
    if (usable(temporary, true))
        return {temporary, {}};
    return {{}, problems.join(QStringLiteral("; "))};
}

InstanceGuard::InstanceGuard(const QString& key)
    : directory_(privateDirectory()) {
    if (directory_.path.isEmpty())
        return;
    const QString base = directory_.path + QLatin1Char('/') + fileNamePart(key) + QLatin1Char('-') +
                         QString::number(::geteuid());
    lockPath_ = base + QStringLiteral(".lock");
    // A native key is the path of the file whose identity names the System V segment, so the segment
    // follows the file into the private directory. QSharedMemory's own lock would be a semaphore named
    // through the shared temporary directory again; a file lock takes its place.
    segment_->setNativeKey(base + QStringLiteral(".segment"));
}

InstanceGuard::~InstanceGuard() {
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

bool InstanceGuard::lock() {
    if (lockFd_ < 0) {
        lockFd_ =
            ::open(QFile::encodeName(lockPath_).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lockFd_ < 0)
            return false;
    }
    const QDeadlineTimer deadline(lockTimeoutMs);
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (deadline.hasExpired()) {
            errno = ETIMEDOUT;
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

void InstanceGuard::unlock() {
    ::flock(lockFd_, LOCK_UN);
}

void InstanceGuard::removeStaleSegment() {
    if (directory_.path.isEmpty())
        return;
    QSharedMemory probe;
    probe.setNativeKey(segment_->nativeKey());
    if (probe.attach())
        probe.detach();
}

bool InstanceGuard::wakeRunningInstance(Failure* failure, int connectTimeoutMs) {
    if (directory_.path.isEmpty()) {
        *failure = {QStringLiteral("Bye: no private directory"), directory_.problem};
        return true;
    }
    if (!segment_->attach())
        return false;
    if (!lock()) {
        *failure = {QStringLiteral("Bye: lock() error (1)"),
                    lockPath_ + QStringLiteral(": ") + systemError(errno)};
        segment_->detach();
        return true;
    }
    quint16 port = 0;
    const bool readable = segment_->constData() != nullptr;
    if (readable)
        std::memcpy(&port, segment_->constData(), sizeof port);
    unlock();
    if (!readable) {
        *failure = {QStringLiteral("Bye: data() error (1)"), segment_->errorString()};
        segment_->detach();
        return true;
    }
    segment_->detach();
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("localhost"), port);
    if (!socket.waitForConnected(connectTimeoutMs))
        *failure = {QStringLiteral("Bye!"), QStringLiteral("connectToHost() error")};
    socket.close();
    return true;
}

bool InstanceGuard::publish(quint16 port, Failure* failure) {
    if (directory_.path.isEmpty()) {
        *failure = {QStringLiteral("Bye: no private directory"), directory_.problem};
        return false;
    }
    // Under the lock, so that a start beside this one never sees the new segment before it is attached
    // (and so takes it for an orphan).
    if (!lock()) {
        *failure = {QStringLiteral("Bye: lock() error (2)"),
                    lockPath_ + QStringLiteral(": ") + systemError(errno)};
        return false;
    }
    if (!createSegment()) {
        unlock();
        *failure = {QStringLiteral("Bye: create() error (1)"), segment_->errorString()};
        return false;
    }
    if (!segment_->data()) {
        unlock();
        *failure = {};
        return false;
    }
    std::memcpy(segment_->data(), &port, sizeof port);
    unlock();
    return true;
}

bool InstanceGuard::createSegment() {
    if (segment_->create(sizeof(quint16), QSharedMemory::ReadWrite))
        return true;
    if (segment_->error() != QSharedMemory::AlreadyExists || !removeOrphanAtKey())
        return false;
    // A QSharedMemory whose create() failed cannot create again ("unable to set key on lock").
    const QString key = segment_->nativeKey();
    segment_.emplace();
    segment_->setNativeKey(key);
    return segment_->create(sizeof(quint16), QSharedMemory::ReadWrite);
}

// A System V segment is named by its key file's inode number (ftok keeps only its low 16 bits), not by
// its path. A killed instance leaves its segment; once its key file is gone (a runtime directory
// removed at logout, a test's temporary one) a new key file can get the same number, and the start
// finds the orphan where it wants to create its own. What nobody is attached to and has the guard's
// size and owner is such an orphan; the key file stays, so QSharedMemory's key still matches it.
bool InstanceGuard::removeOrphanAtKey() {
    const key_t key = ::ftok(QFile::encodeName(segment_->nativeKey()).constData(), 'Q');
    if (key == -1)
        return false;
    const int id = ::shmget(key, 0, 0);
    struct shmid_ds status {};
    if (id == -1 || ::shmctl(id, IPC_STAT, &status) != 0)
        return false;
    if (status.shm_nattch != 0 || status.shm_perm.uid != ::geteuid() || status.shm_segsz != sizeof(quint16))
        return false;
    return ::shmctl(id, IPC_RMID, nullptr) == 0;
}

quint16 InstanceGuard::publishedPort() {
    if (directory_.path.isEmpty())
        return 0;
    QSharedMemory probe;
    probe.setNativeKey(segment_->nativeKey());
    if (!probe.attach(QSharedMemory::ReadOnly))
        return 0;
    quint16 port = 0;
    if (lock()) {
        std::memcpy(&port, probe.constData(), sizeof port);
        unlock();
    }
    probe.detach();
    return port;
}

} // namespace Warden
