// The binding rules and every binding message, in one place.
#include "binder.hpp"

#include <cstring>

#ifndef PELLANDOR_EXACT_BUILTIN_ARGS
#define PELLANDOR_EXACT_BUILTIN_ARGS 1
#endif

// Error paths stay out of line, so the binding fast path stays small.
#if defined(__GNUC__) || defined(__clang__)
#define PELLANDOR_COLD __attribute__((cold, noinline))
#elif defined(_MSC_VER)
#define PELLANDOR_COLD __declspec(noinline)
#else
#define PELLANDOR_COLD
#endif

namespace pel {

namespace {

constexpr Py_ssize_t no_parameter = -1;

Py_ssize_t parameter_count(const FunctionDef& def) noexcept {
    return static_cast<Py_ssize_t>(def.binding.parameters.size());
}

// Binding errors are reported at the function's definition line.
bool fail_at_definition(const FunctionDef& def) noexcept {
    add_traceback(Frame{&def, def.first_line});
    return false;
}

PELLANDOR_COLD bool count_error(const FunctionDef& def, Py_ssize_t given) noexcept {
    Py_ssize_t min = def.binding.required, max = parameter_count(def);
    const char* bound = min == max ? "exactly" : given < min ? "at least" : "at most";
    Py_ssize_t expected = min == max || given < min ? min : max;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.short_name(), bound, expected, expected == 1 ? "" : "s", given);
    return fail_at_definition(def);
}

PELLANDOR_COLD bool keyword_error(const FunctionDef& def, const char* format, PyObject* keyword) noexcept {
    PyErr_Format(PyExc_TypeError, format, def.short_name(), keyword);
    return fail_at_definition(def);
}

// Equal texts, for an exact `str` keyword against an interned parameter name: hashes first when
// both are known, then length, width and content.
bool same_text(PyObject* name, PyObject* keyword) noexcept {
    Py_hash_t name_hash = internals::cached_hash(name);
    Py_hash_t keyword_hash = internals::cached_hash(keyword);
    if (name_hash != -1 && keyword_hash != -1 && name_hash != keyword_hash)
        return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (PyUnicode_GET_LENGTH(keyword) != length || PyUnicode_KIND(keyword) != PyUnicode_KIND(name))
        return false;
    return std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(keyword),
                       static_cast<size_t>(length) * PyUnicode_KIND(name)) == 0;
}

// The index among parameters [from, to) whose name equals `keyword`, no_parameter, or -2 on error.
Py_ssize_t find_equal(const FunctionDef& def, PyObject* keyword, Py_ssize_t from, Py_ssize_t to) noexcept {
    bool exact = PyUnicode_CheckExact(keyword);
    for (Py_ssize_t i = from; i < to; ++i) {
        PyObject* name = def.binding.parameters[static_cast<size_t>(i)].name;
        if (exact) {
            if (same_text(name, keyword))
                return i;
            continue;
        }
        int equal = PyObject_RichCompareBool(name, keyword, Py_EQ);
        if (equal < 0)
            return -2;
        if (equal)
            return i;
    }
    return no_parameter;
}

// Places each keyword argument; `nargs` parameters are already filled positionally.
bool bind_keywords(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) noexcept {
    Py_ssize_t max = parameter_count(def);
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = no_parameter;
        for (Py_ssize_t i = nargs; i < max; ++i) {
            if (def.binding.parameters[static_cast<size_t>(i)].name.get() == keyword) {
                index = i;
                break;
            }
        }
        if (index == no_parameter) {
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.short_name());
                return fail_at_definition(def);
            }
            index = find_equal(def, keyword, nargs, max);
            if (index == no_parameter) {
                Py_ssize_t given = find_equal(def, keyword, 0, nargs);
                if (given == -2)
                    return fail_at_definition(def);
                if (given != no_parameter) {
                    return keyword_error(def, "%s() got multiple values for keyword argument '%U'", keyword);
                }
                return keyword_error(def, "%s() got an unexpected keyword argument '%U'", keyword);
            }
            if (index == -2)
                return fail_at_definition(def);
        }
        // A second keyword for the same parameter (only possible with equal-but-distinct keys).
        if (slots[index] != nullptr) {
            return keyword_error(def, "%s() got multiple values for keyword argument '%U'", keyword);
        }
        slots[index] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < def.binding.required; ++i) {
        if (slots[i] == nullptr)
            return count_error(def, i);
    }
    return true;
}

