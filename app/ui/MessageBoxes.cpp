#include "MessageBoxes.h"

namespace Warden {

QMessageBox::StandardButton messageBox(QMessageBox::Icon icon, const QString& title, const QString& text,
                                       QMessageBox::StandardButtons buttons,
                                       QMessageBox::StandardButton defaultButton) {
    QMessageBox box(icon, title, text, buttons);
    box.setWindowFlags(box.windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
    box.setObjectName(QStringLiteral("questionBox"));
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QMessageBox::StandardButton questionBox(const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) {
    return messageBox(QMessageBox::Question, title, text, buttons, defaultButton);
}

} // namespace Warden
