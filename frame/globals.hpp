// Reading and binding module globals.
//
// A global is read by name at every use, so a binding changed from outside is seen at the next
// read. The read is served from the name's last result while the module's dict has not changed
// since: a dict watcher counts every change of the watched module dicts, and a result is reused only
// while that count stands still. Anything that changes the dict — a store, a deletion, a clear —
// invalidates every remembered result before it takes effect.
#pragma once

#include "constants.hpp"

#include <cstdint>

namespace pel {

namespace detail {
// The watched change count of the module dicts, or null when no watcher could be had.
extern const std::uint64_t* global_changes;
Owned lookup_global(const Name& name);
}  // namespace detail

// The value of a global: the module's own binding, else the builtin of that name.
inline Owned global(const Name& name) {
    if (detail::global_changes != nullptr && name.remembered_at == *detail::global_changes) {
        return Owned::borrow(name.remembered);
    }
    return detail::lookup_global(name);
}
void set_global(const Name& name, Ref value);

// Starts watching the module's globals (the exec step calls it once the record's globals are set).
void watch_globals();

}  // namespace pel
