#pragma once

#include <QByteArray>

namespace Warden::Business {

// Text safe inside an HTML element or attribute: & < > " ' replaced by their entities. Every text of
// a report page that comes from the settings or the network goes through it.
QByteArray htmlEscaped(const QByteArray& text);

} // namespace Warden::Business
