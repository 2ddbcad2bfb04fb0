#include "code.hpp"

#include <cstring>

namespace pel {

namespace {

constinit Registration* first_definition = nullptr;
constinit Registration** last_link = &first_definition;

constexpr int optimized_new_locals = CO_OPTIMIZED | CO_NEWLOCALS;

// What every function's code object runs, and its stack size and location table: those of the
// interpreter's own empty code object, which raises AssertionError when run, so that
// `exec(f.__code__)` fails like any call. Its one location entry covers all of it at the first line.
struct EmptyCode {
    Owned bytecode;
    Owned line_table;
    int stack_size;
};

EmptyCode empty_code_body() {
    Owned empty = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(this_module.file_name, "", 1)));
    Owned stack_size = check(PyObject_GetAttrString(empty, "co_stacksize"));
    int size = PyLong_AsInt(stack_size);
    if (size == -1 && PyErr_Occurred())
        throw_python_error();
    return {check(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty.get()))),
            check(PyObject_GetAttrString(empty, "co_linetable")), size};
}

// What only the exec step can check: the qualified name ends in the name the function is bound to.
void check_names(const FunctionDef& def) {
    const char* name = def.short_name();
    size_t name_length = std::strlen(name), qualname_length = std::strlen(def.qualname);
    size_t prefix = qualname_length - name_length;
    bool ends_in_name = qualname_length >= name_length && std::strcmp(def.qualname + prefix, name) == 0 &&
                        (prefix == 0 || def.qualname[prefix - 1] == '.');
    if (!ends_in_name) {
        PyErr_Format(PyExc_SystemError, "%s: the qualified name %s does not end in the function's name %s",
                     this_module.dotted_name, def.qualname, name);
        throw_python_error();
    }
}

// Makes `def.code` and `def.defaults` (replacing any left by an earlier, failed exec).
void create_code(FunctionDef& def, const EmptyCode& body, Ref file_name) {
    check_names(def);
    const std::span<const Parameter> parameters = def.binding.parameters;
    auto parameter_count = static_cast<Py_ssize_t>(parameters.size());
    auto local_count = parameter_count + static_cast<Py_ssize_t>(def.locals.size());
    Owned names = check(PyTuple_New(local_count));
    Py_ssize_t i = 0;
    for (const Parameter& parameter : parameters) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(parameter.name));
    }
    for (const Name* local : def.locals)
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(*local));

    PyObject* empty = record.empty_tuple;
    Owned code = check(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        static_cast<int>(parameter_count), 0, 0, static_cast<int>(local_count), body.stack_size,
        optimized_new_locals, body.bytecode, empty, empty, names, empty, empty, file_name, def.name, def.name,
        def.first_line, body.line_table, record.empty_bytes)));

    Owned defaults;
    auto optional = parameter_count - def.binding.required;
    if (optional > 0) {
        defaults = check(PyTuple_New(optional));
        for (Py_ssize_t d = 0; d < optional; ++d)
            PyTuple_SET_ITEM(defaults.get(), d, Py_NewRef(Py_None));
    }
    Py_XSETREF(def.code, code.release());
    Py_XSETREF(def.defaults, defaults.release());
}

} // namespace

Registration::Registration(FunctionDef* def) noexcept : def_(def) {
    *last_link = this;
    last_link = &next_;
}

void Registration::create_all_code() {
    // What every code object shares is made once for all of them.
    EmptyCode body = empty_code_body();
    Owned file_name = check(PyUnicode_FromString(this_module.file_name));
    for (Registration* r = first_definition; r != nullptr; r = r->next_)
        create_code(*r->def_, body, file_name);
}

} // namespace pel
