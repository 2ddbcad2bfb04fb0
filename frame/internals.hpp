// What the frame relies on beyond the interpreter's stable C API, in one place.
//
// Each entry says why the frame needs it and how the assumption is checked: at build time where the
// compiler can tell, otherwise by `check_internals()`, which the exec step runs before any module
// statement, so an interpreter on which an assumption fails refuses the import with a clear message.
// Every entry was checked against CPython 3.13's own sources; a new minor version must be checked
// anew, entry by entry, before the bound below moves.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000
#error "frame/internals.hpp describes CPython 3.13's internals; check each entry against this interpreter"
#endif
#ifdef Py_GIL_DISABLED
#error "the frame assumes the interpreter's global lock (dict version tags, the recursion counter)"
#endif

namespace pel::internals {

// The C recursion counter that Py_EnterRecursiveCall decrements, read and written directly so that
// the common case of a direct call's recursion guard is one thread-state access. Check: the
// field exists (build); 3.13's _Py_EnterRecursiveCallTstate counts on this same field.
inline int& c_recursion_remaining(PyThreadState* state) noexcept {
    return state->c_recursion_remaining;
}

// The hash a `str` has cached, or -1 when none was computed yet: comparing two keywords' cached
// hashes first rules out most mismatches without hashing. Check: 3.13's cpython/unicodeobject.h
// declares the field (build).
inline Py_hash_t cached_hash(PyObject* text) noexcept {
    return reinterpret_cast<PyASCIIObject*>(text)->hash;
}

// A dict display, sized in advance for its entries so that filling it never resizes. Check: declared
// by 3.13's cpython/dictobject.h (build).
inline PyObject* new_presized_dict(Py_ssize_t size) noexcept {
    return _PyDict_NewPresized(size);
}

// The member type that reads a null field as None, as the interpreter's own functions show a
// cleared `__module__` or `__globals__` (Py_T_OBJECT_EX would raise AttributeError instead). Check:
// 3.13's descrobject.h defines it (build).
inline constexpr int member_or_none = _Py_T_OBJECT;

// The instance dict of a function when it exists, without making one (the public getters make it).
// Check: declared by 3.13's cpython/object.h (build); null when there is none.
inline PyObject* existing_instance_dict(PyObject* object) noexcept {
    PyObject** slot = _PyObject_GetDictPtr(object);
    return slot != nullptr ? *slot : nullptr;
}

// A dict's version tag. 3.13 gives every dict a tag from one interpreter-wide counter and writes a
// new one at each change, after the dict watchers have been told and after the change is stored;
// the values a change drops are released after that. So while the tag stays as it was read, the
// dict holds what it held then, whatever a watcher runs during a notification. The field is
// deprecated for outside readers; this is the one place that reads it. Check: check_internals()
// mutates a scratch dict, under a watcher of its own, and sees a new tag after each change.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#elif defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(_MSC_VER)
#pragma warning(pop)
#elif defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

// A tag no dict has: the counter would have to run through 2^64 values first.
inline constexpr std::uint64_t no_dict_version = ~std::uint64_t{0};

// The state block the import system forgets: when a create step hands back a module whose exec step
// already ran, 3.13's PyModule_FromDefAndSpec2 sets the module's state pointer to null and
// PyModule_ExecDef allocates a new block (size 0 still allocates), so the block it forgot is ours to
// free. Check: the version bound above; a later minor version may free the block itself.
inline void release_forgotten_state(void* forgotten, void* current) noexcept {
    if (forgotten != nullptr && forgotten != current)
        PyMem_Free(forgotten);
}

// A tp_new for a type made with Py_TPFLAGS_DISALLOW_INSTANTIATION. Deriving from a type of that
// metatype from Python calls the metatype's tp_new, which 3.13.0 to 3.13.14 call even when it is
// null; PyType_FromMetaclass refuses a metaclass with a tp_new of its own, so the slot is filled once
// the types made with it exist, and only where it is still null (type() calls the slot itself).
// Check: the version bound above.
inline void set_refusing_tp_new(PyTypeObject* type, newfunc refuse) noexcept {
    if (type->tp_new == nullptr)
        type->tp_new = refuse;
}

// Raises ImportError (and throws PythonError) when a run-time assumption above does not hold.
void check_internals();

} // namespace pel::internals
