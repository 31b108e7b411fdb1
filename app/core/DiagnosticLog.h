#pragma once

#include <QByteArray>
#include <QString>

namespace Warden {

// "app.log": the diagnostic lines of every subsystem, appended and flushed line by line. Writes come
// from the main thread, the scheduler and the mail worker, so each write is serialised. When the file
// cannot be opened the program goes on without a diagnostic log. When it is moved or deleted
// (logrotate), the next line opens a new one at the path.
class DiagnosticLog {
public:
    static constexpr const char* defaultFileName = "app.log";

    // Opens (or re-opens) the log for appending and writes the start-up banner.
    static bool open(const QString& path = QString::fromLatin1(defaultFileName));
    static void close();
    static bool isOpen();

    static void write(const QByteArray& text);
    // The clock text of now, ": " and the text: the form of the main window's lines.
    static void writeTimed(const QByteArray& text);
    // Also to the debug output, for the errors that go both ways.
    static void writeAndDebug(const QByteArray& text);

    static QByteArray banner(qint64 now);
};

} // namespace Warden
