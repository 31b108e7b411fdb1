#include "StatusSummary.h"

#include <QStringList>

namespace Warden::StatusSummary {

namespace {

QStringList parts(const StatusModel::Counts& counts, bool withZeros) {
    QStringList shown;
    const std::pair<int, const char*> all[] = {
        {counts.inAlarm, "in alarm"}, {counts.noAnswer, "no answer"}, {counts.stale, "stale"}};
    for (const auto& [count, words] : all) {
        if (withZeros || count != 0)
            shown << QStringLiteral("%1 %2").arg(count).arg(QLatin1String(words));
    }
    return shown;
}

} // namespace

QString line(const StatusModel::Counts& counts) {
    if (counts.controllers == 0)
        return {};
    const QString what = counts.controllers == 1 ? QStringLiteral("1 controller")
                                                 : QStringLiteral("%1 controllers").arg(counts.controllers);
    return what + QStringLiteral(": ") + parts(counts, true).join(QStringLiteral(", "));
}

QString title(const StatusModel::Counts& counts) {
    return parts(counts, false).join(QStringLiteral(", "));
}

StatusCondition worst(const StatusModel::Counts& counts) {
    if (counts.inAlarm != 0)
        return StatusCondition::over;
    if (counts.noAnswer != 0)
        return StatusCondition::failing;
    if (counts.stale != 0)
        return StatusCondition::stale;
    return counts.controllers == 0 ? StatusCondition::unchecked : StatusCondition::normal;
}

} // namespace Warden::StatusSummary
