#include "ControllerClock.h"

#include "FormattedReader.h"
#include "core/Clock.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"
#include "core/LogText.h"

#include <cstdlib>
#include <ctime>
#include <limits>

namespace Warden::Business {

namespace {

constexpr qint64 allowedClockDrift = 1800;

QByteArray num(qint64 value) {
    return QByteArray::number(value);
}

QByteArray values(int h, int m, int s) {
    return num(h) + ' ' + num(m) + ' ' + num(s);
}

QByteArray values(int h, int m, int s, int y, int mo, int d) {
    return values(h, m, s) + ' ' + num(y) + ' ' + num(mo) + ' ' + num(d);
}

QByteArray brokenDown(const std::tm& tm) {
    return num(tm.tm_year) + '/' + num(tm.tm_mon) + '/' + num(tm.tm_mday) + ' ' + num(tm.tm_hour) + ':' +
           num(tm.tm_min) + ':' + num(tm.tm_sec);
}

bool sameFields(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
           a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

} // namespace

ControllerTime getTime(const QByteArray& page) {
    ControllerTime result;

    const qsizetype comment = page.indexOf("s up -->");
    if (comment < 0) {
        DiagnosticLog::writeTimed("getTime() error: cannot find \"s up -->\" in " +
                                  logText(page, pageExcerptLimit) + "\n");
        return result;
    }
    const qsizetype cell = page.lastIndexOf("<td>", comment);
    if (cell < 0) {
        DiagnosticLog::writeTimed("getTime() error: cannot find \"<td>\" in " +
                                  logText(QByteArrayView(page).first(comment), pageExcerptLimit) + "\n");
        return result;
    }
    const qsizetype start = cell + 4;
    const QByteArrayView cellText = QByteArrayView(page).sliced(start);
    const auto excerpt = [&](qsizetype length) { return logText(page.mid(start, length)); };

    FormattedReader cellReader(cellText);
    QByteArrayView word;
    cellReader.readWord(word);
    int h = -1;
    FormattedReader wordReader(word);
    wordReader.readInt(h);

    if (h < 0) {
        // A controller without a real-time clock: a label, then the time since it started.
        h = -1;
        int m = -1;
        int s = -1;
        cellReader.readInt(h);
        cellReader.skipOne();
        cellReader.readInt(m);
        cellReader.skipOne();
        cellReader.readInt(s);
        if (h >= 0 && m >= 0 && m < 60 && s >= 0 && s < 60) {
            result.uptime = qint64(h) * 3600 + qint64(m) * 60 + s;
            result.time = Clock::now();
            return result;
        }
        DiagnosticLog::writeTimed("getTime() error: incorrect parse results ( " + values(h, m, s) + " ) of " +
                                  excerpt(50) + "\n");
        return result;
    }

    int m = 0;
    int s = 0;
    int y = 0;
    int mo = 0;
    int d = 0;
    wordReader.skipOne();
    wordReader.readInt(m);
    wordReader.skipOne();
    wordReader.readInt(s);
    cellReader.readInt(y);
    cellReader.skipOne();
    cellReader.readInt(mo);
    cellReader.skipOne();
    cellReader.readInt(d);
    if (!(h < 24 && m >= 0 && m < 60 && s >= 0 && s < 60 && y != 0 && mo >= 1 && mo <= 12 && d >= 1 &&
          d <= 31)) {
        DiagnosticLog::writeTimed("getTime() error: incorrect parse results ( " + values(h, m, s, y, mo, d) +
                                  " ) of " + excerpt(30) + "\n");
        return result;
    }

    // The year is read as an int; taking 1900 off the lowest ones would overflow. Such a year
    // cannot be converted, like any other the C library cannot represent.
    const bool yearFits = y >= std::numeric_limits<int>::min() + 1900;
    std::tm source{};
    source.tm_year = yearFits ? y - 1900 : 0;
    source.tm_mon = mo - 1;
    source.tm_mday = d;
    source.tm_hour = h;
    source.tm_min = m;
    source.tm_sec = s;
    source.tm_isdst = -1;
    std::tm converted = source;
    Time controllerTime = yearFits ? static_cast<Time>(std::mktime(&converted)) : -1;
    if (controllerTime == -1) {
        DiagnosticLog::writeTimed("getTime() error: cannot create correct time from parse results ( " +
                                  values(h, m, s, y, mo, d) + " ) of " + excerpt(30) + "\n");
    } else if (const auto back = localTime(controllerTime)) {
        // Only reported: a date like February 30 or a time in a daylight-saving gap still converts,
        // and the converted time is what the controller's rows will be compared with.
        for (const std::tm* compared : {&converted, &source}) {
            if (!sameFields(*back, *compared))
                DiagnosticLog::writeTimed(
                    "getTime() error: created time doesn't satisfy source parameters: " + brokenDown(*back) +
                    " != " + brokenDown(*compared) + " (" + clockText(controllerTime) + ") of " +
                    excerpt(30) + "\n");
        }
    }

    const Time hostTime = Clock::now();
    if (std::llabs(controllerTime - hostTime) > allowedClockDrift) {
        DiagnosticLog::writeTimed("getTime() error: current controller's time " + clockText(controllerTime) +
                                  " differs more then 30 minutes from current host time " +
                                  clockText(hostTime) + ", read values ( " + values(h, m, s, y, mo, d) +
                                  " ) of " + excerpt(30) + "\n");
        controllerTime = hostTime;
    }
    result.time = controllerTime;
    return result;
}

} // namespace Warden::Business
