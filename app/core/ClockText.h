#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <ctime>
#include <optional>

namespace Warden {

// The C library's local calendar time of t, or nothing when it cannot be computed.
std::optional<std::tm> localTime(qint64 t);

// asctime() of the local time cut at the first line end, e.g. "Sun Dec  6 16:31:11 2026".
// The form every log line, table and report shows.
QByteArray clockText(qint64 t);

// ctime() of t with its trailing line feed, as the report heading uses it.
QByteArray ctimeText(qint64 t);

// printf's %g: six significant digits, the general format the files and messages use.
QByteArray formatG(double value);

} // namespace Warden
