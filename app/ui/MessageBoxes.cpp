#include "MessageBoxes.h"

namespace Warden {

QMessageBox::StandardButton questionBox(const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::Question, title, text, buttons);
    box.setWindowFlags(box.windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
    box.setObjectName(QStringLiteral("questionBox"));
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

} // namespace Warden
