#pragma once

#include <QtCharts/QChartView>

namespace Warden {
class StatusModel;
}

// The Status tab's chart: the bus currents of one controller over the readings the store holds, with
// each bus's over- and under-current limits as dashed lines in the bus's colour.
class StatusChart final : public QChartView {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusChart)

public:
    explicit StatusChart(QWidget* parent = nullptr);

    // Draws the controller of `row` (none: an empty chart asking for a choice).
    void showRow(const Warden::StatusModel& model, int row);
    int shownRow() const { return row_; }

private:
    int row_ = -1;
};
