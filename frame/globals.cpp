#include "globals.hpp"

#include "module.hpp"
#include "registry.hpp"

#include <cstdint>

namespace pel {

namespace {

// One watcher serves every deliverable of the process: whichever registers first keeps the change
// count in its own static storage and leaves a capsule pointing at it in the type registry.
struct Watch {
    int watcher = -1;
    std::uint64_t changes = 1;
};

Watch first_watch;
Watch* watch = nullptr;  // null: no watcher could be had; every read is a full lookup

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++first_watch.changes;
    return 0;
}

constexpr const char capsule_name[] = "_pellandor_frame_v1.global_watch";

Watch* shared_watch() {
    Owned registry = check(PyImport_AddModuleRef(registry_name));
    PyObject* found = nullptr;
    check(PyDict_GetItemStringRef(PyModule_GetDict(registry), "_global_watch", &found));
    Owned capsule = Owned::steal(found);
    if (capsule) return static_cast<Watch*>(PyCapsule_GetPointer(capsule, capsule_name));
    first_watch.watcher = PyDict_AddWatcher(count_change);
    if (first_watch.watcher < 0) {
        // Every watcher slot is taken: reads stay correct, only slower.
        PyErr_Clear();
        return nullptr;
    }
    capsule = check(PyCapsule_New(&first_watch, capsule_name, nullptr));
    check(PyDict_SetItemString(PyModule_GetDict(registry), "_global_watch", capsule));
    return &first_watch;
}

}  // namespace

const std::uint64_t* detail::global_changes = nullptr;

void watch_globals() {
    watch = shared_watch();
    if (watch == nullptr) return;
    detail::global_changes = &watch->changes;
    check(PyDict_Watch(watch->watcher, record.globals));
    // A new module dict (after a failed exec) makes every remembered value stale.
    ++watch->changes;
}

Owned detail::lookup_global(const Name& name) {
    PyObject* value = PyDict_GetItemWithError(record.globals, name);
    if (value != nullptr) {
        // Borrowed: the dict keeps it alive for as long as it stays unchanged.
        if (watch != nullptr) {
            name.remembered = value;
            name.remembered_at = watch->changes;
        }
        return Owned::borrow(value);
    }
    PyErr_Clear();
    if (check(PyObject_GetOptionalAttr(record.builtins, name, &value)) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        throw_python_error();
    }
    return Owned::steal(value);
}

void set_global(const Name& name, Ref value) { check(PyDict_SetItem(record.globals, name, value)); }

}  // namespace pel
