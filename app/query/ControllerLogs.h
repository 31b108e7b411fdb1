#pragma once

#include "core/CheckOutcome.h"

#include <QByteArray>

namespace Warden::Business {

class Application;

// What one check takes from one controller's pages at most. A controller's log table holds some
// dozens of rows and its status page one load comment per bus; a page far beyond that is broken or
// hostile, and must not cost the other controllers their checks or fill the disk with events and
// app.log lines. Rows past the budget are taken at the next checks, oldest first.
inline constexpr int logRowsPerCheck = 2000;
// Different problem lines one check writes to app.log; the same line again is only counted.
inline constexpr int problemLinesPerCheck = 50;
// The bytes of a load comment a reading keeps as its raw text. A real one holds a few dozen; the
// readings come again at every check, so a huge comment would otherwise fill the logs at every check.
inline constexpr qsizetype loadCommentKept = 1024;

// Turns the two pages of the controller `id` into events: a load reading, and an under- or over-current alarm when a limit is crossed, for every
// "<!-- RAW " comment of indexPage (none when there are more comments than the model has buses), and
// one login or other event for every row of the syslogPage log table that is newer than the rows
// already taken (the oldest logRowsPerCheck of them). Moves the controller's check time to its own clock
// before and marks its log as read after. Either page may be empty. Returns whether the pages could be
// read (a controller clock was found) and the bus currents of the configured channels.
//
// Main thread only: it changes the controller's times and the event store without a lock.
CheckOutcome getLogs(Application& app, ControllerId id, const QByteArray& indexPage, const QByteArray& syslogPage);

} // namespace Warden::Business
