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
// or one that others may write to would let them plant the guard's files.
bool isOwnDirectory(const QString& path, QString* problem) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        *problem = path + QStringLiteral(": ") + systemError(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode))
        *problem = path + QStringLiteral(" is not a directory");
    else if (st.st_uid != ::geteuid())
        *problem = path + QStringLiteral(" belongs to another user");
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        *problem = path + QStringLiteral(" may be written by other users");
    else
        return true;
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

QString InstanceGuard::privateDirectory(QString* reason) {
    QString problem;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && isOwnDirectory(runtime, &problem))
        return runtime;
    // Not a directory under the shared /tmp: another user could create it first and so keep every
    // start from running.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (!cache.isEmpty() && QDir().mkpath(cache)) {
        const QString own = cache + QStringLiteral("/ampwarden");
        ::mkdir(QFile::encodeName(own).constData(), 0700);
        if (isOwnDirectory(own, &problem))
            return own;
    } else {
        problem = QStringLiteral("no cache directory: ") + cache;
    }
    if (reason)
        *reason = problem;
    return {};
}

InstanceGuard::InstanceGuard(const QString& key)
    : directory_(privateDirectory(&directoryProblem_)) {
    if (directory_.isEmpty())
        return;
    const QString base =
        directory_ + QLatin1Char('/') + fileNamePart(key) + QLatin1Char('-') + QString::number(::geteuid());
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
    if (directory_.isEmpty())
        return;
    QSharedMemory probe;
    probe.setNativeKey(segment_->nativeKey());
    if (probe.attach())
        probe.detach();
}

bool InstanceGuard::wakeRunningInstance(Failure* failure, int connectTimeoutMs) {
    if (directory_.isEmpty()) {
        *failure = {QStringLiteral("Bye: no private directory"), directoryProblem_};
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
    if (directory_.isEmpty()) {
        *failure = {QStringLiteral("Bye: no private directory"), directoryProblem_};
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
    if (directory_.isEmpty())
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
