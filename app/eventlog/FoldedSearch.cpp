#include "FoldedSearch.h"

namespace Warden {

namespace {

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

unsigned char byte(char c) {
    return static_cast<unsigned char>(c);
}

} // namespace

FoldedSearch::FoldedSearch(const QByteArray& text)
    : text_(text) {
    for (char& c : text_)
        c = fold(c);
    const qsizetype n = text_.size();
    skip_.fill(n);
    for (qsizetype i = 0; i + 1 < n; ++i)
        skip_[byte(text_[i])] = n - 1 - i;
}

bool FoldedSearch::in(QByteArrayView haystack) const {
    const qsizetype n = text_.size();
    if (n == 0)
        return true;
    const char* const text = text_.constData();
    const char* const hay = haystack.data();
    const char last = text[n - 1];
    for (qsizetype at = 0; at + n <= haystack.size();) {
        const char c = fold(hay[at + n - 1]);
        if (c == last) {
            qsizetype i = n - 2;
            while (i >= 0 && fold(hay[at + i]) == text[i])
                --i;
            if (i < 0)
                return true;
        }
        at += skip_[byte(c)];
    }
    return false;
}

} // namespace Warden
