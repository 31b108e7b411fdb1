#pragma once

#include "Settings.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace Warden::Business {

// "Ampwarden.xml" on disk. The file holds passwords, so it is kept readable by its owner only, and it
// is replaced whole through a temporary file so that an interrupted write leaves the old settings.
class SettingsFile final {
public:
    explicit SettingsFile(Application& app)
        : app_(app) {}

    QString path() const;
    QString backupPath() const;

    // The whole file, or nothing when there is no file or it cannot be read.
    std::optional<QByteArray> read() const;

    // Called once the reading is over. A file that was not read to its end is rewritten from what
    // was loaded at the next change; its original is kept as "Ampwarden.xml.bak" before that.
    void loaded(bool complete, std::optional<QByteArray> original);

    // Replaces the file with what content() returns. content() runs only once the new file is open,
    // so nothing it changes happens when the file cannot be written. Nothing is written while the
    // original of an incompletely read file cannot be kept aside. A failure is written to app.log.
    SaveResult write(const std::function<QByteArray()>& content);

private:
    bool keepOriginal();
    bool writeBackup(const QByteArray& bytes) const;
    bool moveToBackup() const;

    Application& app_;
};

} // namespace Warden::Business
