#include "ui/FrozenColumn.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>

class tst_FrozenColumn : public QObject {
    Q_OBJECT

private slots:
    void scrolling_keepsTheNamesBesideTheirRows();
};

void tst_FrozenColumn::scrolling_keepsTheNamesBesideTheirRows() {
    QStandardItemModel model(60, 15);
    for (int r = 0; r < model.rowCount(); ++r)
        for (int c = 0; c < model.columnCount(); ++c)
            model.setItem(r, c, new QStandardItem(QStringLiteral("%1/%2").arg(r).arg(c)));
    QTableView table;
    table.setModel(&model);
    table.setSelectionBehavior(QAbstractItemView::SelectRows);
    table.resize(400, 250);
    const FrozenColumn frozen(&table);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));

    table.horizontalScrollBar()->setValue(table.horizontalScrollBar()->maximum());
    table.verticalScrollBar()->setValue(table.verticalScrollBar()->maximum() / 2);
    table.setColumnWidth(0, 140);
    QTableView* names = frozen.view();
    QVERIFY(names->isVisible());
    QCOMPARE(names->verticalScrollBar()->value(), table.verticalScrollBar()->value());
    QCOMPARE(names->columnWidth(0), 140);
    QVERIFY(names->width() >= 140 && names->x() <= table.frameWidth() + table.verticalHeader()->width());
    // The name beside a row is that row's name.
    const int row = table.rowAt(table.viewport()->height() / 2);
    QCOMPARE(names->rowAt(table.viewport()->height() / 2), row);
    QVERIFY(table.columnViewportPosition(0) < 0); // the table's own name column has scrolled away

    // A click on a name selects its row in the table.
    const QRect cell = names->visualRect(model.index(row, 0));
    QTest::mouseClick(names->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(table.selectionModel()->selectedRows(), QModelIndexList{model.index(row, 0)});
}

QTEST_MAIN(tst_FrozenColumn)
#include "tst_FrozenColumn.moc"
