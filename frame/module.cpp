// Module initialisation: the create and exec steps shared by every deliverable.
#include "module.hpp"

#include "code.hpp"
#include "constants.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "internals.hpp"
#include "registry.hpp"
#include "services.hpp"

#include <cstdio>

namespace pel {

Record record;

namespace {

// Copies one attribute of the module spec into the new module's dict; an attribute the spec lacks
// is skipped.
void copy_spec_attribute(PyObject* spec, const char* attribute, PyObject* dict, const char* key,
                         bool skip_none) {
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttrString(spec, attribute, &value)) == 0)
        return;
    Owned owned = Owned::steal(value);
    if (skip_none && value == Py_None)
        return;
    check(PyDict_SetItemString(dict, key, value));
}

PyObject* create_step(PyObject* spec, PyModuleDef*) noexcept {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        return nullptr;
    if (record.interpreter == -1) {
        record.interpreter = id;
    } else if (record.interpreter != id) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per "
            "process.");
        return nullptr;
    }
    if (record.module != nullptr)
        return Py_NewRef(record.module);
    return at_boundary<PyObject*>(nullptr, [spec] {
        Owned name = check(PyObject_GetAttrString(spec, "name"));
        Owned module = check(PyModule_NewObject(name));
        PyObject* dict = PyModule_GetDict(module);
        copy_spec_attribute(spec, "loader", dict, "__loader__", false);
        copy_spec_attribute(spec, "origin", dict, "__file__", false);
        copy_spec_attribute(spec, "parent", dict, "__package__", false);
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true);
        return module.release();
    });
}

void warn_on_version_mismatch() {
    int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == 3 && minor == 13)
        return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                  this_module.dotted_name, "does not match", major, minor);
    check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// Preamble steps that report no traceback entry: the module's own objects and constants.
void adopt(PyObject* module) {
    record.module = Py_NewRef(module);
    Py_XSETREF(record.globals, Py_NewRef(PyModule_GetDict(module)));
    Py_XSETREF(record.builtins, check(PyImport_AddModuleRef("builtins")).release());
    check(PyObject_SetAttrString(module, "__builtins__", record.builtins));
    warn_on_version_mismatch();
    Py_XSETREF(record.empty_tuple, check(PyTuple_New(0)).release());
    Py_XSETREF(record.empty_bytes, check(PyBytes_FromStringAndSize("", 0)).release());
    Py_XSETREF(record.empty_str, check(PyUnicode_FromStringAndSize("", 0)).release());
    Owned name = check(PyUnicode_InternFromString(this_module.dotted_name));
    Py_XSETREF(record.module_name, name.release());
    Constant::create_all();
}

// Preamble steps whose failures carry the initialisation entry at line 1.
void prepare() {
    internals::check_internals();
    fetch_shared_types();
    PyObject* modules = PyImport_GetModuleDict();
    if (!check(PyDict_Contains(modules, record.module_name))) {
        check(PyDict_SetItem(modules, record.module_name, record.module));
    }
    Constant::resolve_builtins(record.builtins);
    Registration::create_all_code();
}

// Importing again after `del sys.modules[name]` hands the adopted module back through the create
// step, and the import system gives it a fresh state block.
void release_forgotten_state(PyObject* module) noexcept {
    void* current = PyModule_GetState(module);
    internals::release_forgotten_state(record.module_state, current);
    record.module_state = current;
}

int exec_step(PyObject* module) noexcept {
    if (record.module != nullptr) {
        if (record.module == module) {
            release_forgotten_state(module);
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     this_module.short_name);
        return -1;
    }
    Frame frame{nullptr, 1};
    bool reported = false;
    int status = at_boundary(-1, [&] {
        adopt(module);
        reported = true;
        prepare();
        this_module.body(frame);
        frame.line = 1;
        Owned test_registry = check(PyDict_New());
        check(PyDict_SetItemString(record.globals, "__test__", test_registry));
        record.module_state = PyModule_GetState(module);
        return 0;
    });
    if (status == 0)
        return 0;
    if (reported)
        add_traceback(frame);
    Py_CLEAR(record.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_step)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_step)},
    {0, nullptr},
};

} // namespace

PyModuleDef module_definition(const char* short_name, const char* doc) noexcept {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, short_name, doc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
    };
}

} // namespace pel
