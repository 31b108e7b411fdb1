#pragma once

#include <QObject>

class QTableView;

// Keeps the first column of a table view in sight while the others scroll sideways: a second view over
// the table's left edge shows only that column, with the table's model, selection, row heights and
// vertical scrolling. Attach it once the table has its model.
class FrozenColumn final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FrozenColumn)

public:
    explicit FrozenColumn(QTableView* table);

    QTableView* view() const { return frozen_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void hideOtherColumns();
    void place();

    QTableView* table_;
    QWidget* viewport_;
    QTableView* frozen_;
};
