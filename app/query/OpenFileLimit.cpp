#include "OpenFileLimit.h"

#include "core/DiagnosticLog.h"
#include "core/ErrorText.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <sys/resource.h>

namespace Warden {

bool raiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        DiagnosticLog::write(QByteArray("raiseOpenFileLimit(): getrlimit failed: ") + errorText(errno) +
                             "\n");
        return false;
    }
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        DiagnosticLog::write(QByteArray("raiseOpenFileLimit(): setrlimit failed: ") + errorText(errno) +
                             "\n");
        return false;
    }
    return true;
}

} // namespace Warden
