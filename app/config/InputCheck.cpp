#include "InputCheck.h"

#include "SettingsRange.h"

#include "core/ClockText.h"

#include <cmath>

namespace Warden::Business {

namespace {

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

// The whole text must be the number: the file's reader takes "0,5" as 0 and "abc" as its default,
// which is never what the user meant.
std::optional<double> wholeNumber(const QByteArray& bytes) {
    bool ok = false;
    const double value = bytes.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

struct Limit {
    const SettingsRange& range;
    const char* missing;
};

// The problem of one current limit, or its value.
std::optional<QString> limitProblem(const QByteArray& bytes, const Limit& limit, double* value) {
    const QString what = QString::fromLatin1(limit.range.what);
    if (bytes.trimmed().isEmpty())
        return what + QStringLiteral(" is missing: ") + QString::fromLatin1(limit.missing);
    const std::optional<double> number = wholeNumber(bytes);
    if (!number)
        return what + QStringLiteral(" \"") + text(bytes) +
               QStringLiteral("\" is not a number. Write decimals with a point, as in 0.5.");
    if (const std::optional<QByteArray> outside = limit.range.problem(bytes))
        return text(*outside);
    *value = *number;
    return std::nullopt;
}

QString amps(double value) {
    return text(formatG(value)) + QStringLiteral(" A");
}

InputProblem controllerRefusal(bool isNew, const QString& text, int field) {
    return {isNew ? QStringLiteral("Cannot save new controller") : QStringLiteral("Cannot save controller"),
            text, field};
}

} // namespace

std::optional<InputProblem> channelProblem(const QList<QByteArray>& channel) {
    const QString title = QStringLiteral("Cannot save channel");
    double over = 0;
    double under = 0;
    if (auto problem =
            limitProblem(channel.value(1),
                         {SettingsRange::overcurrent, "the current above which the bus is in alarm."}, &over))
        return InputProblem{title, *problem, 1};
    if (auto problem = limitProblem(
            channel.value(2),
            {SettingsRange::undercurrent, "the current below which the bus is in alarm (0 for none)."},
            &under))
        return InputProblem{title, *problem, 2};
    if (under >= over)
        return InputProblem{title,
                            QStringLiteral("Undercurrent ") + amps(under) +
                                QStringLiteral(" is not below overcurrent ") + amps(over) + QLatin1Char('.'),
                            2};
    const QByteArray pf = channel.value(3);
    if (pf.trimmed().isEmpty())
        return InputProblem{title, QStringLiteral("Power factor is missing (1 when not known)."), 3};
    const std::optional<double> factor = wholeNumber(pf);
    if (!factor)
        return InputProblem{
            title,
            QStringLiteral("Power factor \"") + text(pf) +
                QStringLiteral("\" is not a number. Write decimals with a point, as in 0.95."),
            3};
    // A factor of 0 turns every reading into 0 W: the bill and the histograms would show nothing.
    if (*factor <= 0 || *factor > 1)
        return InputProblem{title,
                            QStringLiteral("Power factor must be above 0 and at most 1, not ") +
                                text(formatG(*factor)) + QLatin1Char('.'),
                            3};
    return std::nullopt;
}

std::optional<InputProblem> controllerProblem(const QList<QByteArray>& values, const QStringList& otherNames,
                                              bool isNew) {
    const QByteArray name = values.value(0);
    if (name.trimmed().isEmpty())
        return controllerRefusal(isNew, QStringLiteral("The controller needs a name."), 0);
    if (otherNames.contains(text(name), Qt::CaseSensitive))
        return controllerRefusal(isNew,
                                 QStringLiteral("Controller named ") + text(name) +
                                     QStringLiteral(" already exists. Controller name has to be unique to "
                                                    "differ controllers from each other. Please, rename "
                                                    "controller before saving it"),
                                 0);
    if (values.value(1).isEmpty())
        return controllerRefusal(isNew, QStringLiteral("The controller needs a type: choose its model."), 1);
    if (values.value(2).trimmed().isEmpty())
        return controllerRefusal(
            isNew, QStringLiteral("The controller needs a host: its name or address in the network."), 2);
    for (qsizetype first = 6; first < values.size(); first += 4) {
        const QList<QByteArray> channel = values.mid(first, 4);
        const std::optional<InputProblem> problem = channelProblem(channel);
        if (!problem)
            continue;
        const QString bus = channel.value(0).isEmpty() ? QStringLiteral("The channel")
                                                       : QStringLiteral("Channel ") + text(channel.value(0));
        return controllerRefusal(isNew,
                                 bus + QStringLiteral(": ") + problem->text +
                                     QStringLiteral("\nDouble-click the channel, or select it and press "
                                                    "Enter, to set its limits."),
                                 static_cast<int>(first) + problem->field);
    }
    return std::nullopt;
}

} // namespace Warden::Business
