// Draws the histograms of a daily, a weekly and a monthly report of one made-up controller, and of a
// first daily report after a start in the afternoon, and saves them as PNG files, to look at what the
// report mails carry.
//
//   histogram_shots [output directory]
#include "core/ClockText.h"
#include "core/EventStore.h"
#include "energy/Energy.h"
#include "energy/Histogram.h"
#include "energy/ReadingWindow.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>

#include <cmath>
#include <cstdio>
#include <ctime>

using namespace Warden::Business;

namespace {

Time localMidnight(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

QByteArray loadText(const char* channel, double watts) {
    return QByteArray("Current loads on channel ") + channel + ": 230 V, " + QByteArray::number(watts / 230) +
           " A, " + QByteArray::number(watts) + " W";
}

// A rack that draws more by day than by night, bus B idle on the first days of the month.
void addReadings(EventStore& store, const Controller& controller, Time from, Time till) {
    for (Time t = from; t <= till; t += 600) {
        const Time hourOfDay = t % 86400 / 3600;
        const double hour = static_cast<double>(hourOfDay);
        const double a = 400 + 250 * std::sin((hour - 6) * M_PI / 12);
        const double b = (till - t) > 25 * 86400 ? 0 : 150 + 20 * static_cast<double>((t / 86400) % 7);
        store.insert(Event{"", t, EventKind::values, Transport::http, loadText("A", a), "", controller.id});
        store.insert(Event{"", t, EventKind::values, Transport::http, loadText("B", b), "", controller.id});
    }
}

bool save(const QDir& dir, const QString& name, const QByteArray& base64) {
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray::fromBase64(base64)) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        return false;
    }
    std::printf("%s\n", qPrintable(file.fileName()));
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    // The pictures need the readings alone, not a state that would write its files here.
    EventStore store;
    const Controller controller("rack-7", 0, "10.1.0.7", 8080, "admin", "");
    const Time till = localMidnight(2026, 12, 1);
    addReadings(store, controller, till - 32 * 86400, till + 3600);

    // A monthly report covers the calendar month before it; the first report after the start covers
    // only the hours since then.
    struct Shot {
        const char* name;
        quint32 unit;
        Time from;
    };
    const Shot shots[] = {{"daily", 86400, till - 86400},
                          {"weekly", 604800, till - 604800},
                          {"monthly", 2592000, localMidnight(2026, 11, 1)},
                          {"first_daily", 86400, till - 30873}};
    bool ok = true;
    for (const Shot& shot : shots) {
        ReportSettings settings;
        settings.reportEveryUnit = shot.unit;
        settings.reportEveryUnits = 1;
        const HistogramLayout layout = histogramLayout(settings, shot.from, till);
        const ChannelEnergies energies = getEnergy(store, controller, shot.from, till);
        const ReadingWindow readings(controller, shot.from, till, store);
        const QString base = QString::fromLatin1(shot.name);
        ok &= save(out, base + QStringLiteral("_A.png"),
                   createPngImage(controller, "A", layout, energies.a, readings));
        ok &= save(out, base + QStringLiteral("_B.png"),
                   createPngImage(controller, "B", layout, energies.b, readings));
        ok &= save(out, base + QStringLiteral("_total.png"),
                   createPngImage(controller, "", layout, energies.total(), readings));
    }
    return ok ? 0 : 1;
}
