#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <functional>

namespace Warden::Test {

// Runs a test in a fresh temporary working directory, with app.log opened there, and puts the
// previous directory back afterwards. The files of a state (Business::Application) made after it go
// there: declared after it, the state is gone, its files written, before the directory is left.
class ScopedWorkDir {
public:
    ScopedWorkDir();
    ~ScopedWorkDir();
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    QString path() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    QString previous_;
};

// A clock the test sets by hand; restores the system clock when it goes.
class ManualClock {
public:
    explicit ManualClock(qint64 start);
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    void set(qint64 t) { now_ = t; }
    void advance(qint64 seconds) { now_ += seconds; }
    qint64 now() const { return now_; }

private:
    qint64 now_;
};

QByteArray readFile(const QString& path);
// Whole lines of app.log in the current directory.
QByteArray appLog();
// Seconds since 1970 of a local calendar time, through mktime (daylight saving decided by the zone).
qint64 localSeconds(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
// The same for UTC.
qint64 utcSeconds(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// The sanitizers hold freed memory back and shadow what is in use: a process's memory figures then
// say nothing about the program's own needs, so bounds on them are checked in normal builds only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool memoryFiguresMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool memoryFiguresMeaningful = false;
#else
inline constexpr bool memoryFiguresMeaningful = true;
#endif
#else
inline constexpr bool memoryFiguresMeaningful = true;
#endif

} // namespace Warden::Test
