#pragma once

#include "Records.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace Warden::Business {

class Application;

// How far back a start looks for unreported events: the longest report period (a calendar month, at
// most 31 days) and a day. A controller last reported longer ago gets the events of this span; the
// daily logs keep the rest.
inline constexpr Time restoreSpan = 32 * 86400;

struct RestoreResult {
    qint64 events = 0;
    qint64 skippedLines = 0; // lines of the files read that are no event lines
    QStringList unreadableFiles;
};

// Brings the events of `controllers` that came since each one's last report (and within restoreSpan
// of `now`) back into the store from the daily logs under `directory` (the one holding "log"), in the
// order they were written. They go neither to the daily log again nor to the event listener: they
// were written, alerted and counted when they came. An event line belongs to a controller when it
// carries its display name.
RestoreResult restoreEvents(Application& app, const QString& directory, const std::vector<Controller*>& controllers,
                            Time now);

// At start, once the settings are read: the marks of "Ampwarden.state", then the events since each
// controller's last report; a line in app.log says what came back.
void restoreAtStart(Application& app);

} // namespace Warden::Business
