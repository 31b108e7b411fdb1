#pragma once

#include <QObject>

class QAbstractItemView;

// The keyboard's way to what the mouse does with a table's rows: Enter or F2 opens the current row (as
// a double click does), Delete asks to remove it (as the Remove button does). Without a current row
// the keys do nothing; Enter then goes on to the window as before.
class RowKeys final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RowKeys)

public:
    // Watches `view`'s keys; owned by it.
    explicit RowKeys(QAbstractItemView* view);

signals:
    void openRequested(int row);
    void removeRequested(int row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAbstractItemView* view_;
};
