#include "StatusChart.h"

#include "status/StatusModel.h"

#include <QDateTime>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>

namespace {

const QColor busColours[] = {QColor(31, 119, 180), QColor(214, 39, 40)};

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
    : QChartView(parent) {
    setRenderHint(QPainter::Antialiasing);
    setMinimumHeight(180);
    chart()->legend()->setAlignment(Qt::AlignRight);
    chart()->setMargins(QMargins(4, 4, 4, 4));
}

void StatusChart::showRow(const Warden::StatusModel& model, int row) {
    row_ = row;
    QChart* c = chart();
    c->removeAllSeries();
    for (QAbstractAxis* axis : c->axes()) {
        c->removeAxis(axis);
        delete axis;
    }
    const auto* controller = model.controllerAt(row);
    if (!controller) {
        c->setTitle(QStringLiteral("Select a controller to see its bus currents"));
        return;
    }
    c->setTitle(QStringLiteral("%1: bus currents").arg(QString::fromLatin1(controller->name)));

    std::vector<QLineSeries*> lines;
    double from = 0;
    double till = 0;
    double top = 1;
    bool any = false;
    for (int bus = 0; bus < model.busesOf(row); ++bus) {
        const std::vector<QPointF> points = model.currents(row, bus);
        if (points.empty())
            continue;
        auto* series = new QLineSeries;
        series->setName(QStringLiteral("Bus %1").arg(QLatin1Char(char('A' + bus))));
        series->setPen(QPen(busColours[bus], 2));
        for (const QPointF& p : points) {
            series->append(p);
            top = std::max(top, p.y());
        }
        from = any ? std::min(from, points.front().x()) : points.front().x();
        till = any ? std::max(till, points.back().x()) : points.back().x();
        any = true;
        lines.push_back(series);
    }
    if (!any) {
        c->setTitle(c->title() + QStringLiteral(" (no readings yet)"));
        return;
    }
    if (till - from < 60000) { // a single reading still gets a visible stretch of time
        from -= 30000;
        till += 30000;
    }
    for (int bus = 0; bus < model.busesOf(row); ++bus) {
        const auto* limits = model.limitsOf(row, bus);
        if (!limits)
            continue;
        const QChar letter(char('A' + bus));
        lines.push_back(limitLine(
            QStringLiteral("%1 over %2 A").arg(letter).arg(Warden::StatusModel::number(limits->overcurrent)),
            limits->overcurrent, from, till, busColours[bus]));
        top = std::max(top, limits->overcurrent);
        // An undercurrent limit of 0 can never be crossed: no line for it.
        if (limits->undercurrent > 0)
            lines.push_back(limitLine(QStringLiteral("%1 under %2 A")
                                          .arg(letter)
                                          .arg(Warden::StatusModel::number(limits->undercurrent)),
                                      limits->undercurrent, from, till, busColours[bus].lighter(140)));
    }

    auto* time = new QDateTimeAxis;
    time->setFormat(QStringLiteral("HH:mm"));
    time->setRange(QDateTime::fromMSecsSinceEpoch(qint64(from)),
                   QDateTime::fromMSecsSinceEpoch(qint64(till)));
    auto* amps = new QValueAxis;
    amps->setTitleText(QStringLiteral("A"));
    amps->setRange(0, top * 1.15);
    c->addAxis(time, Qt::AlignBottom);
    c->addAxis(amps, Qt::AlignLeft);
    for (QLineSeries* line : lines) {
        c->addSeries(line);
        line->attachAxis(time);
        line->attachAxis(amps);
    }
}
