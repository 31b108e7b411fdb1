#pragma once

#include <QByteArray>
#include <QRandomGenerator>

#include <vector>

namespace Warden::Bench {

// A pool of load-reading reason texts per bus, shared between events the way equal texts share their
// data in the program, so a store of millions of readings fits in memory.
struct ReadingTexts {
    std::vector<QByteArray> a;
    std::vector<QByteArray> b;
};

inline ReadingTexts readingTexts(QRandomGenerator& random, int count = 500) {
    ReadingTexts texts;
    for (int i = 0; i < count; ++i) {
        const double amperes = 0.5 + random.bounded(1200) / 100.0;
        const QByteArray tail = ": 230 V, " + QByteArray::number(amperes) + " A, " +
                                QByteArray::number(230 * amperes * 0.95) + " W";
        texts.a.push_back("Current loads on channel A" + tail);
        texts.b.push_back("Current loads on channel B" + tail);
    }
    return texts;
}

} // namespace Warden::Bench
