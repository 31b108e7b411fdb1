#pragma once

#include "status/ChartScale.h"

#include <QWidget>

#include <array>
#include <functional>

class QAbstractAxis;
class QButtonGroup;
class QChart;
class QChartView;
class QGraphicsLineItem;
class QGraphicsRectItem;
class QGraphicsSimpleTextItem;
class QTimer;

namespace Warden {
class LoadHistory;
class StatusModel;
} // namespace Warden

// The Status tab's chart: the bus currents of one controller over the last hour, day or week, with
// each bus's over- and under-current limits as dashed lines in the bus's colour. Readings that stop for
// longer than the bridge leave a gap; the mouse over the plot reads the values at that moment.
class StatusChart final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusChart)

public:
    explicit StatusChart(QWidget* parent = nullptr);

    // Where the readings come from, and the longest silence still drawn as a line (it follows the
    // check period). Until set the chart shows no readings.
    void setHistory(const Warden::LoadHistory* history, std::function<qint64()> bridge);

    // Draws the controller of `row` (none: an empty chart asking for a choice).
    void showRow(const Warden::StatusModel& model, int row);
    int shownRow() const { return row_; }
    // Draws the shown row again: new readings, or time has moved on.
    void redraw();

    Warden::ChartRange range() const { return range_; }
    void setRange(Warden::ChartRange range);
    QChart* chart() const;
    // The read-out for the moment under the mouse, empty when the mouse is off the plot.
    QString readout() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void draw();
    void followPalette();
    void clearChart();
    void showReadout(const QPointF& viewPos);
    void hideReadout();
    QString readoutText(qint64 t) const;

    QChartView* view_ = nullptr;
    // The time and the current axis of the chart drawn.
    std::array<QAbstractAxis*, 2> axes_{};
    QButtonGroup* ranges_ = nullptr;
    QTimer* slide_ = nullptr;
    QGraphicsLineItem* cursor_ = nullptr;
    QGraphicsRectItem* readoutBack_ = nullptr;
    QGraphicsSimpleTextItem* readoutText_ = nullptr;
    const Warden::LoadHistory* history_ = nullptr;
    std::function<qint64()> bridge_;
    const Warden::StatusModel* model_ = nullptr;
    int row_ = -1;
    Warden::ChartRange range_ = Warden::ChartRange::day;
    // The span drawn last, for the read-out.
    qint64 from_ = 0;
    qint64 till_ = 0;
};
