#pragma once

#include <QByteArray>
#include <QHash>

#include <vector>

namespace Warden::Business {

// The problems one check finds on one controller's pages, written to app.log together when the check
// ends. A line that comes again is counted instead of written again, and past `distinctLines`
// different lines the rest are only counted: a page built to be one problem per row costs a few lines
// of app.log, not one per row.
class ProblemLines {
public:
    explicit ProblemLines(int distinctLines);
    Q_DISABLE_COPY_MOVE(ProblemLines)

    // A whole diagnostic line, ending with "\n".
    void add(const QByteArray& line);
    // A line that differs from every other by what it says (the position of a row on the page), so it
    // is written only while there is room for another line: callers ask first and build it only then.
    bool roomForNew() const { return int(lines_.size()) < distinctLines_; }
    void addLeftOut() { ++leftOut_; }
    // Each line once, with " (N times)" before its line end when it came N > 1 times, then one line
    // beginning with `prefix` for the lines left out. Nothing is left to write afterwards.
    void write(const QByteArray& prefix);

private:
    struct Line {
        QByteArray text;
        qint64 count = 0;
    };

    const int distinctLines_;
    std::vector<Line> lines_;
    QHash<QByteArray, std::size_t> index_;
    qint64 leftOut_ = 0;
};

} // namespace Warden::Business
