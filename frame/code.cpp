#include "code.hpp"

#include <iterator>

namespace pel {

namespace {

// One location-table entry without columns covering all four code units, at the first line.
// (Entry header: 0x80 | code 13 << 3 | length - 1; then the line delta as a signed varint.)
constexpr unsigned char line_table[] = {0x80 | (13 << 3) | (4 - 1), 0x00};
constexpr Py_ssize_t line_table_size = sizeof line_table;
// Never executed; as long as the line table covers: twice its length plus 4, rounded to 4.
constexpr Py_ssize_t bytecode_size = (2 * line_table_size + 4) / 4 * 4;

constexpr int optimized_new_locals = CO_OPTIMIZED | CO_NEWLOCALS;

}  // namespace

void create_code(FunctionDef& def) {
    if (def.parameters.size() > std::size(def.exact_types)) {
        PyErr_Format(PyExc_SystemError, "%s() has more parameters than the binder takes", def.name);
        throw_python_error();
    }
    auto parameter_count = static_cast<Py_ssize_t>(def.parameters.size());
    auto local_count = parameter_count + static_cast<Py_ssize_t>(def.locals.size());
    Owned names = check(PyTuple_New(local_count));
    Py_ssize_t i = 0;
    for (const Parameter& parameter : def.parameters) PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(parameter.name));
    for (const Name* local : def.locals) PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(*local));

    static const char zeros[bytecode_size] = {};
    Owned bytecode = check(PyBytes_FromStringAndSize(zeros, bytecode_size));
    Owned table = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(line_table), line_table_size));
    Owned file_name = check(PyUnicode_FromString(this_module.file_name));
    Owned name = check(PyUnicode_InternFromString(def.name));
    PyObject* empty = record.empty_tuple;
    Owned code = check(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        static_cast<int>(parameter_count), 0, 0, static_cast<int>(local_count), 0, optimized_new_locals,
        bytecode, empty, empty, names, empty, empty, file_name, name, name, def.first_line, table,
        record.empty_bytes)));

    Owned defaults;
    auto optional = parameter_count - def.required;
    if (optional > 0) {
        defaults = check(PyTuple_New(optional));
        for (Py_ssize_t d = 0; d < optional; ++d) PyTuple_SET_ITEM(defaults.get(), d, Py_NewRef(Py_None));
    }
    for (size_t p = 0; p < def.parameters.size(); ++p) {
        Declared type = def.parameters[p].type;
        def.coerces = def.coerces || type == Declared::int_;
        def.checks_types = def.checks_types || type != Declared::any;
        def.exact_types[p] = type == Declared::str    ? &PyUnicode_Type
                             : type == Declared::list ? &PyList_Type
                             : type == Declared::int_ ? &PyLong_Type
                                                      : nullptr;
    }
    Py_XSETREF(def.code, code.release());
    Py_XSETREF(def.defaults, defaults.release());
}

}  // namespace pel
