#include "TestSupport.h"

#include "core/Clock.h"
#include "core/DiagnosticLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTimeZone>

#include <ctime>

namespace Warden::Test {

ScopedWorkDir::ScopedWorkDir() : previous_(QDir::currentPath()) {
    QDir::setCurrent(dir_.path());
    DiagnosticLog::open();
}

ScopedWorkDir::~ScopedWorkDir() {
    DiagnosticLog::close();
    QDir::setCurrent(previous_);
}

ManualClock::ManualClock(qint64 start) : now_(start) {
    Clock::setSource([this] { return now_; });
}

ManualClock::~ManualClock() { Clock::setSource({}); }

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QByteArray appLog() { return readFile(QStringLiteral("app.log")); }

qint64 localSeconds(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return static_cast<qint64>(std::mktime(&tm));
}

qint64 utcSeconds(int year, int month, int day, int hour, int minute, int second) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), QTimeZone::utc()).toSecsSinceEpoch();
}

} // namespace Warden::Test
