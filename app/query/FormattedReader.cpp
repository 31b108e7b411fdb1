#include "FormattedReader.h"

#include <limits>

namespace Warden::Business {

void FormattedReader::skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_]))
        ++pos_;
}

bool FormattedReader::readInt(int& value) {
    if (failed_)
        return false;
    skipSpace();
    qsizetype p = pos_;
    bool negative = false;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) {
        negative = text_[p] == '-';
        ++p;
    }
    if (p >= text_.size() || !isDigit(text_[p])) {
        pos_ = p;
        return fail();
    }
    qint64 magnitude = 0;
    bool overflow = false;
    while (p < text_.size() && isDigit(text_[p])) {
        if (!overflow) {
            magnitude = magnitude * 10 + (text_[p] - '0');
            overflow = magnitude > qint64(std::numeric_limits<int>::max()) + 1;
        }
        ++p;
    }
    pos_ = p;
    const qint64 signedValue = negative ? -magnitude : magnitude;
    if (overflow || signedValue > std::numeric_limits<int>::max() ||
        signedValue < std::numeric_limits<int>::min())
        return fail();
    value = static_cast<int>(signedValue);
    return true;
}

bool FormattedReader::readDouble(double& value) {
    if (failed_)
        return false;
    skipSpace();
    const qsizetype start = pos_;
    qsizetype p = pos_;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-'))
        ++p;
    qsizetype digits = 0;
    while (p < text_.size() && isDigit(text_[p])) {
        ++p;
        ++digits;
    }
    if (p < text_.size() && text_[p] == '.') {
        ++p;
        while (p < text_.size() && isDigit(text_[p])) {
            ++p;
            ++digits;
        }
    }
    if (digits == 0) {
        pos_ = p;
        return fail();
    }
    if (p < text_.size() && (text_[p] == 'e' || text_[p] == 'E')) {
        qsizetype q = p + 1;
        if (q < text_.size() && (text_[q] == '+' || text_[q] == '-'))
            ++q;
        if (q < text_.size() && isDigit(text_[q])) {
            while (q < text_.size() && isDigit(text_[q]))
                ++q;
            p = q;
        }
    }
    pos_ = p;
    bool ok = false;
    const double parsed = text_.sliced(start, p - start).toByteArray().toDouble(&ok);
    if (!ok) {
        outOfRange_ = true;
        return fail();
    }
    value = parsed;
    return true;
}

bool FormattedReader::readWord(QByteArrayView& word) {
    if (failed_)
        return false;
    skipSpace();
    const qsizetype start = pos_;
    while (pos_ < text_.size() && !isSpace(text_[pos_]))
        ++pos_;
    if (pos_ == start)
        return fail();
    word = text_.sliced(start, pos_ - start);
    return true;
}

bool FormattedReader::skipOne() {
    if (failed_)
        return false;
    if (pos_ >= text_.size())
        return fail();
    ++pos_;
    return true;
}

} // namespace Warden::Business
