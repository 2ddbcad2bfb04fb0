// Reading and binding module globals.
//
// A global is read by name at every use, so a binding changed from outside is seen at the next
// read. The read is served from the name's last result while the module's dict has not changed
// since: a dict watcher counts every change of the watched module dicts, and a result is reused only
// while that count stands still. Anything that changes the dict — a store, a deletion, a clear —
// invalidates every remembered result before it takes effect.
#pragma once

#include "constants.hpp"

namespace pel {

// The value of a global: the module's own binding, else the builtin of that name.
Owned global(const Name& name);
void set_global(const Name& name, Ref value);

// Starts watching the module's globals (the exec step calls it once the record's globals are set).
void watch_globals();

}  // namespace pel
