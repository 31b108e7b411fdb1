#pragma once

#include <QByteArray>
#include <QString>

namespace Warden {

// An open log file and the path it was opened at, compared before each write: once the file was
// moved, deleted or replaced (log rotation, a clean-up job), the path names another file or none. The
// file's identity is taken when it is opened, so a comparison is one stat of the path.
class OpenedPath {
public:
    OpenedPath() = default;
    OpenedPath(int fd, const QString& path);

    bool stillNamesFile() const;

private:
    QByteArray path_;
    quint64 device_ = 0;
    quint64 inode_ = 0;
    bool known_ = false;
};

} // namespace Warden
