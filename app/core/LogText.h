#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace Warden {

// Text that came from the network (datagrams, page rows, HTTP reason phrases) as it goes into a log
// file. Line ends, terminal controls and bytes that are not UTF-8 are escaped ("\n", "\r", "\t",
// "\xNN"), so one datagram or row is always one line and whoever reads the log with cat sees what
// came instead of what it asks the terminal to do. The backslash itself becomes "\\", so the escapes
// cannot be forged and the original bytes can be read back. Printable ASCII and valid UTF-8 are
// written unchanged.
void appendLogText(QByteArray& out, QByteArrayView text);
// The bytes that appendLogText() escaped, as they came; an escape it cannot have written stays as it is.
QByteArray fromLogText(QByteArrayView text);

// What one log line may carry of a sender's text: a flood of large datagrams must not turn into a
// flood of disk.
inline constexpr qsizetype logTextLimit = 2048;
// Enough of a page to recognise it in an error line.
inline constexpr qsizetype pageExcerptLimit = 300;

// The escaped text, cut once it reaches `limit` bytes and then followed by " ... [N bytes cut]"
// (N counts the sender's bytes left out).
QByteArray logText(QByteArrayView text, qsizetype limit = logTextLimit);

} // namespace Warden
