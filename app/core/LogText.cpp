#include "LogText.h"

#include <algorithm>
#include <limits>

namespace Warden {

namespace {

bool plain(uchar c) {
    return c >= 0x20 && c < 0x7f && c != '\\';
}

bool continuation(uchar c) {
    return (c & 0xc0) == 0x80;
}

// Length of the valid UTF-8 sequence starting at `i`, or 0. C1 controls (U+0080 to U+009F) count as
// not valid: some terminals act on them as they do on ESC.
qsizetype sequenceLength(QByteArrayView text, qsizetype i) {
    const auto at = [&](qsizetype k) { return i + k < text.size() ? uchar(text[i + k]) : uchar(0); };
    const uchar b0 = at(0);
    const uchar b1 = at(1);
    if (b0 >= 0xc2 && b0 <= 0xdf)
        return continuation(b1) && !(b0 == 0xc2 && b1 < 0xa0) ? 2 : 0;
    if (b0 >= 0xe0 && b0 <= 0xef) {
        const uchar low = b0 == 0xe0 ? 0xa0 : 0x80;
        const uchar high = b0 == 0xed ? 0x9f : 0xbf; // no surrogates
        return b1 >= low && b1 <= high && continuation(at(2)) ? 3 : 0;
    }
    if (b0 >= 0xf0 && b0 <= 0xf4) {
        const uchar low = b0 == 0xf0 ? 0x90 : 0x80;
        const uchar high = b0 == 0xf4 ? 0x8f : 0xbf; // nothing past U+10FFFF
        return b1 >= low && b1 <= high && continuation(at(2)) && continuation(at(3)) ? 4 : 0;
    }
    return 0;
}

void appendEscape(QByteArray& out, uchar c) {
    static const char hex[] = "0123456789abcdef";
    switch (c) {
    case '\n':
        out.append("\\n");
        return;
    case '\r':
        out.append("\\r");
        return;
    case '\t':
        out.append("\\t");
        return;
    case '\\':
        out.append("\\\\");
        return;
    default: {
        const char escaped[] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
        out.append(escaped, sizeof escaped);
    }
    }
}

// Escapes `text` into `out` until `out` reaches `limit` bytes; returns how many bytes of `text` went in.
qsizetype appendUntil(QByteArray& out, QByteArrayView text, qsizetype limit) {
    qsizetype i = 0;
    while (i < text.size() && out.size() < limit) {
        // Runs of ordinary text go in whole: that is nearly every byte of nearly every line.
        qsizetype run = i;
        const qsizetype budget = limit - out.size();
        const qsizetype runEnd = budget < text.size() - i ? i + budget : text.size();
        while (run < runEnd && plain(uchar(text[run])))
            ++run;
        if (run > i) {
            out.append(text.sliced(i, run - i));
            i = run;
            continue;
        }
        const uchar c = uchar(text[i]);
        if (const qsizetype n = c >= 0x80 ? sequenceLength(text, i) : 0; n > 0) {
            out.append(text.sliced(i, n));
            i += n;
        } else {
            appendEscape(out, c);
            ++i;
        }
    }
    return i;
}

} // namespace

void appendLogText(QByteArray& out, QByteArrayView text) {
    appendUntil(out, text, std::numeric_limits<qsizetype>::max());
}

QByteArray fromLogText(QByteArrayView text) {
    QByteArray out;
    out.reserve(text.size());
    const auto hexDigit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c != '\\') {
            out.append(c);
        } else if (next == 'n' || next == 'r' || next == 't' || next == '\\') {
            out.append(next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : '\\');
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hexDigit(text[i + 2]) >= 0 &&
                   hexDigit(text[i + 3]) >= 0) {
            out.append(static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3])));
            i += 3;
        } else {
            out.append(c);
        }
    }
    return out;
}

QByteArray logText(QByteArrayView text, qsizetype limit) {
    QByteArray out;
    out.reserve(std::min(text.size(), limit) + 32);
    const qsizetype taken = appendUntil(out, text, limit);
    if (taken < text.size())
        out.append(" ... [").append(QByteArray::number(text.size() - taken)).append(" bytes cut]");
    return out;
}

} // namespace Warden
