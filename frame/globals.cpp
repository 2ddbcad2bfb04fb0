#include "globals.hpp"

namespace pel {

Owned detail::lookup_global(const Name& name) {
    // The tag before the lookup: a change made while it runs leaves what it found unremembered.
    std::uint64_t version = internals::dict_version(record.globals);
    PyObject* value = PyDict_GetItemWithError(record.globals, name);
    if (value != nullptr) {
        // Borrowed: the dict holds it for as long as its tag stays `version`.
        name.remembered = value;
        name.remembered_at = version;
        return Owned::borrow(value);
    }
    PyErr_Clear();
    if (check(PyObject_GetOptionalAttr(record.builtins, name, &value)) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        throw_python_error();
    }
    return Owned::steal(value);
}

void set_global(const Name& name, Ref value) {
    check(PyDict_SetItem(record.globals, name, value));
}

} // namespace pel
