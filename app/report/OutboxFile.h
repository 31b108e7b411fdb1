#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <optional>

namespace Warden {

// The outbox's files as the system sees them: never through a symbolic link, only regular files of
// this user, and each written whole or not at all. Failures come back as the system's reason.
namespace OutboxFile {

struct Read {
    std::optional<QByteArray> data;
    // Why there is no data.
    QString problem;
    // The entry is something else than a regular file of this user (a link, a FIFO, another user's
    // file): it is left where it is.
    bool refused = false;
};

enum class Existing {
    replace, // the path is the mail's own file, rewritten
    keep,    // the path must be new: whatever already has that name stays and the write fails
};

Read read(const QString& path);
// A temporary file beside `path` (created anew, owner-only), written, synced to the disk and its size
// checked before it takes the name; nothing is left behind when a step fails. Empty when written,
// else the system's reason.
QString write(const QString& path, const QByteArray& data, Existing existing);
// Moves `from` to the new name `to`, never over an existing entry. Empty when moved, else the reason.
QString move(const QString& from, const QString& to);
// The temporary files of writes that a killed program left in `directory`. Only while none runs.
void removeLeftovers(const QString& directory);
// Whether anything has that name, a dangling link included.
bool taken(const QString& path);

// The calls that put a file's bytes on the disk. Tests replace them to fail the way a full disk
// does where the system notices only at the sync (delayed allocation, quotas, network file systems)
// or where a write claims more than it wrote.
struct DiskCalls {
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*fsync)(int fd);
};
DiskCalls& diskCalls();

} // namespace OutboxFile

} // namespace Warden
