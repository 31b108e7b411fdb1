#include "Histogram.h"

#include "Energy.h"
#include "EnergyLog.h"
#include "ReadingWindow.h"
#include "core/ClockText.h"
#include "core/DiagnosticLog.h"

#include <QBuffer>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

namespace Warden::Business {

namespace {

constexpr int plotWidth = plotRight - plotLeft;
constexpr int plotHeight = plotAxis - plotTop;
constexpr int titleFlags = Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextWordWrap;
constexpr int gridLabelFlags = Qt::AlignRight | Qt::AlignVCenter;
constexpr int centredFlags = Qt::AlignCenter;

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

// Sets the font to the size at which `label` fills `factor` of `box`, measured at 12 point, and
// returns where the text then lies. Grows as well as shrinks.
QRect fitFont(QPainter& painter, QFont font, const QRect& box, int flags, const QString& label,
              double factor) {
    font.setPointSize(12);
    painter.setFont(font);
    const QRect measured = painter.boundingRect(box, flags, label);
    if (measured.width() > 0 && measured.height() > 0) {
        const double scale = std::min(static_cast<double>(box.width()) / measured.width(),
                                      static_cast<double>(box.height()) / measured.height());
        // A point size below 1 is refused by QFont; such a label is unreadable either way.
        font.setPointSize(std::max(1, static_cast<int>(scale * factor * 12)));
        painter.setFont(font);
    }
    return painter.boundingRect(box, flags, label);
}

QByteArray fixedText(double value, int decimals) {
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return QByteArray(buffer, std::clamp(n, 0, static_cast<int>(sizeof buffer) - 1));
}

// "Dec  6 16:00:00": the clock text without weekday and year.
QByteArray barTime(Time t) {
    return clockText(t).mid(4).left(15);
}

struct Bar {
    Time start = 0;
    Time end = 0;
    ChannelEnergies energies;
};

double drawnValue(const ChannelEnergies& energies, const QByteArray& channel) {
    if (channel == "A")
        return energies.a;
    if (channel == "B")
        return energies.b;
    return energies.total();
}

// The bars are drawn from the window and the bill is computed for the whole period: a sum that
// disagrees points at bars that miss part of the period or count a part twice.
void checkBarSum(const std::vector<Bar>& bars, const QByteArray& channel, double energy) {
    double sum = 0;
    for (const Bar& bar : bars)
        sum += drawnValue(bar.energies, channel);
    if (energiesDiffer(sum, energy)) {
        DiagnosticLog::writeAndDebug("Total energy error: " + formatG(sum) + " kWH != " + formatG(energy) +
                                     " kWH (" + formatG(sum - energy) + ")\n");
    }
}

// A month has up to 31 days, and a report that comes late may add a shorter bar; more bars than that
// leave no room for their labels.
constexpr Time maxBars = 32;

Time ceilDiv(Time numerator, Time denominator) {
    return (numerator + denominator - 1) / denominator;
}

// Closes the edges with `till`. A rest this much shorter than a bar is a report moment passed a few
// seconds late: it joins the bar before it instead of standing beside it as a sliver.
void closeEdges(std::vector<Time>& edges, Time till, Time step) {
    if (edges.size() > 1 && (till - edges.back()) * 60 < step)
        edges.pop_back();
    edges.push_back(till);
}

std::vector<Time> fixedEdges(Time from, Time till, Time step) {
    step = std::max<Time>(step, 1);
    const Time bars = ceilDiv(till - from, step);
    if (bars > maxBars)
        step *= ceilDiv(bars, maxBars);
    std::vector<Time> edges{from};
    for (Time t = from + step; t < till; t += step)
        edges.push_back(t);
    closeEdges(edges, till, step);
    return edges;
}

// `days` calendar days to a bar, each starting at the local time of day of `from`: the day daylight
// saving time begins or ends is a bar of 23 or 25 hours, as the user's calendar has it.
std::vector<Time> localDayEdges(Time from, Time till, int days) {
    const std::optional<std::tm> start = localTime(from);
    if (!start)
        return fixedEdges(from, till, days * Time{86400});
    std::vector<Time> edges{from};
    for (int k = days;; k += days) {
        std::tm tm = *start;
        tm.tm_mday += k;
        tm.tm_isdst = -1;
        const Time t = std::mktime(&tm);
        if (t <= edges.back() || t >= till)
            break;
        edges.push_back(t);
    }
    closeEdges(edges, till, days * Time{86400});
    return edges;
}

} // namespace

HistogramLayout histogramLayout(const ReportSettings& settings, Time from, Time till) {
    till = std::max(till, from);
    const Time period = settings.reportPeriod();
    switch (settings.reportEveryUnit) {
    case 60:
    case 3600:
        return {fixedEdges(from, till, ceilDiv(period, 30))};
    case 86400:
        return {fixedEdges(from, till, ceilDiv(period, 24))};
    case 604800:
        // Five weeks and more are capped to a month, which seven bars do not divide: whole days still.
        return {fixedEdges(from, till, ceilDiv(period, 7 * 86400) * 86400)};
    case ReportSettings::monthPeriod: {
        std::vector<Time> edges = localDayEdges(from, till, 1);
        const Time days = static_cast<Time>(edges.size()) - 1;
        if (days > maxBars)
            edges = localDayEdges(from, till, static_cast<int>(ceilDiv(days, maxBars)));
        return {edges};
    }
    default:
        return {fixedEdges(from, till, ceilDiv(till - from, 10))};
    }
}

BarGeometry barGeometry(int bars) {
    BarGeometry geometry;
    geometry.slot = plotWidth / bars;
    geometry.width = 3200 / (6 * bars);
    geometry.x0 = plotLeft + (geometry.slot - geometry.width) / 2;
    return geometry;
}

namespace {

// Without two edges there is no period; one empty bar is the nearest picture that makes sense.
std::vector<Time> drawnEdges(const HistogramLayout& layout) {
    std::vector<Time> edges = layout.edges;
    if (edges.empty())
        edges.push_back(0);
    if (edges.size() < 2)
        edges.push_back(edges.front());
    return edges;
}

QByteArray drawHistogram(const Controller& controller, const QByteArray& channel,
                         const std::vector<Time>& edges, double energy, const ReadingWindow& window) {
    const Time from = edges.front();
    const Time till = edges.back();
    const int bars = static_cast<int>(edges.size()) - 1;
    const BarGeometry geometry = barGeometry(bars);

    QImage image(histogramWidth, histogramHeight, QImage::Format_RGB888);
    QPainter painter(&image);
    painter.fillRect(QRect(0, 0, histogramWidth, histogramHeight), QBrush(Qt::white, Qt::SolidPattern));
    painter.setPen(QPen(Qt::black));
    painter.drawRect(QRect(0, 0, histogramWidth - 1, histogramHeight - 1));
    painter.setPen(QPen(Qt::gray));
    painter.drawLine(plotLeft, plotTop, plotLeft, plotAxis);
    painter.drawLine(plotLeft, plotAxis, plotRight, plotAxis);

    QByteArray title = "Power Histogram\nfor ";
    if (!channel.isEmpty())
        title += "channel " + channel + " of ";
    title +=
        "controller " + controller.displayName() + "\nfrom " + clockText(from) + " till " + clockText(till);
    QFont titleFont;
    titleFont.setStyleHint(QFont::SansSerif);
    titleFont.setWeight(QFont::Bold);
    const QRect titleBox(0, 0, histogramWidth, plotTop);
    const QRect titleRect = fitFont(painter, titleFont, titleBox, titleFlags, text(title), 0.95);
    const QByteArray corners =
        "(" + QByteArray::number(titleRect.left()) + ", " + QByteArray::number(titleRect.top()) + ", " +
        QByteArray::number(titleRect.right()) + ", " + QByteArray::number(titleRect.bottom()) + ")";
    qCDebug(lcEnergy).noquote() << "800 x 105 --> " + text(corners);
    if (titleRect.left() < 0 || titleRect.top() < 0 || titleRect.right() > histogramWidth ||
        titleRect.bottom() > plotTop) {
        DiagnosticLog::writeAndDebug("createPngImage(): title rect " + corners +
                                     " is out of (0, 0, 800, 105)\n");
    }
    painter.setPen(QPen(Qt::black));
    painter.drawText(titleBox, titleFlags, text(title));

    std::vector<Bar> barList(static_cast<std::size_t>(bars));
    double max = 0;
    for (std::size_t i = 0; i < barList.size(); ++i) {
        Bar& bar = barList[i];
        bar.start = edges[i];
        bar.end = edges[i + 1];
        bar.energies = window.energy(bar.start, bar.end);
        max = std::max(max, bar.energies.total());
    }
    checkBarSum(barList, channel, energy);
    max = std::max(max, 1e-6);

    QFont labelFont;
    labelFont.setStyleHint(QFont::SansSerif);
    labelFont.setWeight(QFont::Normal);
    const int decimals = static_cast<int>(2 - std::floor(std::log10(max)));
    for (int k = 0; k <= 10; ++k) {
        const int y = plotTop + plotHeight / 10 * k;
        painter.setPen(QPen(Qt::gray, 0, Qt::DashLine));
        painter.drawLine(plotLeft, y, plotRight, y);
        const double value = max - (y - plotTop) * max / plotHeight;
        const QRect box(40, y - 11, 80, 22);
        const QString label = text(fixedText(value, decimals < 0 ? 6 : decimals));
        fitFont(painter, labelFont, box, gridLabelFlags, label, 0.95);
        painter.setPen(QPen(Qt::black));
        painter.drawText(box, gridLabelFlags, label);
    }

    QFont unitFont = titleFont;
    painter.rotate(-90);
    const QRect unitBox(-plotAxis, 0, plotHeight, 40);
    fitFont(painter, unitFont, unitBox, centredFlags, QStringLiteral("kWH"), 0.7);
    painter.drawText(unitBox, centredFlags, QStringLiteral("kWH"));
    painter.rotate(90);

    const QBrush brush(channel == "A" ? Qt::blue : channel == "B" ? Qt::green : Qt::red, Qt::SolidPattern);
    for (int i = 0; i < bars; ++i) {
        const Bar& bar = barList[static_cast<std::size_t>(i)];
        const int x = geometry.x0 + i * geometry.slot;
        const int h = static_cast<int>(drawnValue(bar.energies, channel) * plotHeight / max);
        painter.setPen(QPen(Qt::black));
        painter.setBrush(brush);
        if (h > 0)
            painter.drawRect(x, plotAxis - h, geometry.width - 1, h);
        const QString label = text(barTime(bar.start) + " - " + barTime(bar.end));
        painter.rotate(-90);
        const QRect labelBox(-histogramHeight, x, histogramHeight - plotAxis, geometry.width);
        fitFont(painter, labelFont, labelBox, centredFlags, label, 0.99);
        painter.drawText(labelBox, centredFlags, label);
        painter.rotate(90);
    }
    painter.end();

    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "png");
    return png.toBase64();
}

} // namespace

QByteArray createPngImage(const Controller& controller, const QByteArray& channel,
                          const HistogramLayout& layout, double energy, const ReadingWindow& readings) {
    return drawHistogram(controller, channel, drawnEdges(layout), energy, readings);
}

} // namespace Warden::Business
