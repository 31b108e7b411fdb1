#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace Warden {

// Diagnostic lines that someone else decides how often to cause, such as one per datagram from
// anybody on the network. At most `lines` of them go to app.log per window; the rest are only
// counted, and when the window ends one line "<count> <what> not logged" takes their place.
class ThrottledLog final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ThrottledLog)

public:
    ThrottledLog(int lines, int windowMilliseconds, QByteArray what, QObject* parent = nullptr);
    // Says what was left out, so a shutdown in the middle of a window loses no count.
    ~ThrottledLog() override;

    void write(const QByteArray& line);
    // Counts one line; true when it may go to the log now. Lets a caller skip building lines that
    // would be dropped.
    bool admit();
    void setWindow(int milliseconds) { windowMs_ = milliseconds; }

private:
    void endWindow();

    const int lines_;
    int windowMs_;
    const QByteArray what_;
    QTimer timer_;
    QElapsedTimer window_;
    int written_ = 0;
    qint64 dropped_ = 0;
};

} // namespace Warden
