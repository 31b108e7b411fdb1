#pragma once

#include <QBrush>
#include <QColor>
#include <QIcon>
#include <QString>

namespace Warden {

// How a Status row stands, worst first: the order of the table and of the summary.
enum class StatusCondition { over, under, failing, stale, unchecked, normal };

// The colours and marks of the conditions. Cell backgrounds are the condition's hue laid thinly over
// the palette's base, so dark palettes stay dark and their light text readable; the state icon keeps
// the full hue and a shape of its own, and stays visible under the selection's colour, which paints
// over backgrounds. Taken from the application's palette at the moment they are asked for, so a
// change of theme shows at the next repaint.
namespace StatusLook {

QColor hue(StatusCondition condition);
// The background of a cell in `condition`; none for a row not checked yet.
QBrush background(StatusCondition condition);
// The text colour of values that are old news: between the palette's text and base.
QColor greyed();
// A small mark: a triangle for a bus out of its limits, a diamond for a failed check, a ring for
// stale values, a dot for all well; none before the first check. Null without a GUI application.
// Painted anew at each call: the caller keeps it.
QIcon icon(StatusCondition condition);

} // namespace StatusLook

} // namespace Warden
