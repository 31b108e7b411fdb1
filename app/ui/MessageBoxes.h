#pragma once

#include <QMessageBox>
#include <QString>

namespace Warden {

// Every box the windows show: no parent, fixed size, run modally. Without buttons the box gets the
// platform's OK button; without a default button the platform picks one. Returns the button that
// closed it.
QMessageBox::StandardButton messageBox(QMessageBox::Icon icon, const QString& title, const QString& text,
                                       QMessageBox::StandardButtons buttons = QMessageBox::NoButton,
                                       QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

// The question-mark box of confirmations and refusals.
QMessageBox::StandardButton questionBox(const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::NoButton,
                                        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

} // namespace Warden
