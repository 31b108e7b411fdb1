#include "SettingsRange.h"

#include "core/ClockText.h"

#include <cctype>
#include <cmath>

namespace Warden::Business {

// No bus of a rack power controller carries 1000 A, so a limit beyond it is no limit anyone means. A
// price per kWh of a thousand million covers any currency in use, with room for prices beyond six
// digits.
const SettingsRange SettingsRange::overcurrent{"Overcurrent", 0, 1000, " A", true};
const SettingsRange SettingsRange::undercurrent{"Undercurrent", 0, 1000, " A", true};
const SettingsRange SettingsRange::powerFactor{"Power factor", 0, 1, ""};
const SettingsRange SettingsRange::price{"Price", 0, 1e9, ""};

namespace {

qsizetype skipDigits(const QByteArray& text, qsizetype i) {
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
        ++i;
    return i;
}

} // namespace

std::optional<double> leadingNumber(const QByteArray& text) {
    qsizetype i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    const qsizetype start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    const qsizetype intEnd = skipDigits(text, i);
    qsizetype end = intEnd;
    qsizetype digits = intEnd - i;
    if (end < text.size() && text[end] == '.') {
        const qsizetype fractionEnd = skipDigits(text, end + 1);
        digits += fractionEnd - end - 1;
        end = fractionEnd;
    }
    if (digits == 0)
        return std::nullopt;
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        qsizetype e = end + 1;
        if (e < text.size() && (text[e] == '+' || text[e] == '-'))
            ++e;
        const qsizetype exponentEnd = skipDigits(text, e);
        if (exponentEnd > e)
            end = exponentEnd;
    }
    bool ok = false;
    const double value = text.mid(start, end - start).toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<QByteArray> SettingsRange::problem(const QByteArray& text) const {
    const std::optional<double> value = leadingNumber(text);
    if (!value || (*value >= low && *value <= high))
        return std::nullopt;
    return QByteArray(what) + ' ' + formatG(*value) + unit + " is outside " + formatG(low) + " to " +
           formatG(high) + unit;
}

} // namespace Warden::Business
