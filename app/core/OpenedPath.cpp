#include "OpenedPath.h"

#include <QFile>

#include <sys/stat.h>

namespace Warden {

OpenedPath::OpenedPath(int fd, const QString& path)
    : path_(QFile::encodeName(path)) {
    struct stat open {};
    known_ = ::fstat(fd, &open) == 0;
    device_ = open.st_dev;
    inode_ = open.st_ino;
}

bool OpenedPath::stillNamesFile() const {
    struct stat named {};
    if (!known_ || ::stat(path_.constData(), &named) != 0)
        return false;
    return named.st_dev == device_ && named.st_ino == inode_;
}

} // namespace Warden
