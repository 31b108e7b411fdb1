#pragma once

#include <QByteArray>

#include <cstring>

namespace Warden {

// The system's text for an errno value, as strerror() gives it. glibc documents strerror() as unsafe
// when threads call it at once (the mail, syslog and scheduler threads do); strerror_r() with a buffer of
// the caller's own is not.
inline QByteArray errorText(int error) {
    char buffer[256];
    // The GNU strerror_r (what glibc's C++ headers declare) may return its own static text instead of
    // filling the buffer.
    return QByteArray(strerror_r(error, buffer, sizeof buffer));
}

} // namespace Warden
