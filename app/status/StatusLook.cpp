#include "StatusLook.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>

#include <array>

#include <cmath>

namespace Warden::StatusLook {

namespace {

constexpr double tintShare = 0.3;
constexpr int iconSize = 16;

bool hasGui() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

QPalette palette() {
    return hasGui() ? QGuiApplication::palette() : QPalette(Qt::white);
}

QColor mix(const QColor& under, const QColor& over, double share) {
    const auto channel = [share](int a, int b) { return int(std::lround(a + (b - a) * share)); };
    return QColor(channel(under.red(), over.red()), channel(under.green(), over.green()),
                  channel(under.blue(), over.blue()));
}

QIcon paintIcon(StatusCondition condition) {
    QPixmap pixmap(iconSize, iconSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor colour = hue(condition);
    // A dark outline keeps the mark apart from any background, the selection's included.
    painter.setPen(QPen(colour.darker(160), 1));
    painter.setBrush(colour);
    const QRectF box(1.5, 1.5, iconSize - 3, iconSize - 3);
    switch (condition) {
    case StatusCondition::over:
    case StatusCondition::under: {
        QPainterPath triangle;
        triangle.moveTo(box.center().x(), box.top());
        triangle.lineTo(box.bottomRight());
        triangle.lineTo(box.bottomLeft());
        triangle.closeSubpath();
        painter.drawPath(triangle);
        painter.setPen(QPen(Qt::white, 2));
        painter.drawLine(QPointF(box.center().x(), box.top() + 5),
                         QPointF(box.center().x(), box.bottom() - 4));
        break;
    }
    case StatusCondition::failing: {
        QPainterPath diamond;
        diamond.moveTo(box.center().x(), box.top());
        diamond.lineTo(box.right(), box.center().y());
        diamond.lineTo(box.center().x(), box.bottom());
        diamond.lineTo(box.left(), box.center().y());
        diamond.closeSubpath();
        painter.drawPath(diamond);
        break;
    }
    case StatusCondition::stale:
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(colour, 2.5));
        painter.drawEllipse(box.adjusted(1, 1, -1, -1));
        break;
    case StatusCondition::normal:
        painter.drawEllipse(box.adjusted(1, 1, -1, -1));
        break;
    case StatusCondition::unchecked:
        break;
    }
    return QIcon(pixmap);
}

} // namespace

QColor hue(StatusCondition condition) {
    switch (condition) {
    case StatusCondition::over:
        return QColor(220, 40, 40);
    case StatusCondition::under:
        return QColor(235, 150, 0);
    case StatusCondition::failing:
        // Apart from both alarm colours: a controller that cannot be read is not an under-current.
        return QColor(150, 80, 210);
    case StatusCondition::stale:
        return QColor(128, 128, 128);
    case StatusCondition::normal:
        return QColor(40, 165, 70);
    case StatusCondition::unchecked:
        break;
    }
    return {};
}

QBrush background(StatusCondition condition) {
    if (condition == StatusCondition::unchecked)
        return {};
    return QBrush(mix(palette().color(QPalette::Base), hue(condition), tintShare));
}

QColor greyed() {
    const QPalette colours = palette();
    return mix(colours.color(QPalette::Text), colours.color(QPalette::Base), 0.45);
}

QIcon icon(StatusCondition condition) {
    if (condition == StatusCondition::unchecked || !hasGui())
        return {};
    return paintIcon(condition);
}

} // namespace Warden::StatusLook
