#pragma once

#include "Records.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QTimer;

namespace Warden::Business {

class Application;

// "Ampwarden.state" beside the configuration: for each controller, the marks that decide what is new
// after a start, so that a restart adds no log row twice and the next report starts where the
// previous one ended. Kept out of "Ampwarden.xml", whose layout other tools read.
//
// A controller is known by its name, model, host and port, the parts of the display name that the
// event lines carry: a controller pointed at another device (or renamed) starts afresh, and then its
// old events are not brought back either, because they name another controller. Losing the file
// costs one more reading of every controller's log table, nothing else.
//
// Main thread only, like the records it reads.
class StateFile final {
public:
    explicit StateFile(Application& app);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    static QString path();

    struct Entry {
        QByteArray name;
        QByteArray model;
        QByteArray host;
        quint16 port = 0;
        Time logRowsUpTo = 0; // controller time up to which the log table was taken
        Time lastReport = 0;  // the check time up to which events were reported
    };

    // The file's text for the configured controllers.
    QByteArray content() const;
    // Nothing when the text is not such a file or a value in it is impossible.
    static std::optional<std::vector<Entry>> parse(const QByteArray& text);

    // Reads the file and sets the marks of the configured controllers it names; returns those. From
    // now on the file follows the marks. A missing file is no error; a damaged one is written to
    // app.log once and read as none.
    std::vector<Controller*> restore();
    // A mark changed; the file follows within a fifth of a second (nothing before restore() ran).
    void marksChanged();
    // The end of the period that the last report run covered (its `till`), kept across starts so that
    // the first report after a start goes on from there; 0 when none is known.
    void setLastReportMoment(Time moment);
    Time lastReportMoment() const { return reportMoment_; }
    // Writes what is pending now (at the end of the program).
    void flush();

private:
    class Writer;

    Application& app_;
    std::unique_ptr<Writer> writer_;
    Time reportMoment_ = 0;
};

} // namespace Warden::Business
