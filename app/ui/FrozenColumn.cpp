#include "FrozenColumn.h"

#include <QEvent>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>

FrozenColumn::FrozenColumn(QTableView* table)
    : QObject(table)
    , table_(table)
    , viewport_(table->viewport())
    , frozen_(new QTableView(table)) {
    frozen_->setObjectName(table->objectName() + QStringLiteral("Frozen"));
    frozen_->setModel(table->model());
    frozen_->setSelectionModel(table->selectionModel());
    frozen_->setSelectionBehavior(table->selectionBehavior());
    frozen_->setSelectionMode(table->selectionMode());
    frozen_->setEditTriggers(table->editTriggers());
    frozen_->setWordWrap(table->wordWrap());
    frozen_->setFocusPolicy(Qt::NoFocus);
    frozen_->verticalHeader()->hide();
    frozen_->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    frozen_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    frozen_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Its own grid line on the right (the view is a pixel wider than the column) marks where the
    // scrolling columns pass under it. No style sheet: one fixes the palette at polish time, and a change
    // of the desktop's theme would leave the column in the old colours.
    frozen_->setFrameShape(QFrame::NoFrame);
    // Pixel scrolling on both, so the two views always show the same part of a row.
    table->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    table->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    frozen_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    hideOtherColumns();
    frozen_->setColumnWidth(0, table->columnWidth(0));

    connect(table->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int section, int, int size) {
                if (section == 0) {
                    frozen_->setColumnWidth(0, size);
                    place();
                }
            });
    connect(table->verticalHeader(), &QHeaderView::sectionResized, frozen_,
            [this](int section, int, int size) { frozen_->setRowHeight(section, size); });
    connect(table->verticalScrollBar(), &QScrollBar::valueChanged, frozen_->verticalScrollBar(),
            &QScrollBar::setValue);
    connect(frozen_->verticalScrollBar(), &QScrollBar::valueChanged, table->verticalScrollBar(),
            &QScrollBar::setValue);
    // What a click or Enter on the name does on the table, it does here too.
    connect(frozen_, &QTableView::doubleClicked, table, &QTableView::doubleClicked);
    connect(frozen_, &QTableView::activated, table, &QTableView::activated);
    connect(table->model(), &QAbstractItemModel::modelReset, this, &FrozenColumn::hideOtherColumns);
    connect(table->model(), &QAbstractItemModel::columnsInserted, this, &FrozenColumn::hideOtherColumns);
    // The viewport's size settles after the table's own resize.
    viewport_->installEventFilter(this);
    place();
    frozen_->show();
}

void FrozenColumn::hideOtherColumns() {
    const int columns = frozen_->model() ? frozen_->model()->columnCount() : 0;
    for (int c = 1; c < columns; ++c)
        frozen_->setColumnHidden(c, true);
}

void FrozenColumn::place() {
    const int frame = table_->frameWidth();
    const int left = frame + (table_->verticalHeader()->isVisible() ? table_->verticalHeader()->width() : 0);
    frozen_->setGeometry(left, frame, table_->columnWidth(0) + 1,
                         table_->viewport()->height() + table_->horizontalHeader()->height());
}

bool FrozenColumn::eventFilter(QObject* watched, QEvent* event) {
    // Compared with the viewport kept at the start: while the table is destroyed its viewport still
    // sends events here, and the table is no longer a scroll area to ask for it.
    if (watched == viewport_ && event->type() == QEvent::Resize)
        place();
    return QObject::eventFilter(watched, event);
}
