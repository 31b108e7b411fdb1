#include "ThrottledLog.h"

#include "DiagnosticLog.h"

namespace Warden {

ThrottledLog::ThrottledLog(int lines, int windowMilliseconds, QByteArray what, QObject* parent)
    : QObject(parent)
    , lines_(lines)
    , windowMs_(windowMilliseconds)
    , what_(std::move(what)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &ThrottledLog::endWindow);
}

ThrottledLog::~ThrottledLog() {
    endWindow();
}

void ThrottledLog::write(const QByteArray& line) {
    if (admit())
        DiagnosticLog::write(line);
}

bool ThrottledLog::admit() {
    // Without an event loop the timer never fires; the next line ends the window then.
    if (window_.isValid() && window_.elapsed() >= windowMs_)
        endWindow();
    if (!window_.isValid()) {
        window_.start();
        timer_.start(windowMs_);
    }
    if (written_ < lines_) {
        ++written_;
        return true;
    }
    ++dropped_;
    return false;
}

void ThrottledLog::endWindow() {
    timer_.stop();
    if (dropped_ > 0)
        DiagnosticLog::writeTimed(QByteArray::number(dropped_) + ' ' + what_ + " not logged\n");
    window_.invalidate();
    written_ = 0;
    dropped_ = 0;
}

} // namespace Warden
