#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>

namespace Warden {

// Looks for one text in many, ASCII letters of either case alike: the Event Log's search goes through
// every event of the store. Each try compares the last byte of the window first and moves on by how
// far that byte stands from the end of the text (Horspool), so a longer search text reads fewer bytes.
class FoldedSearch {
public:
    explicit FoldedSearch(const QByteArray& text);

    bool isEmpty() const { return text_.isEmpty(); }
    bool in(QByteArrayView haystack) const;

private:
    QByteArray text_; // in lower case
    std::array<qsizetype, 256> skip_{};
};

} // namespace Warden