const char* declared_name(Declared type) noexcept {
    switch (type) {
    case Declared::str:
        return "str";
    case Declared::list:
        return "list";
    case Declared::int_:
        return "int";
    case Declared::any:
        break;
    }
    return "object";
}

PyTypeObject* declared_type(Declared type) noexcept {
    switch (type) {
    case Declared::str:
        return &PyUnicode_Type;
    case Declared::list:
        return &PyList_Type;
    case Declared::int_:
        return &PyLong_Type;
    case Declared::any:
        break;
    }
    return &PyBaseObject_Type;
}

void argument_type_error(const Parameter& parameter, PyObject* value) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 PyUnicode_AsUTF8(parameter.name), declared_name(parameter.type), Py_TYPE(value)->tp_name);
}

// `int | None` parameters take any number, converted as `int()` would.
bool coerce_integer(const FunctionDef& def, const Parameter& parameter, PyObject** slot,
                    Owned& coerced) noexcept {
    PyObject* value = *slot;
    if ((value == Py_None && parameter.none_allowed) || PyLong_CheckExact(value))
        return true;
    if (PyNumber_Check(value)) {
        coerced = Owned::steal(PyNumber_Long(value));
        if (coerced) {
            *slot = coerced;
            return true;
        }
    } else {
        argument_type_error(parameter, value);
    }
    add_traceback(Frame{&def, parameter.line});
    return false;
}

PELLANDOR_COLD void attach_subclass_note() noexcept {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* noted = PyObject_CallMethod(
        error, "add_note", "s",
        "This check is stricter than the type annotation: it rejects subclasses of built-in types. "
        "Build with PELLANDOR_EXACT_BUILTIN_ARGS=0 to accept them.");
    if (noted == nullptr)
        PyErr_Clear();
    Py_XDECREF(noted);
    PyErr_SetRaisedException(error);
}

bool has_declared_type(const Parameter& parameter, PyObject* value) noexcept {
    PyTypeObject* type = declared_type(parameter.type);
    if (Py_IS_TYPE(value, type))
        return true;
    if (value == Py_None && parameter.none_allowed)
        return true;
    if constexpr (!PELLANDOR_EXACT_BUILTIN_ARGS) {
        if (PyObject_TypeCheck(value, type))
            return true;
    }
    argument_type_error(parameter, value);
    if (PyObject_TypeCheck(value, type))
        attach_subclass_note();
    return false;
}

} // namespace

bool bind(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots, Owned* coerced) noexcept {
    Py_ssize_t max = parameter_count(def);
    bool keywords = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
    if (nargs > max || (!keywords && nargs < def.binding.required))
        return count_error(def, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[i] = args[i];
    if (keywords || nargs < max) {
        for (Py_ssize_t i = nargs; i < max; ++i)
            slots[i] = nullptr;
        if (keywords && !bind_keywords(def, args, nargs, kwnames, slots))
            return false;
        for (Py_ssize_t i = def.binding.required; i < max; ++i) {
            if (slots[i] == nullptr)
                slots[i] = PyTuple_GET_ITEM(def.defaults, i - def.binding.required);
        }
    }
    if (def.binding.coerces) {
        for (Py_ssize_t i = 0; i < max; ++i) {
            const Parameter& parameter = def.binding.parameters[static_cast<size_t>(i)];
            if (parameter.type == Declared::int_ && !coerce_integer(def, parameter, &slots[i], coerced[i])) {
                return false;
            }
        }
    }
    if (def.binding.checks_types) {
        for (Py_ssize_t i = 0; i < max; ++i) {
            const Parameter& parameter = def.binding.parameters[static_cast<size_t>(i)];
            if (parameter.type != Declared::any && !has_declared_type(parameter, slots[i]))
                return false;
        }
    }
    return true;
}

PyObject* refuse_arguments(const FunctionDef& def, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", def.short_name(), "takes no keyword arguments");
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", def.short_name(), "takes no arguments",
                     nargs);
    }
    return nullptr;
}

} // namespace pel
