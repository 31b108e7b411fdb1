#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

namespace Warden::Business {

// Reads numbers and words from controller page text the way formatted stream extraction does: leading
// white space is skipped, a read stops at the first character that cannot continue the value, and
// once a read has failed every later read fails too (the value then stays what the caller preset).
// Works on a view, so reading the head of a cell that runs to the end of a large page copies nothing.
class FormattedReader {
public:
    explicit FormattedReader(QByteArrayView text)
        : text_(text) {}

    bool failed() const { return failed_; }
    // The failed read found a number, but one past what a double holds (1e999, 1e-999).
    bool outOfRange() const { return outOfRange_; }
    qsizetype position() const { return pos_; }

    // A decimal int with optional sign; out of range counts as a failed read.
    bool readInt(int& value);
    // A decimal floating-point number (digits, optional fraction and exponent), read in the C locale
    // whatever the process locale is.
    bool readDouble(double& value);
    // The next run of non-white-space characters; fails at the end of the text.
    bool readWord(QByteArrayView& word);
    // Drops the next character, whatever it is; fails at the end of the text.
    bool skipOne();

    static bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

private:
    void skipSpace();
    bool fail() {
        failed_ = true;
        return false;
    }

    QByteArrayView text_;
    qsizetype pos_ = 0;
    bool failed_ = false;
    bool outOfRange_ = false;
};

} // namespace Warden::Business
