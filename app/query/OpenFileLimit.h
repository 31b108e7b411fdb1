#pragma once

namespace Warden {

// Raises the soft limit of open files to the hard limit: every controller of a check holds a
// connection open at the same time, and a thousand of them do not fit into the usual 1024.
// Returns false (and writes to "app.log") when the limit could not be read or changed.
bool raiseOpenFileLimit();

} // namespace Warden
