#include "StallProbe.h"

#include <QDateTime>

#include <cstdio>

namespace Warden {

std::unique_ptr<StallProbe> StallProbe::fromEnvironment() {
    bool ok = false;
    const int from = qEnvironmentVariableIntValue(environmentVariable, &ok);
    if (!ok || from < 0)
        return nullptr;
    return std::make_unique<StallProbe>(from);
}

StallProbe::StallProbe(int reportFromMs, QObject* parent)
    : QObject(parent)
    , reportFromMs_(reportFromMs) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &StallProbe::tick);
    timer_.start(intervalMs);
    since_.start();
}

void StallProbe::tick() {
    const qint64 stall = since_.restart() - intervalMs;
    if (stall >= reportFromMs_) {
        std::fprintf(stderr, "event loop stall: %lld ms, ended at %lld\n", static_cast<long long>(stall),
                     static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
        std::fflush(stderr);
    }
}

} // namespace Warden
