#pragma once

#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

namespace Warden::Business {

struct LogFileRead {
    // What kept the file from being read, if anything; a missing file is none (a day without events).
    std::optional<QString> problem;
    qint64 overlongLines = 0; // passed over without being held whole
};

// Hands every line of a daily log to `line`, without its line feed, in the file's order. The file is
// opened without waiting for a writer and read only when it is a regular file: a FIFO or a link to a
// device under log/ would otherwise hang the reader or feed it without end. It is read in pieces, so
// the memory taken does not grow with the file; a line longer than any event line is not held.
LogFileRead readLogLines(const QString& path, const std::function<void(QByteArrayView)>& line);

} // namespace Warden::Business
