#include "StatusChart.h"

#include "status/LoadHistory.h"
#include "status/StatusModel.h"

#include "core/Clock.h"

#include <QButtonGroup>
#include <QEvent>
#include <QGraphicsLineItem>
#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QChartView>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>

using Warden::ChartRange;

namespace {

const QColor busColours[] = {QColor(31, 119, 180), QColor(214, 39, 40)};

QString busName(int bus) {
    return QString(QChar(char('A' + bus)));
}

QLineSeries* limitLine(const QString& name, double amps, double from, double till, const QColor& colour) {
    auto* line = new QLineSeries;
    line->setName(name);
    line->append(from, amps);
    line->append(till, amps);
    line->setPen(QPen(colour, 1.5, Qt::DashLine));
    return line;
}

} // namespace

StatusChart::StatusChart(QWidget* parent)
    : QWidget(parent)
    , view_(new QChartView(this))
    , ranges_(new QButtonGroup(this))
    , slide_(new QTimer(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("Range:"), this));
    const std::pair<ChartRange, const char*> choices[] = {
        {ChartRange::hour, "1 h"}, {ChartRange::day, "24 h"}, {ChartRange::week, "7 d"}};
    for (const auto& [range, text] : choices) {
        auto* button = new QToolButton(this);
        button->setText(QString::fromLatin1(text));
        button->setCheckable(true);
        button->setChecked(range == range_);
        button->setObjectName(QStringLiteral("chartRange") + QString::number(int(range)));
        ranges_->addButton(button, int(range));
        bar->addWidget(button);
    }
    bar->addStretch();
    layout->addLayout(bar);
    layout->addWidget(view_, 1);
    connect(ranges_, &QButtonGroup::idClicked, this, [this](int id) { setRange(ChartRange(id)); });

    view_->setRenderHint(QPainter::Antialiasing);
    view_->setMinimumHeight(180);
    view_->viewport()->setMouseTracking(true);
    view_->viewport()->installEventFilter(this);
    followPalette();
    chart()->legend()->setAlignment(Qt::AlignRight);
    chart()->setMargins(QMargins(4, 4, 4, 4));

    cursor_ = new QGraphicsLineItem(chart());
    cursor_->setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
    cursor_->setZValue(10);
    readoutBack_ = new QGraphicsRectItem(chart());
    readoutBack_->setBrush(palette().color(QPalette::ToolTipBase));
    readoutBack_->setPen(QPen(palette().color(QPalette::Mid)));
    readoutBack_->setZValue(11);
    readoutText_ = new QGraphicsSimpleTextItem(readoutBack_);
    readoutText_->setBrush(palette().color(QPalette::ToolTipText));
    hideReadout();

    // Without new readings the window still moves on with the clock.
    connect(slide_, &QTimer::timeout, this, [this] {
        if (isVisible())
            redraw();
    });
    slide_->start(60000);
}

QChart* StatusChart::chart() const {
    return view_->chart();
}

void StatusChart::setHistory(const Warden::LoadHistory* history, std::function<qint64()> bridge) {
    history_ = history;
    bridge_ = std::move(bridge);
    redraw();
}

void StatusChart::setRange(ChartRange range) {
    range_ = range;
    if (QAbstractButton* button = ranges_->button(int(range)))
        button->setChecked(true);
    redraw();
}

void StatusChart::showRow(const Warden::StatusModel& model, int row) {
    model_ = &model;
    row_ = row;
    draw();
}

void StatusChart::redraw() {
    if (model_)
        draw();
}

void StatusChart::clearChart() {
    QChart* c = chart();
    c->removeAllSeries();
    // By name, not through axes(): that lists only the axes of series, and one left would be drawn
    // again under the next.
    for (QAbstractAxis*& axis : axes_) {
        if (axis) {
            c->removeAxis(axis);
            delete axis;
            axis = nullptr;
        }
    }
}

