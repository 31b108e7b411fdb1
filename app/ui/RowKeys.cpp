#include "RowKeys.h"

#include <QAbstractItemView>
#include <QKeyEvent>

RowKeys::RowKeys(QAbstractItemView* view)
    : QObject(view)
    , view_(view) {
    view->installEventFilter(this);
}

bool RowKeys::eventFilter(QObject* watched, QEvent* event) {
    if (watched != view_ || event->type() != QEvent::KeyPress)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const int row = view_->currentIndex().row();
    // Shift+Delete and the like stay the view's.
    const Qt::KeyboardModifiers others = key->modifiers() & ~Qt::KeyboardModifiers(Qt::KeypadModifier);
    if (row < 0 || others != Qt::NoModifier)
        return false;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F2:
        emit openRequested(row);
        return true;
    case Qt::Key_Delete:
        emit removeRequested(row);
        return true;
    default:
        return false;
    }
}
