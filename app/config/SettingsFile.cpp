#include "SettingsFile.h"

#include "core/Application.h"
#include "core/DiagnosticLog.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace Warden::Business {

namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// QSaveFile notices a failed write only when the write itself fails, not when the buffer is flushed
// on commit; a full disk would then still replace the file with a cut one.
bool writeAll(QSaveFile& file, const QByteArray& bytes) {
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return true;
}

} // namespace

bool SettingsFile::writeBackup(const QByteArray& bytes) const {
    QSaveFile file(backupPath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(ownerOnly);
    writeAll(file, bytes);
    return file.commit();
}

bool SettingsFile::moveToBackup() const {
    QFile::remove(backupPath());
    return QFile::rename(path(), backupPath());
}

QString SettingsFile::path() const {
    return QString::fromUtf8(app_.configFileName);
}

QString SettingsFile::backupPath() const {
    return path() + QStringLiteral(".bak");
}

std::optional<QByteArray> SettingsFile::read() const {
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

void SettingsFile::loaded(bool complete, std::optional<QByteArray> original) {
    auto& book = app_.settingsBook;
    // Nothing to keep when there was no file at all.
    book.keepOriginalDue = !complete && (original || QFileInfo(path()).isFile());
    book.original = std::move(original);
}

bool SettingsFile::keepOriginal() {
    auto& book = app_.settingsBook;
    if (!book.keepOriginalDue)
        return true;
    const bool kept = book.original ? writeBackup(*book.original) : moveToBackup();
    const QByteArray name = path().toUtf8();
    if (!kept) {
        DiagnosticLog::write("saveSettings(): error: could not keep the original of " + name + " as " +
                             backupPath().toUtf8() + "; " + name + " is left unchanged\n");
        return false;
    }
    DiagnosticLog::write("saveSettings(): " + name + " was not read completely; its original is kept as " +
                         backupPath().toUtf8() + "\n");
    book.keepOriginalDue = false;
    book.original.reset();
    return true;
}

SaveResult SettingsFile::write(const std::function<QByteArray()>& content) {
    if (!keepOriginal())
        return {false, "its original could not be kept as " + backupPath().toUtf8()};
    QSaveFile file(path());
    // Cannot be written: a read-only file or directory, a directory of that name, no space.
    const auto failed = [this, &file] {
        const QByteArray reason = file.errorString().toUtf8();
        DiagnosticLog::write("saveSettings(): error: " + path().toUtf8() + " was not written: " + reason +
                             "\n");
        return SaveResult{false, reason};
    };
    if (!file.open(QIODevice::WriteOnly))
        return failed();
    file.setPermissions(ownerOnly);
    writeAll(file, content());
    if (!file.commit())
        return failed();
    return {};
}

} // namespace Warden::Business
