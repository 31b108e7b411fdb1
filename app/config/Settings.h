#pragma once

#include "core/Records.h"

#include <QByteArray>
#include <QList>

#include <map>

namespace Warden::Business {

// Settings travel between the configuration file, the dialogs and the state as ordered lists of texts;
// these operations do every conversion and rewrite "Ampwarden.xml" after each change.
using Texts = QList<QByteArray>;

// Reads "Ampwarden.xml" into Application; returns the reader's error text (empty when all was well).
QByteArray loadSettings();
void saveSettings();
void pruneMailServers();

void storeController(int position, const Texts& values);
void storeMailAccount(int position, const Texts& texts, const QByteArray& key);
void storeMailServer(const Texts& texts);
void storeReportSettings(const Texts& texts);
void removeController(int position);
void removeMailAccount(int position);
Texts controllerValues(int position);

// The MailServer created for each MTA id while reading.
std::map<QByteArray, MailServer*>& serverKeys();
// False until loadSettings has run; saveSettings does nothing before.
bool& savingEnabled();

} // namespace Warden::Business
