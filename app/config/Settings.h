#pragma once

#include "core/Records.h"

#include <QByteArray>
#include <QList>

#include <map>

namespace Warden::Business {

class Application;

// Settings travel between the configuration file, the dialogs and the state as ordered lists of texts;
// these operations do every conversion and rewrite "Ampwarden.xml" after each change.
using Texts = QList<QByteArray>;

// What became of a rewrite of "Ampwarden.xml": the state in memory holds the change either way.
struct SaveResult {
    bool saved = true;
    QByteArray reason; // why not, when not saved
};

// Reads "Ampwarden.xml" into Application and enables saving; returns the reader's error text (empty
// when all was well). Records completed before a fault in the file are kept.
QByteArray loadSettings(Application& app);
// Rewrites "Ampwarden.xml" from the state; every store and remove operation but storeMailServer ends
// with it and returns its result. A failure is also written to app.log. Main thread only, like every
// operation here.
SaveResult saveSettings(Application& app);
// Drops the mail servers no recipient uses; the file numbers the rest 0, 1, 2, ...
void pruneMailServers(Application& app);

// Positions: a negative one, or one past the list, appends; one inside the list replaces in place.
// Controller values: name, model name, host, port, admin, password, then per channel optionalName,
// overcurrent, undercurrent, pf; the channels end with the list or at a "NO CHANNEL" name.
SaveResult storeController(Application& app, int position, const Texts& values);
// Texts: to, from, "host[:port]", user, password, "1" for TLS. The key is the MTA number when reading
// the file and empty from the dialog, which then shares a server record with equal settings.
SaveResult storeMailAccount(Application& app, int position, const Texts& texts, const QByteArray& key);
// Reading only: user, password, host, port, useTLS, id. Does not save.
void storeMailServer(Application& app, const Texts& texts);
// Check unit name, check count, the five send flags, report unit name, report count, price, currency,
// then the three alert flags (current, no answer, failed logins; off when missing), then the metrics
// address (none when missing).
SaveResult storeReportSettings(Application& app, const Texts& texts);
// Positions outside the list do nothing.
SaveResult removeController(Application& app, int position);
SaveResult removeMailAccount(Application& app, int position);
// The table and dialog form: name, model name, "host[:port]", admin, password, then per channel
// optionalName, overcurrent, undercurrent, pf. Empty outside the list.
Texts controllerValues(Application& app, int position);


} // namespace Warden::Business
