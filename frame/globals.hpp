// Reading and binding module globals.
//
// A global is read by name at every use, so a binding changed from outside is seen at the next
// read. The read is served from the name's last result while the module dict's version tag stands
// as it was at that lookup: the interpreter moves the tag at every change of the dict, after the
// change is stored, so a remembered value is one the dict still holds (and keeps alive) whenever
// it is served, even to code that a dict watcher runs while a change is under way.
#pragma once

#include "constants.hpp"
#include "internals.hpp"
#include "module.hpp"

namespace pel {

namespace detail {
Owned lookup_global(const Name& name);
} // namespace detail

// The value of a global: the module's own binding, else the builtin of that name.
inline Owned global(const Name& name) {
    if (name.remembered_at == internals::dict_version(record.globals))
        return Owned::borrow(name.remembered);
    return detail::lookup_global(name);
}
void set_global(const Name& name, Ref value);

} // namespace pel
