#pragma once

#include <QMessageBox>
#include <QString>

namespace Warden {

// Every box the windows show: question-mark icon, no parent, fixed size, run modally. Without buttons
// the box gets the platform's OK button. Returns the button that closed it.
QMessageBox::StandardButton questionBox(const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::NoButton);

} // namespace Warden