void StatusChart::draw() {
    clearChart();
    hideReadout();
    QChart* c = chart();
    const auto* controller = model_ ? model_->controllerAt(row_) : nullptr;
    if (!controller) {
        c->setTitle(QStringLiteral("Select a controller to see its bus currents"));
        return;
    }
    c->setTitle(QStringLiteral("%1: bus currents").arg(QString::fromLatin1(controller->name)));
    const Warden::RangeShape shape = Warden::rangeShape(range_);
    till_ = Warden::Clock::now();
    from_ = till_ - shape.span;
    const qint64 bridge = bridge_ ? bridge_() : 0;

    std::vector<QLineSeries*> lines;
    // The second and later pieces of a bus's line: one legend entry per bus, however many gaps cut it.
    std::vector<QLineSeries*> unlisted;
    double highest = 0;
    bool any = false;
    for (int bus = 0; bus < model_->busesOf(row_); ++bus) {
        const auto segments = history_ ? history_->segments(controller->id, bus, range_, till_, bridge)
                                       : std::vector<Warden::LoadHistory::Segment>();
        bool named = false;
        for (const auto& segment : segments) {
            auto* series = new QLineSeries;
            series->setName(QStringLiteral("Bus ") + busName(bus));
            series->setPen(QPen(busColours[bus], 2));
            series->setColor(busColours[bus]);
            // A lone reading has no line to show it by.
            series->setPointsVisible(segment.size() == 1);
            series->setMarkerSize(6);
            for (const auto& p : segment) {
                series->append(double(p.time), p.amps);
                highest = std::max(highest, p.amps);
            }
            if (named)
                unlisted.push_back(series);
            named = true;
            lines.push_back(series);
        }
        any = any || named;
    }
    if (!any)
        c->setTitle(c->title() + QStringLiteral(" (no readings in this range)"));
    for (int bus = 0; bus < model_->busesOf(row_); ++bus) {
        const auto* limits = model_->limitsOf(row_, bus);
        if (!limits)
            continue;
        const QString letter = busName(bus);
        lines.push_back(limitLine(
            QStringLiteral("%1 over %2 A").arg(letter, Warden::StatusModel::number(limits->overcurrent)),
            limits->overcurrent, double(from_), double(till_), busColours[bus]));
        highest = std::max(highest, limits->overcurrent);
        // An undercurrent limit of 0 can never be crossed: no line for it.
        if (limits->undercurrent > 0)
            lines.push_back(limitLine(QStringLiteral("%1 under %2 A")
                                          .arg(letter, Warden::StatusModel::number(limits->undercurrent)),
                                      limits->undercurrent, double(from_), double(till_),
                                      busColours[bus].lighter(140)));
    }

    auto* time = new QCategoryAxis;
    time->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    time->setRange(double(from_), double(till_));
    time->setStartValue(double(from_));
    for (const Warden::TimeTick& tick : Warden::timeTicks(from_, till_, range_))
        time->append(tick.label, double(tick.at));
    // Room above the highest value or limit, so a line at the limit is not drawn on the frame.
    const Warden::ValueScale scale = Warden::valueScale(highest * 1.05);
    auto* amps = new QValueAxis;
    amps->setTitleText(QStringLiteral("A"));
    amps->setRange(0, scale.top);
    amps->setTickType(QValueAxis::TicksDynamic);
    amps->setTickAnchor(0);
    amps->setTickInterval(scale.step);
    amps->setLabelFormat(QStringLiteral("%.") + QString::number(scale.decimals) + QStringLiteral("f"));
    c->addAxis(time, Qt::AlignBottom);
    c->addAxis(amps, Qt::AlignLeft);
    axes_ = {time, amps};
    for (QLineSeries* line : lines) {
        c->addSeries(line);
        line->attachAxis(time);
        line->attachAxis(amps);
    }
    for (QLineSeries* line : unlisted)
        for (QLegendMarker* marker : c->legend()->markers(line))
            marker->setVisible(false);
}

void StatusChart::followPalette() {
    // The charts' own themes are light or dark whatever the desktop is: follow the window's palette.
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    chart()->setTheme(dark ? QChart::ChartThemeDark : QChart::ChartThemeLight);
    chart()->setBackgroundBrush(palette().color(QPalette::Base));
}

void StatusChart::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) {
        followPalette();
        redraw();
    }
}

bool StatusChart::eventFilter(QObject* watched, QEvent* event) {
    if (watched == view_->viewport()) {
        if (event->type() == QEvent::MouseMove)
            showReadout(static_cast<QMouseEvent*>(event)->position());
        else if (event->type() == QEvent::Leave)
            hideReadout();
    }
    return QWidget::eventFilter(watched, event);
}

QString StatusChart::readout() const {
    return readoutBack_->isVisible() ? readoutText_->text() : QString();
}

QString StatusChart::readoutText(qint64 t) const {
    QStringList lines{Warden::momentLabel(t)};
    const auto* controller = model_ ? model_->controllerAt(row_) : nullptr;
    if (!controller)
        return {};
    const qint64 bridge = bridge_ ? bridge_() : 0;
    for (int bus = 0; bus < model_->busesOf(row_); ++bus) {
        const auto span = history_ ? history_->at(controller->id, bus, range_, t, bridge) : std::nullopt;
        QString value = QStringLiteral("no reading");
        if (span && span->low == span->high)
            value = Warden::StatusModel::number(span->high) + QStringLiteral(" A");
        else if (span)
            value = QStringLiteral("%1 - %2 A")
                        .arg(Warden::StatusModel::number(span->low), Warden::StatusModel::number(span->high));
        lines << QStringLiteral("Bus %1: %2").arg(busName(bus), value);
    }
    return lines.join(QLatin1Char('\n'));
}

void StatusChart::showReadout(const QPointF& viewPos) {
    QChart* c = chart();
    const QPointF inChart = c->mapFromScene(view_->mapToScene(viewPos.toPoint()));
    const QRectF plot = c->plotArea();
    if (!model_ || !model_->controllerAt(row_) || !plot.contains(inChart) || till_ <= from_) {
        hideReadout();
        return;
    }
    const qint64 t = from_ + qint64((inChart.x() - plot.left()) / plot.width() * double(till_ - from_));
    cursor_->setLine(inChart.x(), plot.top(), inChart.x(), plot.bottom());
    cursor_->show();
    readoutText_->setText(readoutText(t));
    const QRectF text = readoutText_->boundingRect();
    readoutText_->setPos(4, 2);
    readoutBack_->setRect(0, 0, text.width() + 8, text.height() + 4);
    // Beside the cursor, on the side with room.
    const qreal x = inChart.x() + 8 + text.width() + 8 <= plot.right() ? inChart.x() + 8
                                                                       : inChart.x() - 8 - text.width() - 8;
    readoutBack_->setPos(x, plot.top() + 4);
    readoutBack_->show();
}

void StatusChart::hideReadout() {
    cursor_->hide();
    readoutBack_->hide();
}
