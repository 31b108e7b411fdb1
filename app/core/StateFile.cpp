#include "StateFile.h"

#include "Application.h"
#include "Clock.h"
#include "DiagnosticLog.h"
#include "EventFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace Warden::Business {

namespace {

constexpr int writeDelayMs = 200;
constexpr int version = 1;

bool sameController(const StateFile::Entry& entry, const Controller& c) {
    return entry.name == c.name && entry.model == Application::modelName(c.type) && entry.host == c.host &&
           entry.port == c.port;
}

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

std::optional<qint64> wholeNumber(const QJsonValue& value, qint64 lowest, qint64 highest) {
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < double(lowest) || number > double(highest))
        return std::nullopt;
    return static_cast<qint64>(number);
}

} // namespace

// Writes the file a moment after the marks change, so that the controllers of one check cost one
// write, not one each.
class StateFile::Writer final : public QObject {
public:
    explicit Writer(const StateFile& file)
        : file_(file) {}

    void changed() {
        if (!enabled)
            return;
        dirty_ = true;
        // Without an event loop on this thread the write waits for flush().
        if (!QCoreApplication::instance() ||
            QThread::currentThread() != QCoreApplication::instance()->thread())
            return;
        if (!timer_) {
            timer_ = new QTimer(this);
            timer_->setSingleShot(true);
            connect(timer_, &QTimer::timeout, this, &Writer::flush);
        }
        if (!timer_->isActive())
            timer_->start(writeDelayMs);
    }

    void flush() {
        if (timer_)
            timer_->stop();
        if (!enabled || !dirty_)
            return;
        dirty_ = false;
        QSaveFile file(StateFile::path());
        const QByteArray bytes = file_.content();
        bool written = file.open(QIODevice::WriteOnly);
        if (written) {
            file.setPermissions(ownerOnlyFile);
            written = file.write(bytes) == bytes.size() && file.flush();
            if (!written)
                file.cancelWriting();
        }
        const QString error = file.errorString();
        if (file.commit() && written) {
            failing_ = false;
            return;
        }
        if (!failing_)
            DiagnosticLog::writeTimed("StateFile: error: " + StateFile::path().toUtf8() +
                                      " was not written (" + error.toUtf8() +
                                      "); a start before it is would read log tables again\n");
        failing_ = true;
    }

    bool enabled = false;

private:
    const StateFile& file_;
    QTimer* timer_ = nullptr;
    bool dirty_ = false;
    bool failing_ = false;
};

StateFile::StateFile(Application& app)
    : app_(app)
    , writer_(std::make_unique<Writer>(*this)) {
}

StateFile::~StateFile() = default;

QString StateFile::path() {
    return QStringLiteral("Ampwarden.state");
}

QByteArray StateFile::content() const {
    QJsonArray controllers;
    for (const Controller& c : app_.controllers) {
        controllers.append(QJsonObject{
            {QStringLiteral("name"), text(c.name)},
            {QStringLiteral("model"), text(Application::modelName(c.type))},
            {QStringLiteral("host"), text(c.host)},
            {QStringLiteral("port"), c.port},
            {QStringLiteral("logRowsUpTo"), static_cast<double>(c.logRowsUpTo)},
            {QStringLiteral("lastReport"), static_cast<double>(c.lastReport)},
        });
    }
    QJsonObject root{{QStringLiteral("version"), version}, {QStringLiteral("controllers"), controllers}};
    // Written only once known, so a file of a program that never reported keeps its old layout.
    if (reportMoment_ > 0)
        root.insert(QStringLiteral("lastReportMoment"), static_cast<double>(reportMoment_));
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::optional<std::vector<StateFile::Entry>> StateFile::parse(const QByteArray& bytes) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject() ||
        document.object().value(QStringLiteral("version")).toInt() != version ||
        !document.object().value(QStringLiteral("controllers")).isArray())
        return std::nullopt;
    // A mark far ahead of the present would hide every event and row until that time comes.
    const qint64 latest = Clock::now() + 2 * 86400;
    const QJsonValue moment = document.object().value(QStringLiteral("lastReportMoment"));
    if (!moment.isUndefined() && !wholeNumber(moment, 0, latest))
        return std::nullopt;
    std::vector<Entry> entries;
    for (const QJsonValue& value : document.object().value(QStringLiteral("controllers")).toArray()) {
        const QJsonObject o = value.toObject();
        const auto port = wholeNumber(o.value(QStringLiteral("port")), 0, 65535);
        const auto rows = wholeNumber(o.value(QStringLiteral("logRowsUpTo")), 0, latest);
        const auto report = wholeNumber(o.value(QStringLiteral("lastReport")), 0, latest);
        if (!value.isObject() || !o.value(QStringLiteral("name")).isString() ||
            !o.value(QStringLiteral("model")).isString() || !o.value(QStringLiteral("host")).isString() ||
            !port || !rows || !report)
            return std::nullopt;
        entries.push_back(Entry{o.value(QStringLiteral("name")).toString().toUtf8(),
                                o.value(QStringLiteral("model")).toString().toUtf8(),
                                o.value(QStringLiteral("host")).toString().toUtf8(),
                                static_cast<quint16>(*port), *rows, *report});
    }
    return entries;
}

std::vector<Controller*> StateFile::restore() {
    writer_->enabled = true;
    QFile file(path());
    if (!file.exists())
        return {};
    std::optional<std::vector<Entry>> entries;
    QByteArray problem = "not a state file";
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
        entries = parse(bytes);
    } else
        problem = file.errorString().toUtf8();
    if (!entries) {
        DiagnosticLog::writeTimed("StateFile: " + path().toUtf8() + " cannot be used (" + problem +
                                  "); the controllers' log tables are read again at the next check\n");
        return {};
    }
    reportMoment_ = static_cast<Time>(
        QJsonDocument::fromJson(bytes).object().value(QStringLiteral("lastReportMoment")).toDouble());
    std::vector<Controller*> restored;
    for (Controller& c : app_.controllers) {
        for (const Entry& entry : *entries) {
            if (!sameController(entry, c))
                continue;
            c.logRowsUpTo = entry.logRowsUpTo;
            app_.setReportTime(c, entry.lastReport);
            restored.push_back(&c);
            break;
        }
    }
    return restored;
}

void StateFile::marksChanged() {
    writer_->changed();
}

void StateFile::setLastReportMoment(Time moment) {
    reportMoment_ = moment;
    writer_->changed();
}

void StateFile::flush() {
    writer_->flush();
}

} // namespace Warden::Business
