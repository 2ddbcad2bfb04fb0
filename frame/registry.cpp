#include "registry.hpp"

#include "function.hpp"
#include "internals.hpp"
#include "module.hpp"

#include <cstring>

namespace pel {

namespace {

// A shared type's `__module__` is the registry, read from its name: the function type's own dict
// holds the `__module__` member of its instances under that key.
PyObject* metatype_getattro(PyObject* type, PyObject* name) noexcept {
    if (PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "__module__")) {
        const char* full = reinterpret_cast<PyTypeObject*>(type)->tp_name;
        const char* dot = std::strrchr(full, '.');
        if (dot != nullptr)
            return PyUnicode_FromStringAndSize(full, dot - full);
    }
    return PyType_Type.tp_getattro(type, name);
}

// The shared types are made only by the frame. Deriving from one from Python reaches the metatype's
// tp_new, which refuses as the interpreter refuses a type that cannot be instantiated.
PyObject* metatype_new(PyTypeObject* metatype, PyObject*, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", metatype->tp_name);
    return nullptr;
}

PyType_Slot metatype_slots[] = {
    {Py_tp_getattro, reinterpret_cast<void*>(metatype_getattro)},
    {0, nullptr},
};

PyType_Spec metatype_spec = {
    "_pellandor_frame_v1._common_types_metatype",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    metatype_slots,
};

const char* short_name(const char* dotted) noexcept {
    const char* last = std::strrchr(dotted, '.');
    return last != nullptr ? last + 1 : dotted;
}

PyTypeObject* validated(PyObject* found, const PyType_Spec& spec) {
    if (!PyType_Check(found)) {
        PyErr_Format(PyExc_TypeError, "Shared type %s found in %s is not a type object",
                     short_name(spec.name), registry_name);
        throw_python_error();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(found);
    if (spec.basicsize != 0 && type->tp_basicsize != spec.basicsize) {
        PyErr_Format(PyExc_TypeError,
                     "Shared type %s found in %s has the wrong size (%zd, expected %d); rebuild the modules",
                     short_name(spec.name), registry_name, type->tp_basicsize, spec.basicsize);
        throw_python_error();
    }
    return type;
}

} // namespace

PyTypeObject* fetch_shared_type(PyType_Spec& spec, PyTypeObject* metaclass, PyObject* bases) {
    Owned registry = check(PyImport_AddModuleRef(registry_name));
    PyObject* dict = PyModule_GetDict(registry);
    Owned key = check(PyUnicode_InternFromString(short_name(spec.name)));
    PyObject* found = nullptr;
    check(PyDict_GetItemRef(dict, key, &found));
    Owned existing = Owned::steal(found);
    if (!existing) {
        Owned made = check(PyType_FromMetaclass(metaclass, registry, &spec, bases));
        // Another deliverable may have registered the type meanwhile; the first one stays.
        check(PyDict_SetDefaultRef(dict, key, made, &found));
        existing = Owned::steal(found);
    }
    validated(existing, spec);
    return reinterpret_cast<PyTypeObject*>(existing.release());
}

void fetch_shared_types() {
    PyTypeObject* metatype =
        fetch_shared_type(metatype_spec, nullptr, reinterpret_cast<PyObject*>(&PyType_Type));
    Py_XSETREF(record.metatype, metatype);
    PyTypeObject* function_type = fetch_shared_type(function_type_spec, metatype, nullptr);
    Py_XSETREF(record.function_type, function_type);
    internals::set_refusing_tp_new(metatype, metatype_new);
}

} // namespace pel
