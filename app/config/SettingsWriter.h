#pragma once

#include <QByteArray>

namespace Warden::Business {

class Application;

// The text of "Ampwarden.xml" for the current state: elements only, one start tag per line, indented
// four spaces per enclosing element, a leaf's text and end tag on its start tag's line. Mail servers
// are numbered by their position in the list, so prune unused ones first (pruneMailServers).
class SettingsWriter final {
public:
    static QByteArray document(const Application& app);

    // A text value as element content: &, < and > as references. Text that XML cannot carry is made
    // safe so that the file always reads back (see the definition).
    static QByteArray escaped(const QByteArray& text);
};

} // namespace Warden::Business
