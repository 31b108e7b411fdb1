#include "ProblemLines.h"

#include "core/DiagnosticLog.h"

namespace Warden::Business {

ProblemLines::ProblemLines(int distinctLines)
    : distinctLines_(distinctLines) {
}

void ProblemLines::add(const QByteArray& line) {
    const auto found = index_.constFind(line);
    if (found != index_.constEnd()) {
        ++lines_[*found].count;
        return;
    }
    if (int(lines_.size()) >= distinctLines_) {
        ++leftOut_;
        return;
    }
    index_.insert(line, lines_.size());
    lines_.push_back({line, 1});
}

void ProblemLines::write(const QByteArray& prefix) {
    for (const Line& line : lines_) {
        if (line.count == 1) {
            DiagnosticLog::write(line.text);
            continue;
        }
        QByteArray text = line.text;
        const bool ended = text.endsWith('\n');
        if (ended)
            text.chop(1);
        DiagnosticLog::write(text + " (" + QByteArray::number(line.count) + " times)" + (ended ? "\n" : ""));
    }
    if (leftOut_ != 0)
        DiagnosticLog::write(prefix + QByteArray::number(leftOut_) +
                             " more problem lines of this check not logged\n");
    lines_.clear();
    index_.clear();
    leftOut_ = 0;
}

} // namespace Warden::Business
